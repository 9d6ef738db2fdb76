#include "proxy/resolver.h"

#include "proxy/resolver_config.h"
#include "server/wakeup.h"

#include <ares.h>
#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace resolver {

namespace {

// Threads that run getaddrinfo for names only other nsswitch sources may
// know; more such names wait for one of them.
constexpr int fallback_threads = 4;
// getaddrinfo needs little stack (glibc sizes its buffers to the thread's
// stack); the resolver thread needs less still.
constexpr size_t stack_size = 512 * 1024;
// c-ares reads these when a channel is made.
constexpr std::array<const char*, 3> watched = {"/etc/resolv.conf", "/etc/hosts", "/etc/nsswitch.conf"};

struct channel;

// One name being looked up and everyone waiting for it. Made and deleted on
// the loop's thread, which meanwhile touches only `waiting`; the answer is
// written by whichever thread holds the query by the hand-offs below (each
// under the hub's lock), and read on the loop's thread once handed back.
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

hub& the_hub()
{
    static hub* h = new hub;
    return *h;
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

// getaddrinfo's word for a c-ares failure.
int eai_status(int ares_status)
{
    switch (ares_status) {
    case ARES_ENOTFOUND:
    case ARES_ENODATA:
    case ARES_EBADNAME:
        return EAI_NONAME;
    case ARES_ENOMEM:
        return EAI_MEMORY;
    case ARES_ETIMEOUT:
    case ARES_ECONNREFUSED:
    case ARES_ESERVFAIL:
    case ARES_EREFUSED:
    case ARES_EDESTRUCTION:
    case ARES_ECANCELLED:
        return EAI_AGAIN;
    default:
        return EAI_FAIL;
    }
}

// Any thread: hands q back to the loop, which answers its waiters.
void finish(query* q)
{
    hub& h = the_hub();
    std::lock_guard<std::mutex> hold(h.lock);
    h.finished.push_back(q);
    wakeup::signal();
}

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
        h.finished.push_back(q);
        wakeup::signal();
    }
}

bool spawn(void* (*body)(void*))
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stack_size);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    bool made = pthread_create(&id, &attr, body, nullptr) == 0;
    pthread_attr_destroy(&attr);
    return made;
}

// Resolver thread: q's name does not exist for c-ares; getaddrinfo tries
// every source. Without any fallback thread the name fails as c-ares said.
void fall_back(query* q)
{
    hub& h = the_hub();
    std::lock_guard<std::mutex> hold(h.lock);
    h.fallback.push_back(q);
    if (h.fallback_idle < int(h.fallback.size()) && h.fallback_running < fallback_threads && spawn(fallback_worker))
        h.fallback_running++;
    if (h.fallback_running == 0) {
        h.fallback.pop_back();
        q->status = EAI_NONAME;
        h.finished.push_back(q);
        wakeup::signal();
        return;
    }
    h.fallback_work.notify_one();
}

// ---- The resolver thread's own state: everything below runs there.

// A c-ares channel, the sockets it wants polled and its queries in flight.
struct channel {
    ares_channel handle = nullptr;
    std::vector<pollfd> sockets;
    int pending = 0;
    bool falls_back = false;  // nsswitch names sources c-ares does not cover
};

// When one of the watched files changed: a file replaced, rewritten or
// created (for a bind-mounted file, only its time and size change).
struct file_stamp {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtime_ns = 0;
    bool operator==(const file_stamp&) const = default;
};
using config_stamp = std::array<file_stamp, watched.size()>;

config_stamp stamp_now()
{
    config_stamp stamp;
    for (size_t i = 0; i < watched.size(); i++) {
        struct stat st;
        if (stat(watched[i], &st) == 0)
            stamp[i] = {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    }
    return stamp;
}

struct engine {
    channel* current = nullptr;      // new queries go here
    std::vector<channel*> retiring;  // older ones, until their queries end
    config_stamp stamp;              // of the files current was made from
    bool checked = false;
    timespec last_check{};
};

// c-ares tells which sockets to poll for what; none of either: closed.
void socket_state(void* data, ares_socket_t fd, int readable, int writable)
{
    std::vector<pollfd>& sockets = static_cast<channel*>(data)->sockets;
    auto at = std::find_if(sockets.begin(), sockets.end(), [&](const pollfd& p) { return p.fd == fd; });
    short events = short((readable ? POLLIN : 0) | (writable ? POLLOUT : 0));
    if (events == 0) {
        if (at != sockets.end())
            sockets.erase(at);
    } else if (at == sockets.end()) {
        sockets.push_back({fd, events, 0});
    } else {
        at->events = events;
    }
}

channel* open_channel()
{
    auto* c = new channel;
    ares_options options{};
    int mask = ARES_OPT_SOCK_STATE_CB | ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES;
    options.sock_state_cb = socket_state;
    options.sock_state_cb_data = c;
    resolver_config::timing timing =
        resolver_config::resolv_timing(resolver_config::read_file(watched[0]), getenv("RES_OPTIONS"));
    options.timeout = timing.timeout_ms;
    options.tries = timing.attempts;
    if (ares_init_options(&c->handle, &options, mask) != ARES_SUCCESS) {
        delete c;
        return nullptr;
    }
    c->falls_back = resolver_config::names_other_sources(resolver_config::read_file(watched[2]));
    return c;
}

// At most once a second, as a query starts: a new channel when the files
// changed (or when there is none yet). Queries under way stay on the old
// channel; if no new one can be made, the old one goes on serving.
void reconfigure(engine& e)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t since = (now.tv_sec - e.last_check.tv_sec) * 1000 + (now.tv_nsec - e.last_check.tv_nsec) / 1000000;
    if (e.checked && since < 1000)
        return;
    e.checked = true;
    e.last_check = now;
    config_stamp stamp = stamp_now();  // before c-ares reads: a later change shows next time
    if (e.current && stamp == e.stamp)
        return;
    channel* fresh = open_channel();
    if (!fresh)
        return;
    e.stamp = stamp;
    if (e.current)
        e.retiring.push_back(e.current);
    e.current = fresh;
}

void answered(void* arg, int status, int, ares_addrinfo* result)
{
    auto* q = static_cast<query*>(arg);
    q->via->pending--;
    if (status == ARES_SUCCESS)
        keep(*q, result ? result->nodes : nullptr);
    else
        q->status = eai_status(status);
    if (result)
        ares_freeaddrinfo(result);
    // Not found is worth asking the other sources; a time-out or a failing
    // server is not: getaddrinfo would only repeat the slow query.
    if ((status == ARES_ENOTFOUND || status == ARES_ENODATA) && q->via->falls_back)
        fall_back(q);
    else
        finish(q);
}

void begin(engine& e, query* q)
{
    reconfigure(e);
    if (!e.current) {
        q->status = EAI_AGAIN;  // no channel can be made: fail now rather than never
        finish(q);
        return;
    }
    q->via = e.current;
    e.current->pending++;
    ares_addrinfo_hints hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    ares_getaddrinfo(e.current->handle, q->host.c_str(), nullptr, &hints, answered, q);  // may answer at once
}

void* resolve(void*)
{
    ares_library_init(ARES_LIB_INIT_ALL);
    hub& h = the_hub();
    engine e;
    std::vector<pollfd> polled;
    std::vector<channel*> owners;  // polled[i] belongs to owners[i]
    for (;;) {
        polled.assign(1, pollfd{h.wake_fd, POLLIN, 0});
        owners.assign(1, nullptr);
        int wait = -1;
        auto watch = [&](channel* c) {
            for (const pollfd& p : c->sockets) {
                polled.push_back(p);
                owners.push_back(c);
            }
            timeval tv;
            if (c->pending && ares_timeout(c->handle, nullptr, &tv)) {
                int ms = int(tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000);
                wait = wait < 0 ? ms : std::min(wait, ms);
            }
        };
        if (e.current)
            watch(e.current);
        for (channel* c : e.retiring)
            watch(c);
        poll(polled.data(), polled.size(), wait);

        if (polled[0].revents) {
            uint64_t count;
            ssize_t n = read(h.wake_fd, &count, sizeof count);
            (void)n;
            std::deque<query*> taken;
            {
                std::lock_guard<std::mutex> hold(h.lock);
                taken.swap(h.submitted);
            }
            for (query* q : taken)
                begin(e, q);
        }
        // Channels only leave at the end of a round, so every owner is alive.
        for (size_t i = 1; i < polled.size(); i++) {
            short got = polled[i].revents, want = polled[i].events;
            bool in = (got & (POLLIN | POLLERR | POLLHUP)) && (want & POLLIN);
            bool out = (got & (POLLOUT | POLLERR | POLLHUP)) && (want & POLLOUT);
            if (in || out)
                ares_process_fd(owners[i]->handle, in ? polled[i].fd : ARES_SOCKET_BAD,
                                out ? polled[i].fd : ARES_SOCKET_BAD);
        }
        // Time-outs: retries, and queries that end unanswered.
        if (e.current && e.current->pending)
            ares_process_fd(e.current->handle, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        for (channel* c : e.retiring)
            if (c->pending)
                ares_process_fd(c->handle, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
        std::erase_if(e.retiring, [](channel* c) {
            if (c->pending)
                return false;
            ares_destroy(c->handle);
            delete c;
            return true;
        });
    }
}

// Called with the hub locked: the eventfd and the resolver thread, once.
bool launch(hub& h)
{
    if (h.wake_fd < 0)
        h.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    h.running = h.wake_fd >= 0 && spawn(resolve);
    return h.running;
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
        h.finished.push_back(shared);
        wakeup::signal();
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
