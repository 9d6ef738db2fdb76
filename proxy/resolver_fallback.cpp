// Names only other nsswitch sources may know (resolver.h): getaddrinfo asks
// every source, on at most fallback_threads threads; more such names wait
// for one of them.
#include "proxy/resolver_hub.h"

namespace resolver::detail {

namespace {

constexpr int fallback_threads = 4;

void* fallback_worker(void*)
{
    hub& h = the_hub();
    std::unique_lock<std::mutex> hold(h.lock);
    for (;;) {
        h.fallback_idle++;
        h.fallback_work.wait(hold, [&] { return !h.fallback.empty(); });
        h.fallback_idle--;
        query* q = h.fallback.front();
        h.fallback.pop_front();
        hold.unlock();
        addrinfo hints = hints_for(0);
        addrinfo* list = nullptr;
        int status = getaddrinfo(q->host.c_str(), nullptr, &hints, &list);
        if (status == 0)
            keep(*q, list);
        else
            q->status = status;
        if (list)
            freeaddrinfo(list);
        hold.lock();
        finish_locked(h, q);
    }
}

}  // namespace

void fall_back(query* q)
{
    hub& h = the_hub();
    std::lock_guard<std::mutex> hold(h.lock);
    h.fallback.push_back(q);
    if (h.fallback_idle < int(h.fallback.size()) && h.fallback_running < fallback_threads && spawn(fallback_worker))
        h.fallback_running++;
    if (h.fallback_running == 0) {
        // No fallback thread at all: the name fails as c-ares said.
        h.fallback.pop_back();
        q->status = EAI_NONAME;
        finish_locked(h, q);
        return;
    }
    h.fallback_work.notify_one();
}

}  // namespace resolver::detail
