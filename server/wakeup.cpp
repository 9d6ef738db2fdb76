#include "server/wakeup.h"

#include "server/sockets.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace wakeup {

namespace {

struct state {
    int fd = -1;
    void (*handler)() = nullptr;
};

state& self()
{
    static state s;
    return s;
}

}  // namespace

void set_handler(void (*handler)())
{
    state& s = self();
    s.handler = handler;
    if (s.fd < 0) {
        s.fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (s.fd >= 0)
            sockets::add(s.fd);
    }
}

void signal()
{
    uint64_t one = 1;
    ssize_t n = write(self().fd, &one, sizeof one);
    (void)n;  // a counter that is already set needs no second signal
}

void dispatch()
{
    state& s = self();
    if (s.fd < 0 || !sockets::readable(s.fd))
        return;
    uint64_t count;
    ssize_t n = read(s.fd, &count, sizeof count);
    (void)n;
    if (s.handler)
        s.handler();
}

}  // namespace wakeup
