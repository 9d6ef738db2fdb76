// The loop's side of the resolver (resolver.h): lookups joined by name,
// handed to the resolver thread, and answered when the hub hands them back.
#include "proxy/resolver.h"

#include "proxy/resolver_hub.h"
#include "server/wakeup.h"

#include <pthread.h>
#include <unistd.h>
#include <unordered_map>

namespace resolver {

namespace detail {

hub& the_hub()
{
    static hub* h = new hub;
    return *h;
}

void finish_locked(hub& h, query* q)
{
    h.finished.push_back(q);
    wakeup::signal();
}

void finish(query* q)
{
    hub& h = the_hub();
    std::lock_guard<std::mutex> hold(h.lock);
    finish_locked(h, q);
}

bool spawn(void* (*body)(void*))
{
    constexpr size_t stack_size = 512 * 1024;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_size);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    bool made = pthread_create(&id, &attr, body, nullptr) == 0;
    pthread_attr_destroy(&attr);
    return made;
}

}  // namespace detail

namespace {

using namespace detail;

// Queries not answered yet, by host name. Loop's thread only.
std::unordered_map<std::string, query*>& in_flight()
{
    static auto* map = new std::unordered_map<std::string, query*>;
    return *map;
}

// On the loop's thread: answers everyone waiting for a finished query.
void deliver()
{
    hub& h = the_hub();
    std::vector<query*> done;
    {
        std::lock_guard<std::mutex> hold(h.lock);
        done.swap(h.finished);
    }
    for (query* q : done) {
        in_flight().erase(q->host);
        const addrinfo* list = q->status == 0 ? q->list.data() : nullptr;
        for (lookup* job : q->waiting) {
            job->done(*job, q->status, list);
            delete job;
        }
        delete q;
    }
}

}  // namespace

void start(lookup* job)
{
    static bool registered = (wakeup::add_handler(deliver), true);
    (void)registered;
    query*& shared = in_flight()[job->host];
    if (shared) {
        shared->waiting.push_back(job);
        return;
    }
    shared = new query;
    shared->host = job->host;
    shared->waiting.push_back(job);
    hub& h = the_hub();
    std::lock_guard<std::mutex> hold(h.lock);
    if (!h.running && !launch(h)) {
        // No thread to look names up: the name fails now rather than never.
        finish_locked(h, shared);
        return;
    }
    // The resolver thread takes every query submitted when it wakes, so only
    // the first of a batch needs to wake it.
    bool idle = h.submitted.empty();
    h.submitted.push_back(shared);
    if (idle) {
        uint64_t one = 1;
        ssize_t n = write(h.wake_fd, &one, sizeof one);
        (void)n;  // a counter that is already set needs no second signal
    }
}

int numeric(const std::string& host, int32_t port, addrinfo** result)
{
    addrinfo hints = hints_for(AI_NUMERICHOST);
    std::string service = std::to_string(port);
    return getaddrinfo(host.c_str(), service.c_str(), &hints, result);
}

}  // namespace resolver
