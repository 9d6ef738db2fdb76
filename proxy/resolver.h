// Name lookups off the loop's thread.
//
// getaddrinfo blocks for as long as the DNS server takes to answer; run on
// the loop's only thread it would freeze every transfer in flight. Lookups
// therefore run on a few worker threads, and each result is handed back to
// the loop's thread (through wakeup), where the lookup's `done` function runs
// with the loop's state safe to touch. Workers never touch anything but the
// lookup record itself.
#pragma once

#include <cstdint>
#include <netdb.h>
#include <string>

struct proxy_relay;

namespace resolver {

struct lookup {
    std::string host;
    int32_t port = 0;
    proxy_relay* relay = nullptr;  // the lookup's reference, released by `done`
    int status = 0;                // getaddrinfo's result
    addrinfo* result = nullptr;    // freed after `done` returns
    void (*done)(lookup&) = nullptr;
};

// Takes ownership of job and looks its host up for stream sockets of any
// family; job->done runs later on the loop's thread.
void start(lookup* job);

// Host names that are numeric addresses need no lookup; tries that at once.
// Returns getaddrinfo's status (EAI_NONAME when host is a name).
int numeric(const std::string& host, int32_t port, addrinfo** result);

}  // namespace resolver
