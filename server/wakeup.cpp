#include "server/wakeup.h"

#include <csignal>
#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace wakeup {

namespace {

struct state {
    int fd = -1;
    std::vector<void (*)()> handlers;
};

state& self()
{
    static state s;
    return s;
}

// Per signal number: whether it has arrived, and what runs then.
constexpr int max_signal = 65;
volatile sig_atomic_t arrived[max_signal];
void (*on_arrival[max_signal])();

void note_signal(int signo)
{
    arrived[signo] = 1;
    signal();  // write(2) on an eventfd: async-signal-safe
}

void run_signal_handlers()
{
    for (int i = 0; i < max_signal; i++)
        if (arrived[i]) {
            arrived[i] = 0;
            on_arrival[i]();
        }
}

}  // namespace

int descriptor()
{
    state& s = self();
    if (s.fd < 0)
        s.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return s.fd;
}

void add_handler(void (*handler)())
{
    descriptor();
    self().handlers.push_back(handler);
}

void signal()
{
    uint64_t one = 1;
    ssize_t n = write(self().fd, &one, sizeof one);
    (void)n;  // a counter that is already set needs no second signal
}

void on_signal(int signo, void (*handler)())
{
    if (signo <= 0 || signo >= max_signal)
        return;
    static bool registered = (add_handler(run_signal_handlers), true);
    (void)registered;
    on_arrival[signo] = handler;
    struct sigaction sa{};
    sa.sa_handler = note_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(signo, &sa, nullptr);
}

void dispatch()
{
    state& s = self();
    uint64_t count;
    ssize_t n = read(s.fd, &count, sizeof count);
    (void)n;
    for (void (*handler)() : s.handlers)
        handler();
}

}  // namespace wakeup
