// Name lookups off the loop's thread.
//
// getaddrinfo blocks for as long as the DNS server takes to answer; run on
// the loop's only thread it would freeze every transfer in flight. Lookups
// therefore run on worker threads, and each result is handed back to the
// loop's thread (through wakeup), where the lookup's `done` function runs
// with the loop's state safe to touch. Workers never touch anything but the
// query they are answering.
//
// The system's own resolver does the work, so its whole configuration holds
// (nsswitch, the hosts file, resolv.conf's servers, search list, time-outs).
// Every query gets a thread of its own, up to a bound far above what a busy
// proxy has in flight, so a name that takes long never holds up another:
// threads are created when all are busy and end after a while without
// work. Callers asking for a name already being looked up share that query.
#pragma once

#include <cstdint>
#include <netdb.h>
#include <string>

struct proxy_relay;

namespace resolver {

// One caller waiting for a name.
struct lookup {
    std::string host;
    int32_t port = 0;
    proxy_relay* relay = nullptr;  // the lookup's reference, released by `done`
    uint64_t exchange = 0;         // which of the relay's exchanges asked
    // On the loop's thread: getaddrinfo's status and, when it is 0, the
    // addresses (any family, no port set), valid during the call only.
    void (*done)(lookup&, int status, const addrinfo* list) = nullptr;
};

// Takes ownership of job and looks its host up for stream sockets of any
// family; job->done runs later on the loop's thread. Loop's thread only.
void start(lookup* job);

// Host names that are numeric addresses need no lookup; tries that at once.
// Returns getaddrinfo's status (EAI_NONAME when host is a name).
int numeric(const std::string& host, int32_t port, addrinfo** result);

}  // namespace resolver
