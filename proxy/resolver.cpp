#include "proxy/resolver.h"

#include "server/wakeup.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <sys/socket.h>
#include <unordered_map>
#include <vector>

namespace resolver {

namespace {

// Queries beyond this many at once wait for a thread; far more than the
// names a proxy has in flight, even when hundreds of them never answer.
constexpr int max_threads = 512;
// A worker without work for this long ends; the next burst creates new ones.
constexpr auto idle_life = std::chrono::seconds(10);
// getaddrinfo needs little stack (glibc sizes its stack buffers to the
// thread's stack); a small one keeps hundreds of threads cheap in address
// space, which matters on 32-bit systems.
constexpr size_t stack_size = 512 * 1024;

// One getaddrinfo call and everyone waiting for its answer.
struct query {
    std::string host;
    int status = 0;
    addrinfo* result = nullptr;
    std::vector<lookup*> waiting;  // loop's thread only
};

struct pool {
    std::mutex lock;
    std::condition_variable work;
    std::deque<query*> queued;
    std::vector<query*> finished;
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

// Queries not answered yet, by host name. Loop's thread only.
std::unordered_map<std::string, query*>& in_flight()
{
    static auto* map = new std::unordered_map<std::string, query*>;
    return *map;
}

addrinfo hints_for(int flags)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    return hints;
}

void* worker(void*)
{
    pool& p = the_pool();
    std::unique_lock<std::mutex> hold(p.lock);
    for (;;) {
        p.idle++;
        bool got = p.work.wait_for(hold, idle_life, [&] { return !p.queued.empty(); });
        p.idle--;
        if (!got) {
            p.threads--;
            return nullptr;
        }
        query* q = p.queued.front();
        p.queued.pop_front();
        hold.unlock();
        addrinfo hints = hints_for(0);
        q->status = getaddrinfo(q->host.c_str(), nullptr, &hints, &q->result);
        hold.lock();
        p.finished.push_back(q);
        wakeup::signal();
    }
}

// A new worker, unless the bound is reached. Called with the pool locked.
bool add_worker(pool& p)
{
    if (p.threads >= max_threads)
        return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_size);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    bool made = pthread_create(&id, &attr, worker, nullptr) == 0;
    pthread_attr_destroy(&attr);
    if (made)
        p.threads++;
    return made;
}

// On the loop's thread: answers everyone waiting for a finished query.
void deliver()
{
    pool& p = the_pool();
    std::vector<query*> done;
    {
        std::lock_guard<std::mutex> hold(p.lock);
        done.swap(p.finished);
    }
    for (query* q : done) {
        in_flight().erase(q->host);
        for (lookup* job : q->waiting) {
            job->done(*job, q->status, q->result);
            delete job;
        }
        if (q->result)
            freeaddrinfo(q->result);
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
    pool& p = the_pool();
    std::lock_guard<std::mutex> hold(p.lock);
    p.queued.push_back(shared);
    // Workers told about earlier queries may not have taken them yet, so
    // only idle workers beyond those count as free.
    if (p.idle < int(p.queued.size()) && !add_worker(p) && p.threads == 0) {
        // No thread at all could be made: the name fails now rather than
        // never.
        p.queued.pop_back();
        shared->status = EAI_AGAIN;
        p.finished.push_back(shared);
        wakeup::signal();
        return;
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
