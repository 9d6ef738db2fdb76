// The relay's invariants, without sockets: answers leave in the order of the
// requests whoever made them, the budget stops the client, a request that
// meets a pooled connection as it closes goes out whole once more, and the
// record lives exactly as long as its holders (the sanitizer build sees a
// leak or a use after the last release).
#include "proxy/proxy_relay.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct endpoint : origin_link {
    int lets_go = 0;  // times it was let go; parked ones count too
    bool parked = false;
    void on_recv(char*, int) override {}
    bool on_send(char*, int, int* len) override { return *len = 0, true; }
    void expect(bool, bool, bool) override {}
    void let_go(bool park) override { lets_go++, parked = park; }
};

// Everything queued for the client, taken as the client side takes it.
std::string for_client(proxy_relay& r)
{
    std::string out;
    const char* data;
    int pipe;
    while (size_t n = r.lend_to_client(1 << 20, &data, &pipe)) {
        out.append(data, n);
        r.client_took();
    }
    return out;
}

}  // namespace

TEST(proxy_relay, answers_keep_the_order_of_the_requests_and_the_origin_goes_back_to_the_pool)
{
    endpoint client, origin;
    auto* r = new proxy_relay(&client);
    r->start({}, "GET /1 HTTP/1.1\r\n\r\n");
    EXPECT_FALSE(r->ready_for_request());  // one exchange at a time
    r->bind(&origin, false);
    r->connected();
    const char* data;
    ASSERT_EQ(r->lend_to_origin(1 << 20, &data), 19u);
    r->origin_took();
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx";
    r->client_queue().append(answer);
    r->from_origin(int(answer.size()));
    r->answer_started();
    r->answer_finished(true, false);
    EXPECT_EQ(origin.lets_go, 1);
    EXPECT_TRUE(origin.parked);
    EXPECT_TRUE(r->ready_for_request());
    r->answer("HTTP/1.1 404 Not Found\r\n\r\n", false);  // the proxy's own answer to the next request
    EXPECT_EQ(for_client(*r), answer + "HTTP/1.1 404 Not Found\r\n\r\n");
    r->client_gone();
    proxy_relay::release(r);
}

TEST(proxy_relay, the_budget_stops_the_client_and_the_next_request_until_it_has_drained)
{
    endpoint client;
    auto* r = new proxy_relay(&client);
    std::string answer(proxy_relay::budget, 'a');
    r->answer(answer.c_str(), false);
    EXPECT_FALSE(r->client_may_send(0));
    EXPECT_FALSE(r->ready_for_request());
    EXPECT_EQ(for_client(*r).size(), answer.size());
    EXPECT_TRUE(r->client_may_send(0) && r->ready_for_request());
    EXPECT_FALSE(r->client_may_send(1));  // bytes waiting to be parsed come first
    r->client_gone();
    proxy_relay::release(r);
}

TEST(proxy_relay, a_request_failing_on_a_pooled_connection_goes_out_whole_once_more)
{
    endpoint client, pooled;
    auto* r = new proxy_relay(&client);
    const std::string head = "POST /x HTTP/1.1\r\nContent-Length: 4\r\n\r\n";
    proxy_relay::request_kind kind;
    kind.has_body = true;
    r->start(kind, head);
    r->from_client("body", 4);
    r->request_finished();
    r->bind(&pooled, true);  // from the pool: connected at once
    const char* data;
    ASSERT_EQ(r->lend_to_origin(20, &data), 20u);  // part of the head went out, none of the body
    r->answer_failed();                            // the origin had closed the connection
    EXPECT_TRUE(r->retry_due());
    EXPECT_FALSE(pooled.parked);
    endpoint fresh;
    r->retried();
    r->bind(&fresh, false);
    r->connected();
    std::string again;
    while (size_t n = r->lend_to_origin(1 << 20, &data)) {
        again.append(data, n);
        r->origin_took();
    }
    EXPECT_EQ(again, head + "body");
    // A second failure is told to the client.
    r->answer_failed();
    EXPECT_FALSE(r->retry_due());
    EXPECT_TRUE(r->closing());
    EXPECT_EQ(for_client(*r).substr(0, 24), "HTTP/1.1 502 Bad Gateway");
    r->client_gone();
    proxy_relay::release(r);
}

TEST(proxy_relay, lives_as_long_as_its_last_holder)
{
    endpoint client, origin;
    auto* r = new proxy_relay(&client);
    r->start({}, "GET / HTTP/1.1\r\n\r\n");
    r->bind(&origin, false);  // the origin connection's hold
    r->hold();                // a lookup's
    r->client_gone();
    proxy_relay::release(r);  // the client's
    proxy_relay::release(r);  // the lookup's
    r->origin_gone(&origin);  // the last: freed here
}
