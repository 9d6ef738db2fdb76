// Name lookups off the loop's thread, none of which can hold up another.
//
// Threads, and who owns what:
// - The loop's thread calls start() and numeric() and is the only one that
//   runs `done`. start() takes the lookup; the resolver deletes it right
//   after its `done` has run. A lookup of a name already in flight joins that
//   query: one query, and every waiter answered, in the order they asked.
// - One resolver thread owns the c-ares channel (a channel is not safe to
//   share between threads) and polls the channel's sockets, plus an eventfd
//   through which start() hands it new queries. All queries share the
//   channel's socket to each server, so a name that is never answered costs
//   no thread and a few hundred bytes while it waits, and one answered at
//   once is answered at once, however many others wait.
// - Finished queries go back to the loop through wakeup; its handler, on the
//   loop's thread, calls each waiter's `done` with getaddrinfo's kind of
//   result: a status (0 or EAI_*) and a list of IPv4 and IPv6 addresses in
//   the order c-ares gives them, owned by the resolver, valid during the call.
// - At most 4 fallback threads run getaddrinfo (see nsswitch below); more
//   such names wait for one of them.
//
// Configuration: c-ares reads the hosts file, resolv.conf (servers, search
// list, ndots) and the order of "files" and "dns" in nsswitch.conf when a
// channel is made. Time-outs it takes from the resolver, which reads
// resolv.conf's timeout and attempts (and RES_OPTIONS) as glibc does and
// passes them to every channel, whatever c-ares itself reads of them. c-ares
// waits twice as long in each round of tries as in the one before, so the
// defaults (5 s, 2 attempts) give up on a silent server after 15 s, where
// glibc takes 10. When one of the three files has changed (checked as a
// query starts, at most once a second), new queries go to a new channel
// while those under way end on the old one.
//
// Files: resolver.cpp is the loop's side (lookups joined by name, answers
// handed out); resolver_driver.cpp the thread that drives c-ares;
// resolver_fallback.cpp the threads that ask getaddrinfo;
// resolver_watch.cpp the watch over the configuration files;
// resolver_hub.h what they share, and the one way a query goes back to the
// loop.
//
// nsswitch: c-ares covers the sources "files" and "dns" only. When the hosts
// line names others too (mdns4_minimal, myhostname, ...) and c-ares finds
// that the name does not exist (no such name, or no address), the name is
// handed to getaddrinfo on a fallback thread, which asks every source, so
// names that only those modules know still resolve. So the other sources are
// asked after DNS whatever their place in the line, and a name that exists
// nowhere is looked up twice. A time-out or a failing server never falls
// back: getaddrinfo would only repeat the slow query.
//
// Every lookup ends: c-ares gives up after resolv.conf's time-outs, and when
// the thread or the channel cannot be made, lookups fail at once with
// EAI_AGAIN (a channel is tried again at the next check; a thread, at the
// next lookup).
#pragma once

#include <cstdint>
#include <netdb.h>
#include <string>

namespace resolver {

// One caller waiting for a name; a caller keeps what else it needs in a
// type derived from it, freed with it after `done`.
struct lookup {
    virtual ~lookup() = default;
    std::string host;
    int32_t port = 0;
    int64_t started_ms = 0;        // monotonic: when it was asked, for the metrics
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
