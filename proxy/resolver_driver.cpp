// The resolver thread (resolver.h): it owns the c-ares channels, polls
// their sockets and an eventfd through which the loop hands it queries, and
// hands every query back through the hub once c-ares has answered it, or to
// a fallback thread when the name does not exist for c-ares but may for
// another source.
#include "proxy/resolver_config.h"
#include "proxy/resolver_hub.h"
#include "proxy/resolver_watch.h"

#include <ares.h>
#include <algorithm>
#include <cstdlib>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace resolver::detail {

// A c-ares channel, the sockets it wants polled and its queries in flight.
struct channel {
    ares_channel handle = nullptr;
    std::vector<pollfd> sockets;
    int pending = 0;
    bool falls_back = false;  // nsswitch names sources c-ares does not cover
};

namespace {

struct engine {
    channel* current = nullptr;      // new queries go here
    std::vector<channel*> retiring;  // older ones, until their queries end
    config_watch watch;
};

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
        resolver_config::resolv_timing(resolver_config::read_file(config_watch::files[0]), getenv("RES_OPTIONS"));
    options.timeout = timing.timeout_ms;
    options.tries = timing.attempts;
    if (ares_init_options(&c->handle, &options, mask) != ARES_SUCCESS) {
        delete c;
        return nullptr;
    }
    c->falls_back = resolver_config::names_other_sources(resolver_config::read_file(config_watch::files[2]));
    return c;
}

// As a query starts: a new channel when the files changed (or when there is
// none yet). Queries under way stay on the old channel; if no new one can be
// made, the old one goes on serving.
void reconfigure(engine& e)
{
    if (!e.watch.changed())
        return;
    channel* fresh = open_channel();
    if (!fresh)
        return;
    e.watch.taken();
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

}  // namespace

bool launch(hub& h)
{
    if (h.wake_fd < 0)
        h.wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    h.running = h.wake_fd >= 0 && spawn(resolve);
    return h.running;
}

}  // namespace resolver::detail
