#include "server/abstract_server.h"

#include "base/unordered_erase.h"
#include "server/log_output.h"
#include "server/sockets.h"
#include "server/wakeup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int64_t monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// The IPv4 addresses of every interface, one per line.
std::string ipv4_addresses()
{
    std::string list;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0)
        return list;
    for (ifaddrs* i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        char host[64];
        if (getnameinfo(i->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        if (!list.empty())
            list += "\n";
        list += host;
    }
    freeifaddrs(all);
    return list;
}

// The receive buffer shared by every connection: received bytes are handed to
// on_recv straight from here and must be consumed or copied during the call.
char* receive_buffer()
{
    static char* buf = new char[connection::buffer_size];
    return buf;
}

}  // namespace

abstract_server::~abstract_server() { stop(); }

bool abstract_server::start()
{
    if (port == 0)
        return true;
    if (listener != -1) {
        puts("server already started");
        return false;
    }
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[16];
    snprintf(service, sizeof service, "%d", port);

    addrinfo* result = nullptr;
    int rc;
    if (local_only) {
        printf("Binding to port %d on localhost only\n", port);
        rc = getaddrinfo("127.0.0.1", service, &hints, &result);
    } else {
        printf("Binding to port %d on all adapters:\n", port);
        puts(ipv4_addresses().c_str());
        rc = getaddrinfo(nullptr, service, &hints, &result);
    }
    if (rc != 0) {
        printf("getaddrinfo() failed: %d %s\n", rc, gai_strerror(rc));
        return false;
    }

    listener = ::socket(result->ai_family, result->ai_socktype | SOCK_CLOEXEC, result->ai_protocol);
    if (listener == -1) {
        puts("socket() failed");
        freeaddrinfo(result);
        return false;
    }
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(listener, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    // Accepted sockets inherit this. Output is handed to a socket in large
    // pieces already; holding back a small remainder would only add a
    // delayed-ACK round trip.
    setsockopt(listener, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (bind(listener, result->ai_addr, result->ai_addrlen) == -1) {
        int err = errno;
        printf("bind() failed: %d %s\n", err, strerror(err));
        puts("Check that the port isn't already taken.");
        puts("This can be done with 'netstat -an' on windows/mac/linux.");
        close(listener);
        freeaddrinfo(result);
        listener = -1;
        return false;
    }
    freeaddrinfo(result);
    if (listen(listener, listen_backlog) == -1) {
        puts("listen() failed");
        close(listener);
        listener = -1;
        return false;
    }
    set_nonblocking(listener);
    if (!sockets::add(listener)) {
        puts("listen() failed");
        close(listener);
        listener = -1;
        return false;
    }
    return true;
}

void abstract_server::stop()
{
    if (port != 0 && listener != -1) {
        sockets::remove(listener, true);
        close(listener);
        listener = -1;
    }
    while (!connections.empty())
        if (connection* c = connections.pop())
            end_connection(c);
}

void abstract_server::on_idle() {}

bool abstract_server::on_accept(connection*) { return true; }

void abstract_server::on_remove(connection*) {}

int abstract_server::recv(connection* c, char* buf, int len) { return int(::recv(c->socket, buf, size_t(len), 0)); }

int abstract_server::send(connection* c, char* buf, int len)
{
    return int(::send(c->socket, buf, size_t(len), MSG_NOSIGNAL));
}

bool abstract_server::accept_connection() { return try_accept() != accepted::broken; }

abstract_server::accepted abstract_server::try_accept()
{
    sockaddr_in addr{};
    socklen_t addr_len = sizeof addr;
    int fd = accept4(listener, reinterpret_cast<sockaddr*>(&addr), &addr_len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
            return accepted::none;  // a spurious wake-up, or the client gave up already
        puts("accept() failed");
        switch (err) {
        case EBADF:
        case ENOTSOCK:
        case EINVAL:
        case EFAULT:
        case EOPNOTSUPP:
            return accepted::broken;  // the listener itself is broken
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            // The client stays in the backlog; try again shortly instead of
            // spinning on a listener that stays readable.
            accept_paused_until = monotonic_ms() + 100;
            sockets::set_reading(listener, false);
            return accepted::none;
        default:
            return accepted::skipped;  // this client only (reset before accept, and so on)
        }
    }
    connection* c = create_connection(addr.sin_addr.s_addr);
    if (!c) {
        close(fd);
        return accepted::skipped;
    }
    c->socket = fd;
    c->peer_address = addr.sin_addr.s_addr;
    c->peer_port = ntohs(addr.sin_port);
    if (!on_accept(c) || !sockets::add(fd)) {
        delete c;
        close(fd);
        return accepted::skipped;
    }
    enlist(c);
    return accepted::client;
}

void abstract_server::end_connection(connection* c)
{
    if (c->socket >= 0) {
        sockets::remove(c->socket, true);
        close(c->socket);
        if (size_t(c->socket) < by_fd.size() && by_fd[size_t(c->socket)] == c)
            by_fd[size_t(c->socket)] = nullptr;
    }
    // A connection ended by a partner's handler may still wait its turn in
    // the list being served.
    for (connection*& waiting : serving)
        if (waiting == c)
            waiting = nullptr;
    if (c->writing)
        base::unordered_erase(writers, c);
    live--;
    on_remove(c);
    delete c;
}

void abstract_server::enlist(connection* c)
{
    c->list_node = connections.add(c);
    live++;
    if (c->socket >= 0) {
        if (by_fd.size() <= size_t(c->socket))
            by_fd.resize(size_t(c->socket) + 1 + by_fd.size() / 2, nullptr);
        by_fd[size_t(c->socket)] = c;
    }
    c->wake();  // asked for output in this turn's second half
}

void abstract_server::retire(connection* c)
{
    // Between sweeps the list is not walked: the connection's place is left
    // empty and the next sweep unlinks it.
    c->list_node->value = nullptr;
    end_connection(c);
}

void abstract_server::add_connection(connection* c)
{
    enlist(c);
    // A connect in progress is watched for writability from the start.
    if (!sockets::add(c->socket, c->connecting))
        c->broken = true;
}

void abstract_server::unlink_and_end(connection* c)
{
    connections.remove();
    end_connection(c);
}

// Reads until the socket has nothing more for now. Stops early while the
// connection asks for back-pressure, unless ignore_pause (the socket is
// failing and what already arrived must not be lost).
abstract_server::drained abstract_server::drain(connection* c, bool ignore_pause)
{
    for (;;) {
        if (!ignore_pause && !c->wants_input())
            return drained::again;
        int pipe_room = connection::buffer_size;
        int pipe = ignore_pause ? -1 : c->receive_pipe(&pipe_room);
        if (pipe >= 0) {
            ssize_t n = splice(c->socket, nullptr, pipe, nullptr, size_t(pipe_room), SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
            if (n > 0) {
                c->on_piped(int(n));
                c->last_active = now;
                if (n < pipe_room)
                    return drained::again;
                continue;
            }
            if (n == 0)
                return drained::eof;
            int err = errno;
            if (err == EAGAIN || err == EINTR) {
                c->on_piped(0);
                return drained::again;
            }
            return drained::failed;
        }
        int room = connection::buffer_size;
        char* buf = c->receive_space(&room);
        if (!buf) {
            buf = receive_buffer();
            room = connection::buffer_size;
        }
        int n = recv(c, buf, room);
        if (n > 0) {
            c->on_recv(buf, n);
            c->last_active = now;
            // A short read almost always means the socket is empty; asking
            // again would cost a system call that says so. Whatever arrives
            // meanwhile is reported by the next poll.
            if (n < room && !ignore_pause)
                return drained::again;
            continue;
        }
        if (n == 0)
            return drained::eof;
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
            return drained::again;
        return drained::failed;
    }
}

void abstract_server::send_pending(connection* c)
{
    char* from = c->send_data ? const_cast<char*>(c->send_data) : c->send_buffer;
    while (c->send_length > 0) {
        int n = c->send_pipe >= 0
                    ? int(splice(c->send_pipe, nullptr, c->socket, nullptr, size_t(c->send_length),
                                 SPLICE_F_MOVE | SPLICE_F_NONBLOCK))
                    : send(c, from + c->send_offset, c->send_length);
        if (n <= 0)
            break;
        c->send_length -= n;
        c->send_offset += n;
    }
    c->last_active = now;
    shut_if_done(c);
}

// Asks the connection for output while its send buffer is empty, and sends
// what it gives at once: bytes the socket takes need no poll for
// writability and no further turn. Only what the socket refuses waits for the
// next poll. When the socket took everything, the connection is asked again,
// a few rounds at most so that the others get their turn; a connection that
// may have more then is armed, so that the next poll comes back at once.
bool abstract_server::pull_output(connection* c)
{
    for (int64_t pulled = 0;;) {
        bool produced = false;
        if (c->send_length == 0) {
            c->send_data = nullptr;
            c->send_pipe = -1;
            c->more = c->on_send(c->send_buffer, connection::buffer_size, &c->send_length);
            if (c->write_shut)
                c->send_length = 0;  // nothing can follow the end of the stream
            if (c->send_length > 0) {
                c->send_offset = 0;
                produced = true;
                pulled += c->send_length;
            }
            shut_if_done(c);
        }
        if (c->send_length > 0 && !c->connecting) {
            int32_t before = c->send_length;
            send_pending(c);
            // Bytes left over from an earlier turn that go out now count as
            // progress too: whatever follows them must be asked for.
            produced = produced || c->send_length < before;
        }
        if (c->send_length != 0 || c->connecting) {
            arm(c);
            return true;
        }
        if (!c->more)
            return false;
        if (!produced)
            return true;  // nothing waiting: the next event brings more
        if (pulled >= max_pull_bytes) {
            arm(c);
            return true;
        }
    }
}

void abstract_server::shut_if_done(connection* c)
{
    if (c->write_done && c->send_length == 0 && !c->write_shut) {
        shutdown(c->socket, SHUT_WR);
        c->write_shut = true;
    }
}

int abstract_server::socket_error(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}

int abstract_server::connect_outcome(connection* c)
{
    // A failed connect is always reported as an error by the poll; only then
    // is its reason worth a system call.
    int err = 0;
    if (sockets::errors(c->socket)) {
        err = socket_error(c->socket);
        if (err == 0)
            err = ECONNREFUSED;
    }
    return err;
}

bool abstract_server::finish_connect(connection* c, int error)
{
    c->connecting = false;
    int next = c->on_connect(error);
    if (error == 0)
        return true;
    if (next < 0)
        return false;
    replace_socket(c, next);
    return true;
}

void abstract_server::replace_socket(connection* c, int fd)
{
    int old = c->socket;
    sockets::remove(old, true);
    close(old);
    if (size_t(old) < by_fd.size() && by_fd[size_t(old)] == c)
        by_fd[size_t(old)] = nullptr;
    c->socket = fd;
    if (by_fd.size() <= size_t(fd))
        by_fd.resize(size_t(fd) + 1 + by_fd.size() / 2, nullptr);
    by_fd[size_t(fd)] = c;
    c->connecting = true;
    c->last_active = now;  // the new attempt's connect_timeout starts now
    if (!sockets::add(fd, true))
        c->broken = true;
}

void abstract_server::update()
{
    if (sockets::num_ready() < 0) {
        if (sockets::last_error() == EINTR)
            return;
        stop();
        start();
        return;
    }
    now = time(nullptr);
    wakeup::dispatch();

    // Once a second every connection is visited (time-outs, and anything no
    // event announced); in between only those with events or woken ones, so
    // that idle connections cost nothing per turn.
    bool sweep = now != last_sweep;
    if (sweep) {
        last_sweep = now;
        sweep_input();
    } else
        serve_events();

    if (port != 0 && listener != -1) {
        if (accept_paused_until && monotonic_ms() >= accept_paused_until) {
            accept_paused_until = 0;
            sockets::set_reading(listener, true);
        }
        // A burst of clients is taken in one turn, up to a bound that keeps
        // the servicing of existing connections going.
        for (int i = 0; i < accepts_per_turn && sockets::readable(listener); i++) {
            accepted a = try_accept();
            if (a == accepted::broken) {
                stop();
                start();
                break;
            }
            if (a != accepted::client)
                break;
        }
    }

    if (sweep)
        sweep_output();
    else
        serve_woken();
    rearm_writers();
    // Connections woken during this turn are served in the next one, which
    // must then not wait for events.
    if (!connection::woken().empty())
        sockets::poll_at_once();

    if (now - last_report > 5) {
        if (live != 0 || last_count != 0)
            printf("%d connections\n", live);
        last_count = live;
        last_report = now;
    }
    connection::selected() = nullptr;
}

bool abstract_server::service_input(connection* c)
{
    connection::selected() = c;
    int fd = c->socket;
    if (c->broken) {
        printf("%d has errors.\n", fd);
        return false;
    }
    if (c->connecting) {
        if (!sockets::writable(fd) && !sockets::errors(fd))
            return true;
        int err = connect_outcome(c);
        if (!finish_connect(c, err)) {
            printf("%d has errors.\n", fd);
            return false;
        }
        if (err != 0)
            return true;  // another attempt is under way on a new socket
    }
    if (sockets::errors(fd)) {
        // Bytes that arrived before a reset or hang-up are still readable
        // and must reach the connection before it is ended.
        drained d = sockets::readable(fd) && !c->eof ? drain(c, true) : drained::again;
        if (d == drained::eof) {
            if (!c->on_eof())
                return false;
            c->eof = true;
        }
        // A hang-up after both directions were shut down in order is the
        // normal end of the stream, not an error.
        bool orderly = d != drained::failed && c->eof && c->write_shut && socket_error(fd) == 0;
        if (!orderly)
            printf("%d has errors.\n", fd);
        return false;
    }
    if (sockets::readable(fd) && !c->eof) {
        if (drain(c, false) == drained::eof) {
            if (!c->on_eof())
                return false;
            c->eof = true;
        }
    } else if (sockets::writable(fd)) {
        send_pending(c);
        if (!c->more && c->send_length == 0)
            return false;
    }
    return true;
}

bool abstract_server::service_output(connection* c)
{
    connection::selected() = c;
    if (c->broken) {
        printf("%d has errors.\n", c->socket);
        return false;
    }
    if (!pull_output(c))
        return false;
    sockets::set_reading(c->socket, !c->eof && c->wants_input());
    return true;
}

void abstract_server::sweep_input()
{
    for (connections.rewind(); connections.has_current(); connections.advance()) {
        connection* c = connections.current();
        if (!c) {
            connections.remove();  // the place of a connection ended between sweeps
            continue;
        }
        if (c->connecting && c->connect_timeout > 0 && now - c->last_active > c->connect_timeout) {
            connection::selected() = c;
            int fd = c->socket;
            if (!finish_connect(c, ETIMEDOUT)) {
                printf("%d has timed out.\n", fd);
                unlink_and_end(c);
            }
            continue;
        }
        if (c->timed_out(now)) {
            connection::selected() = c;
            printf("%d has timed out.\n", c->socket);
            unlink_and_end(c);
            continue;
        }
        if (!service_input(c))
            unlink_and_end(c);
    }
}

void abstract_server::sweep_output()
{
    // Everyone is visited now; a connection woken again by a partner on the
    // way is served once more in the next turn.
    for (connection* c : connection::woken())
        c->awake = false;
    connection::woken().clear();
    for (connections.rewind(); connections.has_current(); connections.advance()) {
        connection* c = connections.current();
        if (!c) {
            connections.remove();
            continue;
        }
        if (!service_output(c))
            unlink_and_end(c);
    }
}

void abstract_server::serve_events()
{
    // Copied: ending a connection changes the poll's results.
    events.assign(sockets::reported().begin(), sockets::reported().end());
    for (int fd : events) {
        connection* c = size_t(fd) < by_fd.size() ? by_fd[size_t(fd)] : nullptr;
        if (!c)
            continue;  // the listener, or a descriptor no connection owns
        if (!service_input(c))
            retire(c);
        else
            c->wake();  // asked for output in the second half of the turn
    }
}

void abstract_server::arm(connection* c)
{
    sockets::arm(c->socket);
    if (!c->writing) {
        c->writing = true;
        writers.push_back(c);
    }
}

void abstract_server::rearm_writers()
{
    // Write interest lasts one poll. A connection whose socket was full
    // stays unserved until the poll reports it writable, so its interest is
    // renewed here rather than in a servicing pass.
    for (size_t i = 0; i < writers.size();) {
        connection* c = writers[i];
        if (c->send_length != 0 || c->connecting) {
            sockets::arm(c->socket);
            i++;
            continue;
        }
        c->writing = false;
        writers[i] = writers.back();
        writers.pop_back();
    }
}

void abstract_server::serve_woken()
{
    serving.swap(connection::woken());
    for (connection* c : serving)
        c->awake = false;
    for (size_t i = 0; i < serving.size(); i++) {
        connection* c = serving[i];
        if (!c)
            continue;  // ended while this list was being served
        if (!service_output(c))
            retire(c);
    }
    serving.clear();
}

void abstract_server::run()
{
    struct local {
        static void on_signal(int) { done() = 1; }
        static volatile sig_atomic_t& done()
        {
            static volatile sig_atomic_t flag = 0;
            return flag;
        }
    };
    local::done() = 0;
    // SIGTERM, which service managers send, ends the server like SIGINT.
    struct sigaction sa{};
    sa.sa_handler = local::on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    if (!start())
        return;
    while (!local::done()) {
        sockets::select_all();
        update();
        log_output::flush();
    }
    puts("Shutting down...");
}
