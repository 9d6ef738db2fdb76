#include "proxy/resolver.h"

#include "server/wakeup.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace resolver {

namespace {

// More lookups than this at once wait their turn; a handful of slow names
// then cannot create threads without bound.
constexpr int max_threads = 4;

struct pool {
    std::mutex lock;
    std::condition_variable work;
    std::deque<lookup*> waiting;
    std::vector<lookup*> finished;
    int threads = 0;
    int idle = 0;
};

// Never destroyed: detached workers may still be inside getaddrinfo when
// the process exits.
pool& the_pool()
{
    static pool* p = new pool;
    return *p;
}

addrinfo hints_for(int flags)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    return hints;
}

void worker()
{
    pool& p = the_pool();
    for (;;) {
        lookup* job;
        {
            std::unique_lock<std::mutex> hold(p.lock);
            p.idle++;
            p.work.wait(hold, [&] { return !p.waiting.empty(); });
            p.idle--;
            job = p.waiting.front();
            p.waiting.pop_front();
        }
        addrinfo hints = hints_for(0);
        std::string service = std::to_string(job->port);
        job->status = getaddrinfo(job->host.c_str(), service.c_str(), &hints, &job->result);
        {
            std::lock_guard<std::mutex> hold(p.lock);
            p.finished.push_back(job);
        }
        wakeup::signal();
    }
}

// On the loop's thread: runs every finished lookup's `done`.
void deliver()
{
    pool& p = the_pool();
    std::vector<lookup*> done;
    {
        std::lock_guard<std::mutex> hold(p.lock);
        done.swap(p.finished);
    }
    for (lookup* job : done) {
        job->done(*job);
        if (job->result)
            freeaddrinfo(job->result);
        delete job;
    }
}

}  // namespace

void start(lookup* job)
{
    static bool registered = (wakeup::set_handler(deliver), true);
    (void)registered;
    pool& p = the_pool();
    std::lock_guard<std::mutex> hold(p.lock);
    p.waiting.push_back(job);
    if (p.idle < int(p.waiting.size()) && p.threads < max_threads) {
        p.threads++;
        std::thread(worker).detach();
    }
    p.work.notify_one();
}

int numeric(const std::string& host, int32_t port, addrinfo** result)
{
    addrinfo hints = hints_for(AI_NUMERICHOST);
    std::string service = std::to_string(port);
    return getaddrinfo(host.c_str(), service.c_str(), &hints, result);
}

}  // namespace resolver
