// Serving rules of the connection server, over real sockets on loopback.
#include "server/clock.h"
#include "server/connection_registry.h"
#include "server/connector.h"
#include "server/server.h"
#include "server/timer_heap.h"
#include "server/sockets.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> deleted;  // what each ended echo had received

// A client of the port, or -1 when refused; for port 0 instead the number
// of a free port, picked by the kernel.
int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, htons(uint16_t(port)), {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof a;
    if (port == 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0)
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    else if (port != 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), len) == 0)
        return fd;
    close(fd);
    return port ? -1 : ntohs(a.sin_port);
}

// Closes fd with a reset instead of an orderly end.
void reset(int fd)
{
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

// Echoes unless `silent`; finished with its last bytes once "quit" came.
struct echo : connection {
    static inline bool silent = false;
    std::string received, pending;
    ~echo() override { deleted.push_back(received); }
    void on_recv(char* data, int len) override
    {
        received.append(data, size_t(len));
        if (!silent)
            pending.append(data, size_t(len));
    }
    handover on_send(char* buf, int cap) override
    {
        size_t n = std::min(pending.size(), size_t(cap));
        memcpy(buf, pending.data(), n);
        pending.erase(0, n);
        bool quit = received.find("quit") != std::string::npos;
        return handover::copied(int32_t(n), quit ? handover::next::finish : handover::next::more);
    }
};

struct server_test : ::testing::Test {
    int port = connect_to(0);
    server<echo> srv{port, true};

    void SetUp() override
    {
        deleted.clear();
        echo::silent = false;
        ASSERT_TRUE(srv.start());
    }
    void turn()
    {
        srv.turn(10);  // a poll with nothing to report would wait for ever
    }
    // Turns until done() holds or 5 seconds have passed.
    bool turn_until(const std::function<bool()>& done)
    {
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5); !done(); turn())
            if (std::chrono::steady_clock::now() > end)
                return false;
        return true;
    }
    // What reaches fd, turning the server, until `want` bytes or the end (0: no turn).
    std::string receive(int fd, size_t want)
    {
        std::string got;
        static char buf[1 << 20];
        fcntl(fd, F_SETFL, O_NONBLOCK);
        turn_until([&] {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            got.append(buf, size_t(std::max<ssize_t>(n, 0)));
            return got.size() >= want || n == 0;
        });
        return got;
    }
    // A client the server has accepted.
    int client()
    {
        int fd = connect_to(port), before = srv.live_connections();
        EXPECT_TRUE(fd >= 0 && turn_until([&] { return srv.live_connections() > before; }));
        return fd;
    }
    // Adds c on a new socket pair; returns the other end.
    int add(connection* c)
    {
        int pair[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
        c->socket = pair[0];
        srv.add_connection(c);
        return pair[1];
    }
    // Adds c on a new loopback TCP connection; returns the other end.
    int add_tcp(connection* c)
    {
        int listening = socket(AF_INET, SOCK_STREAM, 0), peer = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        EXPECT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&a), len), 0);
        listen(listening, 1);
        getsockname(listening, reinterpret_cast<sockaddr*>(&a), &len);
        EXPECT_EQ(connect(peer, reinterpret_cast<sockaddr*>(&a), len), 0);
        c->socket = accept4(listening, nullptr, nullptr, SOCK_NONBLOCK);
        close(listening);
        srv.add_connection(c);
        return peer;
    }
    // Adds an echo with output ready.
    int add(const std::string& output = "")
    {
        auto* e = new echo;
        e->pending = output;
        return add(e);
    }
};

// Bytes that arrive just before a close or a reset are all read first; only
// the reset is an error, named by the descriptor.
TEST_F(server_test, reads_everything_sent_before_close_or_reset)
{
    echo::silent = true;
    for (bool with_reset : {false, true}) {
        deleted.clear();
        std::string bytes(with_reset ? 10 : 300000, 'x');
        int fd = client();
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
        if (with_reset) {
            usleep(20000);  // the bytes arrive before the reset
            reset(fd);
        } else
            close(fd);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(turn_until([&] { return srv.live_connections() == 0; }));
        std::string said = testing::internal::GetCapturedStdout();
        ASSERT_EQ(deleted.size(), 1u);
        EXPECT_TRUE(deleted[0] == bytes) << with_reset << ": " << deleted[0].size() << " bytes";
        EXPECT_EQ(said.find(" has errors.\n") != std::string::npos, with_reset) << said;
    }
}

// Serves descriptors past select()'s 1024; clients reset before accept harm no one.
TEST_F(server_test, serves_over_1024_descriptors_and_survives_resets_before_accept)
{
    rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = std::max(rl.rlim_cur, std::min<rlim_t>(4096, rl.rlim_max));
    setrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 2400)
        GTEST_SKIP() << "descriptor limit too low";
    std::vector<int> clients;
    for (int i = 0; i < 1100; i++)
        clients.push_back(client());
    for (int i = 0; i < 50; i++)
        reset(connect_to(port));
    int turns = 0;
    EXPECT_TRUE(turn_until([&] { return ++turns > 20 && srv.live_connections() == 1100; }));
    for (int fd : clients)
        send(fd, "ping", 4, 0);
    for (int fd : clients) {
        EXPECT_EQ(receive(fd, 4), "ping");
        close(fd);
    }
    EXPECT_TRUE(turn_until([&] { return srv.live_connections() == 0; }));
}

// A connection ending mid-turn, right after its last bytes, must not make the turn skip the next one.
TEST_F(server_test, a_connection_ended_mid_list_does_not_skip_the_next_one)
{
    int peers[] = {add("a"), add(), add("c")};
    send(peers[1], "quit", 4, 0);
    turn();  // the first turn serves all three (added, so woken)
    EXPECT_EQ(deleted, std::vector<std::string>{"quit"});
    EXPECT_EQ(srv.live_connections(), 2);
    EXPECT_EQ(receive(peers[0], 0), "a");
    EXPECT_EQ(receive(peers[1], 0), "quit");
    char c;
    EXPECT_EQ(recv(peers[1], &c, 1, 0), 0);  // the end, right after the last byte
    EXPECT_EQ(receive(peers[2], 0), "c");
    for (int fd : peers)
        close(fd);
}

// On receiving, adds a partner echo with output ready.
struct spawner : echo {
    static inline server_test* test = nullptr;
    static inline int partner = -1;
    void on_recv(char*, int) override { partner = test->add("hello"); }
};

// A connection added by a handler is counted and served in the same turn.
TEST_F(server_test, a_connection_added_from_a_handler_is_served_in_the_same_turn)
{
    spawner::test = this;
    int fd = add(new spawner);
    turn();  // served once as added; the next turns serve only connections with events
    send(fd, "x", 1, 0);
    EXPECT_TRUE(turn_until([&] { return srv.live_connections() == 2; }));
    EXPECT_EQ(receive(spawner::partner, 0), "hello");
    close(fd);
    close(spawner::partner);
}

// Each server has its own sockets, poll and woken connections: a turn of
// one never serves a connection of another.
TEST_F(server_test, two_servers_in_one_process_each_serve_only_their_own)
{
    server<echo> other{0, true};  // never listens
    auto* e = new echo;
    e->pending = "hello";
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, pair), 0);
    e->socket = pair[0];
    other.add_connection(e);
    for (int i = 0; i < 3; i++)
        turn();  // this fixture's server only
    char buf[8];
    EXPECT_EQ(recv(pair[1], buf, sizeof buf, 0), -1);  // not its connection: nothing sent
    other.turn(10);
    EXPECT_EQ(recv(pair[1], buf, sizeof buf, 0), 5);
    close(pair[1]);
}

// Lends `bytes` once, from its own storage.
struct lender : connection {
    std::string bytes;
    bool lent = false;
    void on_recv(char*, int) override {}
    handover on_send(char*, int) override
    {
        handover h = handover::lent(bytes.data(), lent ? 0 : int32_t(bytes.size()));
        lent = true;
        return h;
    }
};

// Lent bytes the socket has not taken yet reach the peer whole after
// keep_unsent(), although their storage is overwritten right after.
TEST_F(server_test, lent_bytes_are_kept_when_their_storage_goes_away)
{
    auto* c = new lender;
    for (size_t i = 0; i < 1000000; i++)
        c->bytes += char('a' + i % 23);
    std::string expected = c->bytes;
    int peer = add(c);
    ASSERT_TRUE(turn_until([&] { return c->lent; }));
    ASSERT_GT(c->unsent(), 0);  // the socket is full
    c->keep_unsent();
    std::fill(c->bytes.begin(), c->bytes.end(), '-');
    std::string got = receive(peer, expected.size());
    EXPECT_TRUE(got == expected) << got.size() << " bytes";
    close(peer);
}

// Reads four bytes and no more until it has said "bye", followed by `then`:
// what its peer sends past them stays unread meanwhile.
struct farewell : connection {
    handover::next then = handover::next::more;
    std::string received;
    bool said = false;
    void on_recv(char* data, int len) override { received.append(data, size_t(len)); }
    bool wants_input() const override { return said || received.size() < 4; }
    char* receive_space(int* len) override
    {
        if (!said)
            *len = int(4 - received.size());
        return nullptr;
    }
    handover on_send(char* buf, int) override
    {
        if (said || received.size() < 4)
            return handover::nothing();
        said = true;
        memcpy(buf, "bye", 3);
        return handover::copied(3, then);
    }
};

// What follows the last bytes, as a peer that has sent more than the
// connection read sees it: nothing yet; the end of the stream while the
// connection goes on reading; a close over unread input, which is a reset;
// or the end of the stream before that close, which the peer sees instead.
TEST_F(server_test, what_follows_the_last_bytes_reaches_the_peer)
{
    using next = handover::next;
    struct {
        next then;
        bool stays;
        int error;  // of the peer's read after "bye"; 0: the end of the stream
    } cases[] = {{next::more, true, EAGAIN},
                 {next::shut, true, 0},
                 {next::finish, false, ECONNRESET},
                 {next::shut_and_finish, false, 0}};
    for (auto& k : cases) {
        auto* c = new farewell;
        c->then = k.then;
        int peer = add_tcp(c);
        send(peer, "pingjunk", 8, 0);
        EXPECT_EQ(receive(peer, 3), "bye");
        pollfd p{peer, POLLIN, 0};
        poll(&p, 1, 200);
        char rest[8];
        ssize_t n = recv(peer, rest, sizeof rest, MSG_DONTWAIT);
        EXPECT_EQ(n < 0 ? errno : n, k.error) << int(k.then);
        if (k.stays) {
            EXPECT_TRUE(turn_until([&] { return c->received.size() == 8; })) << int(k.then);  // read on
            EXPECT_EQ(c->output_ended(), k.then == next::shut);
        }
        close(peer);
        EXPECT_TRUE(turn_until([&] { return srv.live_connections() == 0; })) << int(k.then);
    }
}

// Ends itself at `due` (monotonic ms), which is also its deadline: timed out
// then, or, with a wait of its own (as a pooled connection has), finished
// quietly by on_send once the turn's clock has reached it.
struct expiring : connection {
    int64_t due = 0;
    bool own_wait = false;
    void on_recv(char*, int) override {}
    handover on_send(char*, int) override
    {
        return handover::nothing(own_wait && now() >= due ? handover::next::finish : handover::next::more);
    }
    bool timed_out(int64_t at) const override { return !own_wait && at >= due; }
    int64_t deadline() const override { return due; }
};

// The heap gives the earliest moment first, whatever order moments were
// armed, moved or cancelled in.
TEST(timer_heap_test, hands_out_connections_by_their_moments)
{
    expiring c[6];
    timer_heap heap;
    for (int i : {3, 0, 5, 1, 4, 2})
        heap.arm(&c[i], 100 + 10 * i);
    heap.arm(&c[5], 5);  // brought forward
    heap.arm(&c[0], 500);  // put off
    heap.cancel(&c[3]);
    heap.cancel(&c[3]);  // twice is harmless
    EXPECT_EQ(heap.size(), 5u);
    EXPECT_EQ(heap.next(), 5);
    EXPECT_EQ(heap.due(4), nullptr);
    std::vector<connection*> order;
    while (connection* d = heap.due(1000))
        order.push_back(d);
    EXPECT_EQ(order, (std::vector<connection*>{&c[5], &c[1], &c[2], &c[4], &c[0]}));
    EXPECT_EQ(heap.next(), timer_heap::never);
}

// A connect in progress is reported slow once, when its stagger has passed,
// and goes on; it fails with ETIMEDOUT once it has taken connect_timeout, not
// when the system gives up after minutes of retries. Both counted from the
// attempt's start on the turn's clock (here one the test sets).
TEST(connector_test, a_connect_is_slow_after_its_stagger_and_fails_after_its_limit)
{
    struct attempt : expiring {
        int slow = 0, outcome = -1;
        int on_connect(int error) override { return outcome = error, -1; }
        void on_connect_slow() override { slow++; }
    } c;
    c.socket = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);  // never connected: only the clock speaks
    c.connect_stagger_ms = 250;
    c.connect_timeout = 5;
    sockets polled;
    connection_registry registry(polled);
    int64_t now = 1000;
    connector connects(registry, polled, now);
    connects.watch(&c);
    ASSERT_TRUE(c.connecting());
    EXPECT_EQ(connects.moment(&c), 1250);
    using step = connector::step;
    for (int64_t t : {1249, 1250, 1251, 5999}) {
        now = t;
        EXPECT_EQ(connects.on_time(&c), step::waiting) << t;
        EXPECT_EQ(c.slow, t >= 1250 ? 1 : 0) << t;
    }
    EXPECT_EQ(connects.moment(&c), 6000);
    EXPECT_EQ(c.outcome, -1);
    now = 6000;
    EXPECT_EQ(connects.on_time(&c), step::failed);
    EXPECT_EQ(c.outcome, ETIMEDOUT);
    polled.remove(c.socket, true);
    close(c.socket);
}

// A limit fires when it is due, not on a once-a-second round: the poll waits
// until the connection's moment and no longer, and the turn that follows
// ends it, timed out or, when the wait was its own and on_send says it is
// over, quietly. (The poll's own wait is not capped here, as turn() caps it.)
TEST_F(server_test, a_connection_is_ended_in_the_first_turn_after_its_deadline)
{
    for (bool own_wait : {false, true}) {
        SCOPED_TRACE(own_wait ? "its own wait" : "timed out");
        auto* c = new expiring;
        c->own_wait = own_wait;
        int64_t due = c->due = monotonic_ms() + 150;
        int peer = add(c);
        testing::internal::CaptureStdout();
        turn();  // takes it in and arms its moment
        int turns = 1;
        while (srv.live_connections() == 1 && turns < 10) {
            srv.turn();
            turns++;
        }
        std::string said = testing::internal::GetCapturedStdout();
        EXPECT_EQ(srv.live_connections(), 0);
        EXPECT_GE(monotonic_ms(), due);  // not early either
        EXPECT_LE(turns, 3);  // added, waited until the moment, ended
        EXPECT_EQ(said.find(" has timed out.\n") != std::string::npos, !own_wait) << said;
        close(peer);
    }
}

}  // namespace
