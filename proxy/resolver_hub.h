// What the resolver's parts share (resolver.h tells the whole): the queries
// and the hub through which the threads hand them to each other. The loop's
// side is resolver.cpp, the c-ares thread resolver_driver.cpp, the threads
// that ask getaddrinfo resolver_fallback.cpp, and the watch over the
// configuration files resolver_watch.cpp. Private to those files.
#pragma once

#include "proxy/resolver.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace resolver::detail {

struct channel;

// One name being looked up and everyone waiting for it. Made and deleted on
// the loop's thread, which meanwhile touches only `waiting`; the answer is
// written by whichever thread holds the query by the hand-offs of the hub
// (each under its lock), and read on the loop's thread once handed back.
struct query {
    std::string host;  // read by every thread, written by none
    int status = EAI_AGAIN;
    std::vector<addrinfo> list;               // linked through ai_next
    std::vector<sockaddr_storage> addresses;  // what list's ai_addr point at
    std::vector<lookup*> waiting;             // loop's thread only
    channel* via = nullptr;                   // resolver thread only
};

// Everything the threads hand each other. Never destroyed: the resolver and
// fallback threads may still be running when the process exits.
struct hub {
    std::mutex lock;
    std::deque<query*> submitted;  // loop -> resolver thread; wake_fd tells
    std::vector<query*> finished;  // -> loop; wakeup tells
    std::deque<query*> fallback;   // resolver thread -> fallback threads
    std::condition_variable fallback_work;
    int fallback_running = 0;
    int fallback_idle = 0;
    int wake_fd = -1;
    bool running = false;  // the resolver thread exists
};

hub& the_hub();

// The one way a query goes back to the loop, which answers its waiters:
// from any thread, with the hub's lock held by the caller.
void finish_locked(hub& h, query* q);
// ... and without it.
void finish(query* q);

// Starts a detached thread with a small stack (getaddrinfo sizes its
// buffers to the thread's stack; the resolver thread needs less still).
bool spawn(void* (*body)(void*));

// The resolver thread: q's name does not exist for c-ares; getaddrinfo asks
// every source, on a fallback thread (resolver_fallback.cpp).
void fall_back(query* q);

// With the hub locked: makes the eventfd and the resolver thread, once
// (resolver_driver.cpp).
bool launch(hub& h);

inline addrinfo hints_for(int flags)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    return hints;
}

// Copies a list (getaddrinfo's or c-ares', whose nodes have the same fields)
// into q, in its order: IPv4 and IPv6 addresses, as stream sockets.
template <class Node>
void keep(query& q, const Node* first)
{
    for (const Node* n = first; n; n = n->ai_next) {
        bool known = (n->ai_family == AF_INET && n->ai_addrlen >= sizeof(sockaddr_in)) ||
                     (n->ai_family == AF_INET6 && n->ai_addrlen >= sizeof(sockaddr_in6));
        if (!known || n->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        addrinfo a{};
        a.ai_family = n->ai_family;
        a.ai_socktype = SOCK_STREAM;
        a.ai_protocol = IPPROTO_TCP;
        a.ai_addrlen = socklen_t(n->ai_addrlen);
        q.list.push_back(a);
        q.addresses.emplace_back();
        memcpy(&q.addresses.back(), n->ai_addr, n->ai_addrlen);
    }
    for (size_t i = 0; i < q.list.size(); i++) {
        q.list[i].ai_addr = reinterpret_cast<sockaddr*>(&q.addresses[i]);
        q.list[i].ai_next = i + 1 < q.list.size() ? &q.list[i + 1] : nullptr;
    }
    q.status = q.list.empty() ? EAI_NONAME : 0;
}

}  // namespace resolver::detail
