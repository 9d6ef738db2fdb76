// Which time limit ends a client or its origin connection, and from when it
// counts, read from deadline() and timed_out() at chosen moments instead of
// waited for: idle clients, exchanges in flight, tunnels, stalled peers,
// origins whose client has gone, the pool. That the server ends a connection
// in the first turn after its deadline is the server's own (tests/server).
//
// The client is a real http_proxy with its relay; the origin is a real
// proxy_connection, connected to a listener of the test's own on loopback,
// whose socket nothing ever polls. Bytes "go out" when on_send is called
// again after it lent them, as the server does once the socket took them.
#include "proxy/answers.h"
#include "proxy/http_proxy.h"
#include "proxy/proxy_connection.h"
#include "proxy/proxy_context.h"
#include "proxy/proxy_relay.h"
#include "server/abstract_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

constexpr int64_t s = 1000;  // the limits are in seconds, the clock in milliseconds
constexpr int64_t idle_client = 10 * s;
constexpr int64_t in_flight = int64_t(proxy_connection::idle_limit) * s;
constexpr int64_t stall = int64_t(proxy_relay::stall_limit) * s;
constexpr int64_t orphan = int64_t(proxy_connection::orphan_stall) * s;
constexpr int64_t pooled = int64_t(origin_pool::idle_limit) * s;

// The one place a request's kind is made.
request_kind kind(bool connect, bool body)
{
    request_kind k;
    if (connect)
        k.method = request_kind::method_class::connect;
    else if (!body)
        k.method = request_kind::method_class::idempotent;
    k.body = body ? request_kind::body_form::follows : request_kind::body_form::none;
    return k;
}

// Everything c has to send goes out.
void send_all(connection& c)
{
    static char buf[connection::buffer_size];
    for (int len = 1, rounds = 0; len > 0 && rounds < 64; rounds++)
        len = c.on_send(buf, sizeof buf).length;
}

// A client and, once reached, its origin connection; the last moment a byte
// moved on either is t0 unless a test moves it.
struct time_limits : ::testing::Test {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    socket_address at;
    struct : abstract_server {
        connection* create_connection(uint32_t) override { return nullptr; }
    } server;  // never started: only the context's owner
    proxy_context context{server};
    http_proxy* client = new http_proxy(context);
    proxy_relay* relay = client->relay.get();
    proxy_connection* origin = nullptr;
    const int64_t t0 = client->last_active;

    void SetUp() override
    {
        sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof a;
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), len) | listen(listener, 4), 0);
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        at = socket_address(reinterpret_cast<sockaddr*>(&a), len);
    }
    void TearDown() override
    {
        delete client;
        if (origin) {
            close(origin->socket);
            delete origin;
        }
        close(listener);
    }

    // The request goes upstream: its origin is looked up, then (reach())
    // connected and sent the head, and the body, if any.
    void request(const request_kind& k, const std::string& body = "")
    {
        std::string head = "GET / HTTP/1.1\r\n\r\n";
        if (k.connect())
            head.clear();
        else if (!body.empty())
            head = "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        relay->start(k, head);
        pending_body = body;
    }
    void reach()
    {
        origin = proxy_connection::attempt(nullptr, context.pool, "127.0.0.1", 80, at);
        ASSERT_NE(origin, nullptr);
        origin->serve(relay, false);
        relay->connected();
        origin->last_active = origin->last_taken = t0;
        if (!pending_body.empty()) {
            relay->from_client(pending_body.data(), pending_body.size());
            relay->request_finished();
        }
    }
    std::string pending_body;
    // Whether the connection c is ended at t, checked against its deadline:
    // the moment it names is the first at which it is ended.
    bool ended_at(const connection& c, int64_t t) const
    {
        bool ended = c.timed_out(t);
        EXPECT_EQ(ended, t >= c.deadline()) << "at t0 + " << t - t0 << " ms";
        return ended;
    }
};

}  // namespace

// With nothing in flight, a client is ended after 10 idle seconds: once the
// proxy's own answer has gone, and part-way through a request head that has
// gone quiet (well before the head's own limit).
TEST_F(time_limits, a_client_with_nothing_in_flight_is_ended_after_ten_idle_seconds)
{
    relay->answer(answers::not_found, false);
    send_all(*client);
    EXPECT_FALSE(relay->in_flight());
    EXPECT_FALSE(ended_at(*client, t0 + idle_client));
    EXPECT_TRUE(ended_at(*client, t0 + idle_client + 1));

    char partial[] = "GET http://a.invalid/ HTTP/1.1\r\nUser-Agent: a";
    client->on_recv(partial, int(strlen(partial)));
    client->last_active = t0;
    EXPECT_FALSE(ended_at(*client, t0 + idle_client));
    EXPECT_TRUE(ended_at(*client, t0 + idle_client + 1));
}

// While a request is in flight (its name looked up, its answer slow to come,
// a quiet tunnel), neither side is ended after 10 s: both are idle only while
// no byte moves on either, and are ended together idle_limit seconds after
// the later side's last byte.
TEST_F(time_limits, in_flight_client_and_origin_are_idle_only_while_neither_moves)
{
    request(kind(false, false));  // its name is being looked up
    EXPECT_TRUE(relay->in_flight());
    EXPECT_FALSE(ended_at(*client, t0 + idle_client + 1));
    EXPECT_FALSE(ended_at(*client, t0 + in_flight));
    EXPECT_TRUE(ended_at(*client, t0 + in_flight + 1));

    reach();
    send_all(*origin);  // the whole request is out: the answer is awaited
    EXPECT_EQ(origin->connect_timeout, proxy_connection::connect_limit);  // the connect had its own bound
    for (const connection* c : {static_cast<connection*>(client), static_cast<connection*>(origin)}) {
        EXPECT_FALSE(ended_at(*c, t0 + idle_client + 1));
        EXPECT_FALSE(ended_at(*c, t0 + in_flight));
        EXPECT_TRUE(ended_at(*c, t0 + in_flight + 1));
    }

    // A byte on either side counts for both.
    origin->last_active = t0 + 100 * s;
    EXPECT_FALSE(ended_at(*client, t0 + in_flight + 1));
    client->last_active = t0 + 200 * s;
    for (const connection* c : {static_cast<connection*>(client), static_cast<connection*>(origin)}) {
        EXPECT_FALSE(ended_at(*c, t0 + 200 * s + in_flight));
        EXPECT_TRUE(ended_at(*c, t0 + 200 * s + in_flight + 1));
    }
}

// The same for a tunnel, whichever direction moves.
TEST_F(time_limits, a_quiet_tunnel_is_idle_only_while_neither_direction_moves)
{
    request(kind(true, false));
    reach();
    send_all(*client);  // its "200"
    EXPECT_TRUE(relay->in_flight());
    EXPECT_FALSE(ended_at(*client, t0 + in_flight));
    EXPECT_FALSE(ended_at(*origin, t0 + in_flight));
    origin->last_active = t0 + 100 * s;
    EXPECT_FALSE(ended_at(*client, t0 + in_flight + 1));
    EXPECT_TRUE(ended_at(*client, t0 + 100 * s + in_flight + 1));
    EXPECT_TRUE(ended_at(*origin, t0 + 100 * s + in_flight + 1));
}

// A peer that takes none of what waits for it is ended stall_limit seconds
// after it last took something, however busy the other side is: an origin
// not reading the body, a client not reading its answer.
TEST_F(time_limits, a_peer_that_takes_nothing_of_what_waits_for_it_is_ended_after_the_stall_limit)
{
    request(kind(false, true), "body");
    reach();
    client->last_active = t0 + 30 * s;  // the client goes on sending
    EXPECT_FALSE(ended_at(*origin, t0 + stall));
    EXPECT_TRUE(ended_at(*origin, t0 + stall + 1));

    send_all(*origin);
    char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhalf ";
    origin->on_recv(answer, int(strlen(answer)));
    origin->last_active = t0 + 70 * s;  // the origin goes on sending
    EXPECT_FALSE(ended_at(*client, t0 + stall));
    EXPECT_TRUE(ended_at(*client, t0 + stall + 1));
}

// A whole request whose client has gone still goes out, but an origin that
// takes none of it holds it orphan_stall seconds at most, not the time an
// exchange may take. (That the client's end wakes it, so that the server
// arms that nearer moment, is the relay's: tests/proxy/relay_test.cpp.)
TEST_F(time_limits, an_origin_whose_client_has_gone_delivers_for_a_few_seconds_at_most)
{
    request(kind(false, true), std::string(1000, 'b'));
    reach();
    delete client;
    client = nullptr;
    EXPECT_FALSE(ended_at(*origin, t0 + orphan));
    EXPECT_TRUE(ended_at(*origin, t0 + orphan + 1));
}

// An idle origin connection waits in the pool idle_limit seconds after its
// answer, a wait of the pool's own: its moment comes then, and until then
// on_send keeps it (no time-out of anything in flight ends it). That the
// wait ends on_send's "more" is the pool's (origin_pool_test) and the
// server's (server_test).
TEST_F(time_limits, an_origin_connection_leaves_the_pool_after_its_idle_time)
{
    request(kind(false, false));
    reach();
    send_all(*origin);
    char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    origin->on_recv(answer, int(strlen(answer)));
    EXPECT_FALSE(relay->in_flight());
    EXPECT_EQ(context.pool.size(), 1);
    EXPECT_EQ(origin->deadline(), connection::now() + pooled + 1);
    EXPECT_FALSE(origin->timed_out(connection::now() + in_flight + 1));
    char buf[64];
    EXPECT_EQ(origin->on_send(buf, sizeof buf).then, handover::next::more);
}
