// Servicing rules of the connection server, over real loopback sockets with
// small connection classes of the tests' own.
#include "server/server.h"
#include "server/sockets.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

int connect_to(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Everything the tests' connections saw, in order.
std::vector<std::string>& events()
{
    static std::vector<std::string> e;
    return e;
}

// Echoes what it receives; ends itself (on_send false) after "quit".
struct echo : connection {
    std::string pending;
    std::string received;
    bool quit = false;

    ~echo() override { events().push_back("deleted " + received); }

    void on_recv(char* data, int len) override
    {
        received.append(data, size_t(len));
        pending.append(data, size_t(len));
        if (received.find("quit") != std::string::npos)
            quit = true;
    }

    bool on_send(char* buf, int cap, int* len) override
    {
        size_t n = std::min(pending.size(), size_t(cap));
        memcpy(buf, pending.data(), n);
        pending.erase(0, n);
        *len = int(n);
        return !quit;
    }
};

struct fixture : ::testing::Test {
    int port = free_port();
    server<echo> srv{port, true};

    void SetUp() override
    {
        events().clear();
        ASSERT_TRUE(srv.start());
    }

    void turn()
    {
        sockets::select_all();
        srv.update();
    }

    // Turns until done() holds or about 5 seconds have passed.
    bool turn_until(const std::function<bool()>& done)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            turn();
        }
        return true;
    }

    std::string read_some(int fd, size_t want)
    {
        std::string got;
        char buf[65536];
        fcntl(fd, F_SETFL, O_NONBLOCK);
        turn_until([&] {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n > 0)
                got.append(buf, size_t(n));
            return got.size() >= want || n == 0;
        });
        return got;
    }
};

using server_test = fixture;

TEST_F(server_test, echoes_and_ends_a_connection_right_after_its_last_byte_is_sent)
{
    int fd = connect_to(port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(turn_until([&] { return srv.live_connections() == 1; }));
    send(fd, "hello quit", 10, 0);
    EXPECT_EQ(read_some(fd, 10), "hello quit");
    // The connection said it was finished: it ends once the bytes are out,
    // and the client sees the end of the stream.
    ASSERT_TRUE(turn_until([&] { return srv.live_connections() == 0; }));
    char c;
    EXPECT_EQ(recv(fd, &c, 1, 0), 0);
    close(fd);
}

// Records what it receives and never answers.
struct sink : connection {
    std::string received;
    ~sink() override { events().push_back(received); }
    void on_recv(char* data, int len) override { received.append(data, size_t(len)); }
    bool on_send(char*, int, int* len) override
    {
        *len = 0;
        return true;
    }
};

TEST(server_reads, bytes_sent_just_before_the_peer_closes_all_reach_on_recv)
{
    events().clear();
    int port = free_port();
    server<sink> srv{port, true};
    ASSERT_TRUE(srv.start());
    int fd = connect_to(port);
    for (int i = 0; i < 50 && srv.live_connections() < 1; i++) {
        sockets::select_all();
        srv.update();
    }
    std::string big(300000, 'x');
    big += "end";
    ASSERT_EQ(send(fd, big.data(), big.size(), 0), ssize_t(big.size()));
    close(fd);
    for (int i = 0; i < 50 && srv.live_connections() > 0; i++) {
        sockets::select_all();
        srv.update();
    }
    ASSERT_EQ(events().size(), 1u);
    EXPECT_TRUE(events()[0] == big) << "received " << events()[0].size() << " of " << big.size() << " bytes";
}

TEST_F(server_test, bytes_before_a_reset_are_read_before_the_error_ends_the_connection)
{
    int fd = connect_to(port);
    ASSERT_TRUE(turn_until([&] { return srv.live_connections() == 1; }));
    send(fd, "last words", 10, 0);
    linger l{1, 0};  // close with a reset
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    usleep(20000);
    close(fd);
    ASSERT_TRUE(turn_until([&] { return srv.live_connections() == 0; }));
    ASSERT_EQ(events().size(), 1u);
    EXPECT_EQ(events()[0], "deleted last words");
}

// Ends itself at once (on_send false, nothing to send) when told to.
struct quitter : connection {
    int id = 0;
    bool finish = false;
    void on_recv(char*, int) override {}
    bool on_send(char*, int, int* len) override
    {
        events().push_back("send " + std::to_string(id));
        *len = 0;
        return !finish;
    }
    ~quitter() override { events().push_back("deleted " + std::to_string(id)); }
};

TEST(server_passes, a_connection_ended_mid_list_does_not_skip_the_next_one)
{
    events().clear();
    server<quitter> srv;  // no port: connections are only added
    int pairs[3][2];
    quitter* q[3];
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pairs[i]), 0);
        q[i] = new quitter;
        q[i]->id = i;
        q[i]->socket = pairs[i][0];
        srv.add_connection(q[i]);
    }
    q[1]->finish = true;
    sockets::select_all();
    srv.update();
    std::vector<std::string> want = {"send 0", "send 1", "deleted 1", "send 2"};
    EXPECT_EQ(events(), want);
    EXPECT_EQ(srv.live_connections(), 2);
    for (auto& p : pairs)
        close(p[1]);
}

// Adds a partner connection from inside its own on_recv.
struct spawner : connection {
    static inline abstract_server* owner = nullptr;
    static inline int partner_fd = -1;
    void on_recv(char*, int) override
    {
        auto* q = new quitter;
        q->id = 99;
        q->socket = partner_fd;
        owner->add_connection(q);
    }
    bool on_send(char*, int, int* len) override
    {
        *len = 0;
        return true;
    }
};

TEST(server_passes, a_connection_added_from_a_handler_is_serviced_in_the_same_turn_and_counted)
{
    events().clear();
    int port = free_port();
    server<spawner> srv{port, true};
    spawner::owner = &srv;
    ASSERT_TRUE(srv.start());
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    spawner::partner_fd = pair[0];
    int fd = connect_to(port);
    for (int i = 0; i < 50 && srv.live_connections() < 1; i++) {
        sockets::select_all();
        srv.update();
    }
    testing::internal::CaptureStdout();
    send(fd, "x", 1, 0);
    for (int i = 0; i < 50 && srv.live_connections() < 2; i++) {
        sockets::select_all();
        srv.update();
    }
    EXPECT_EQ(srv.live_connections(), 2);
    // The added connection was asked for output in the same turn's second pass.
    ASSERT_FALSE(events().empty());
    EXPECT_EQ(events()[0], "send 99");
    srv.last_report = 0;
    sockets::select_all();
    srv.update();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("2 connections\n"), std::string::npos);
    close(fd);
    close(pair[1]);
}

TEST_F(server_test, idle_connections_time_out_with_their_descriptor_in_the_message)
{
    int fd = connect_to(port);
    ASSERT_TRUE(turn_until([&] { return srv.live_connections() == 1; }));
    connection* c = srv.connections.first();
    c->timeout = 0;
    c->last_active -= 2;
    int sfd = c->socket;
    testing::internal::CaptureStdout();
    // Time-outs are looked for once a second.
    EXPECT_TRUE(turn_until([&] { return srv.live_connections() == 0; }));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(std::to_string(sfd) + " has timed out.\n"), std::string::npos);
    close(fd);
}

TEST_F(server_test, clients_that_reset_before_being_accepted_leave_others_untouched)
{
    int keep = connect_to(port);
    ASSERT_TRUE(turn_until([&] { return srv.live_connections() == 1; }));
    srv.connections.first()->timeout = 1000;
    for (int i = 0; i < 50; i++) {
        int fd = connect_to(port);
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        close(fd);
    }
    // Give the server a few turns to take and drop them all.
    int turns = 0;
    EXPECT_TRUE(turn_until([&] { return ++turns > 20 && srv.live_connections() == 1; }));
    send(keep, "still here", 10, 0);
    EXPECT_EQ(read_some(keep, 10), "still here");
    close(keep);
}

TEST_F(server_test, serves_more_than_1024_descriptors_at_once)
{
    rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < 4096) {
        rl.rlim_cur = std::min<rlim_t>(4096, rl.rlim_max);
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (rl.rlim_cur < 2400)
        GTEST_SKIP() << "descriptor limit too low";
    std::vector<int> clients;
    for (int i = 0; i < 1100; i++) {
        int fd = connect_to(port);
        ASSERT_GE(fd, 0);
        clients.push_back(fd);
        if (i % 32 == 0)
            turn();  // keeps the listen backlog short
    }
    ASSERT_TRUE(turn_until([&] { return srv.live_connections() == 1100; }));
    for (int fd : clients)
        send(fd, "ping", 4, 0);
    for (int fd : clients)
        EXPECT_EQ(read_some(fd, 4), "ping");
    for (int fd : clients)
        close(fd);
    EXPECT_TRUE(turn_until([&] { return srv.live_connections() == 0; }));
}

}  // namespace
