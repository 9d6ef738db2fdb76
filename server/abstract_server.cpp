#include "server/abstract_server.h"

#include "server/clock.h"
#include "server/listener.h"
#include "server/log_output.h"
#include "server/sockets.h"
#include "server/wakeup.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <sys/socket.h>

abstract_server::~abstract_server() { stop(); }

bool abstract_server::start()
{
    if (port == 0)
        return true;
    if (!listeners.empty()) {
        puts("server already started");
        return false;
    }
    listeners = open_listeners(polled, port, local_only);
    return !listeners.empty();
}

bool abstract_server::reaches_self(const socket_address& to) const
{
    return reaches_listener(port, local_only, to);
}

void abstract_server::stop()
{
    for (int fd : listeners)
        close_listener(polled, fd);
    listeners.clear();
    turns.end_all();
}

void abstract_server::on_idle() {}

bool abstract_server::on_accept(connection*) { return true; }

void abstract_server::on_remove(connection*) {}

int abstract_server::recv(connection* c, char* buf, int len) { return int(::recv(c->socket, buf, size_t(len), 0)); }

int abstract_server::send(connection* c, const char* buf, int len)
{
    return int(::send(c->socket, buf, size_t(len), MSG_NOSIGNAL));
}

void abstract_server::add_connection(connection* c, bool connecting)
{
    registry.enlist(c);
    if (connecting)
        connects.watch(c);
    else
        registry.watch(c, false);
    turns.added(c);
}

void abstract_server::update()
{
    if (polled.num_ready() < 0) {
        if (polled.last_error() == EINTR)
            return;
        stop();
        start();
        return;
    }
    now = monotonic_ms();
    if (polled.readable(wakeup::descriptor()))
        wakeup::dispatch();

    turns.input_half();
    if (!listeners.empty() && !incoming.accept_burst(listeners)) {
        stop();
        start();
    }
    turns.output_half();

    if (now - last_report > report_interval_ms) {
        if (registry.live() != 0 || last_count != 0)
            printf("%d connections\n", registry.live());
        last_count = registry.live();
        last_report = now;
    }
    if (registry.live() != 0 || last_count != 0)
        polled.wait_at_most(int(last_report + report_interval_ms + 1 - now));
}

void abstract_server::watch_wakeups()
{
    if (int fd = wakeup::descriptor(); fd >= 0)
        polled.add(fd);
}

void abstract_server::turn(int wait_limit_ms)
{
    if (wait_limit_ms >= 0)
        polled.wait_at_most(wait_limit_ms);
    polled.select_all();
    update();
}

void abstract_server::run()
{
    struct local {
        static void on_signal() { done() = 1; }
        static volatile sig_atomic_t& done()
        {
            static volatile sig_atomic_t flag = 0;
            return flag;
        }
    };
    local::done() = 0;
    // SIGTERM, which service managers send, ends the server like SIGINT.
    // Through wakeup: the signal also ends a poll that has no time limit.
    wakeup::on_signal(SIGINT, local::on_signal);
    wakeup::on_signal(SIGTERM, local::on_signal);

    if (!start())
        return;
    polled.poll_at_once();  // the first turn prints the first count at once
    while (!local::done()) {
        turn();
        log_output::flush();
    }
    puts("Shutting down...");
}
