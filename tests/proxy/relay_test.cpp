// The relay's invariants, without sockets: answers leave in the order of the
// requests whoever made them, the budget stops the client, a request reaches
// its origin twice only when that is safe, a request that can never be whole
// ends its exchange at once, and the record lives exactly as long as its
// handles (the sanitizer build sees a leak or a use after the last one).
#include "proxy/memory_budget.h"
#include "proxy/relay_flow.h"
#include "proxy/proxy_relay.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

// A client, or an origin connection that holds the relay while it serves
// it, as the real one does.
struct endpoint : origin_link {
    int lets_go = 0;  // times it was let go; parked ones count too
    bool parked = false;
    proxy_relay::handle serving;
    void serve(proxy_relay* r, bool pooled)
    {
        serving = proxy_relay::handle(r);
        r->bind(this, pooled);
    }
    void on_recv(char*, int) override {}
    handover on_send(char*, int) override { return handover::nothing(); }
    void expect(bool, bool, bool, bool) override {}
    void let_go(bool park) override { lets_go++, parked = park, serving.reset(); }
    const socket_address& address() const override { return nowhere; }
    socket_address nowhere;
};

// A search that holds its relay, as a race does, until it gives up.
struct search : origin_search {
    proxy_relay::handle relay;
    bool given_up = false;
    void give_up() override
    {
        given_up = true;
        relay.reset();
    }
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

// Everything queued for the origin, taken as the origin connection takes it.
std::string for_origin(proxy_relay& r)
{
    std::string out;
    const char* data;
    while (size_t n = r.lend_to_origin(1 << 20, &data)) {
        out.append(data, n);
        r.origin_took();
    }
    return out;
}

// What the origin's reads deliver, as bytes passed on in place.
void from_origin(proxy_relay& r, std::string_view bytes)
{
    while (!bytes.empty()) {
        size_t room;
        char* space = r.space_for_origin(&room);
        size_t n = std::min(room, bytes.size());
        memcpy(space, bytes.data(), n);
        r.from_origin_in_place(int(n));
        bytes.remove_prefix(n);
    }
}

request_kind kind_of(const std::string& method, bool body = false)
{
    using kind_t = request_kind;
    kind_t kind;
    if (method == "HEAD")
        kind.method = kind_t::method_class::head;
    else if (method == "GET" || method == "PUT" || method == "DELETE")
        kind.method = kind_t::method_class::idempotent;
    kind.body = body ? kind_t::body_form::follows : kind_t::body_form::none;
    return kind;
}

// The client goes, and lets go of its handle.
void finish(proxy_relay::handle& client_hold)
{
    client_hold->client_gone();
    client_hold.reset();
}

}  // namespace

TEST(proxy_relay, answers_keep_the_order_of_the_requests_and_the_origin_goes_back_to_the_pool)
{
    endpoint client, origin;
    auto h = proxy_relay::open(&client);
    proxy_relay* r = h.get();
    r->start({}, "GET /1 HTTP/1.1\r\n\r\n");
    EXPECT_FALSE(r->ready_for_request());  // one exchange at a time
    origin.serve(r, false);
    r->connected();
    EXPECT_EQ(for_origin(*r), "GET /1 HTTP/1.1\r\n\r\n");
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx";
    from_origin(*r, answer);
    r->final_started(200);
    r->answer_finished(true, false);
    EXPECT_EQ(origin.lets_go, 1);
    EXPECT_TRUE(origin.parked);
    EXPECT_TRUE(r->ready_for_request());
    r->answer("HTTP/1.1 404 Not Found\r\n\r\n", false);  // the proxy's own answer to the next request
    EXPECT_EQ(for_client(*r), answer + "HTTP/1.1 404 Not Found\r\n\r\n");
    finish(h);
}

TEST(proxy_relay, the_budget_stops_the_client_and_the_next_request_until_it_has_drained)
{
    endpoint client;
    auto h = proxy_relay::open(&client);
    proxy_relay* r = h.get();
    std::string answer(relay_flow::budget, 'a');
    r->answer(answer.c_str(), false);
    r->account();
    EXPECT_FALSE(r->client_may_send(0));
    EXPECT_FALSE(r->ready_for_request());
    EXPECT_EQ(r->room(), 0u);
    EXPECT_EQ(for_client(*r).size(), answer.size());
    r->account();
    EXPECT_TRUE(r->client_may_send(0) && r->ready_for_request());
    EXPECT_FALSE(r->client_may_send(1));  // bytes waiting to be parsed come first
    // What the client side holds itself (a head being read) counts too.
    r->client_holds(relay_flow::budget - 10);
    EXPECT_EQ(r->room(), 10u);
    finish(h);
}

TEST(proxy_relay, all_clients_together_stay_within_the_memory_budget_and_the_largest_holders_stop_first)
{
    // Enough relays, each well within its own budget, to pass the sum.
    std::vector<endpoint> clients(memory_budget::limit / (relay_flow::budget / 2) + 8);
    std::vector<proxy_relay::handle> relays;
    for (endpoint& c : clients) {
        auto h = proxy_relay::open(&c);
        h->client_holds(h->room() < relay_flow::budget / 2 ? h->room() : relay_flow::budget / 2);
        h->account();
        relays.push_back(std::move(h));
    }
    EXPECT_LE(memory_budget::total(), memory_budget::limit + 8 * memory_budget::least);
    // The big holders are not read any more; a newcomer holding nothing is, a little.
    EXPECT_FALSE(relays[0]->client_may_send(0));
    endpoint newcomer_client;
    auto newcomer = proxy_relay::open(&newcomer_client);
    EXPECT_GT(newcomer->room(), 0u);
    EXPECT_LE(newcomer->room(), memory_budget::least);
    finish(newcomer);
    for (proxy_relay::handle& relay : relays)
        finish(relay);
    EXPECT_EQ(memory_budget::total(), 0u);
    EXPECT_EQ(memory_budget::holders(), 0u);
}

TEST(proxy_relay, a_request_goes_out_twice_only_if_idempotent_unanswered_bodyless_and_failed_on_a_pooled_connection)
{
    using answers::origin_failure;
    struct attempt {
        const char* method;
        bool pooled, heard, body_sent;
        origin_failure why;
        const char* client_gets;  // "" when the request goes out once more
    } cases[] = {
        {"GET", true, false, false, origin_failure::closed, ""},
        {"PUT", true, false, false, origin_failure::reset, ""},
        {"POST", true, false, false, origin_failure::closed, "Origin closed the connection without an answer"},
        {"LOCK", true, false, false, origin_failure::reset, "Origin reset the connection"},
        {"GET", false, false, false, origin_failure::closed, "Origin closed the connection without an answer"},
        {"PUT", true, false, true, origin_failure::closed, "Origin closed the connection without an answer"},
        // An answer came, even an unreadable one: the origin has seen the request.
        {"GET", true, true, false, origin_failure::unreadable, "Origin sent an answer that cannot be read"},
        {"GET", true, true, false, origin_failure::closed, "Origin closed the connection in the middle of its answer"},
    };
    for (const attempt& a : cases) {
        SCOPED_TRACE(std::string(a.method) + (a.pooled ? " pooled" : " fresh") + (a.heard ? " heard" : "") +
                     (a.body_sent ? " body" : ""));
        endpoint client, origin;
        auto h = proxy_relay::open(&client);
    proxy_relay* r = h.get();
        const std::string head = std::string(a.method) + " /x HTTP/1.1\r\nContent-Length: 4\r\n\r\n";
        r->start(kind_of(a.method, true), head);
        r->from_client("body", 4);
        r->request_finished();
        origin.serve(r, a.pooled);
        r->connected();
        const char* data;
        size_t n = r->lend_to_origin(a.body_sent ? head.size() + 2 : 20, &data);  // part of the head, or some body
        ASSERT_GT(n, 0u);
        if (a.heard)
            r->answer_started();
        r->answer_failed(a.why);
        EXPECT_FALSE(origin.parked);
        if (*a.client_gets == '\0') {
            ASSERT_EQ(r->take_event(), proxy_relay::event::reach_again);
            endpoint fresh;
            fresh.serve(r, false);
            r->connected();
            EXPECT_EQ(for_origin(*r), head + "body");  // whole, once more
            r->answer_failed(origin_failure::closed);  // a second failure is the client's to know
            EXPECT_EQ(r->take_event(), proxy_relay::event::none);
            EXPECT_TRUE(r->closing());
            EXPECT_NE(for_client(*r).find("502"), std::string::npos);
        } else {
            EXPECT_EQ(r->take_event(), proxy_relay::event::none);
            EXPECT_TRUE(r->closing());
            std::string got = for_client(*r);
            EXPECT_EQ(got.substr(0, 24), "HTTP/1.1 502 Bad Gateway");
            EXPECT_EQ(got.substr(got.find("\r\n\r\n") + 4), a.client_gets);
        }
        finish(h);
    }
}

TEST(proxy_relay, after_interim_answers_the_proxy_may_still_answer_but_not_after_a_final_head)
{
    endpoint client, origin;
    auto h = proxy_relay::open(&client);
    proxy_relay* r = h.get();
    r->start(kind_of("GET"), "GET / HTTP/1.1\r\n\r\n");
    origin.serve(r, false);
    r->connected();
    for_origin(*r);
    from_origin(*r, "HTTP/1.1 100 Continue\r\n\r\n");
    r->answer_started();
    r->answer_failed(answers::origin_failure::interim);
    std::string got = for_client(*r);
    EXPECT_EQ(got.substr(0, 49), "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 502 Bad Gateway");
    finish(h);

    endpoint client2, origin2;
    h = proxy_relay::open(&client2);
    r = h.get();
    r->start(kind_of("GET"), "GET / HTTP/1.1\r\n\r\n");
    origin2.serve(r, false);
    r->connected();
    for_origin(*r);
    from_origin(*r, "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\npart");
    r->final_started(200);
    r->answer_failed(answers::origin_failure::closed);
    EXPECT_TRUE(r->closing());  // cut off: the stream ends where the answer broke off
    EXPECT_EQ(for_client(*r), "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\npart");
    finish(h);
}

TEST(proxy_relay, a_request_that_can_never_be_whole_ends_its_origin_and_search_at_once_without_an_answer)
{
    // The client finishes sending in the middle of the body: the origin is let go (not parked), nothing answers.
    endpoint client, origin;
    auto h = proxy_relay::open(&client);
    proxy_relay* r = h.get();
    r->start(kind_of("POST", true), "POST / HTTP/1.1\r\nContent-Length: 9\r\n\r\n");
    origin.serve(r, false);
    r->connected();
    r->from_client("part", 4);
    r->client_finished();
    EXPECT_EQ(origin.lets_go, 1);
    EXPECT_FALSE(origin.parked);
    EXPECT_TRUE(r->closing());
    EXPECT_EQ(for_client(*r), "");
    EXPECT_FALSE(r->undelivered());
    finish(h);

    // The client goes while its origin is still being searched for.
    endpoint client2;
    search looking;
    h = proxy_relay::open(&client2);
    r = h.get();
    r->start(kind_of("GET"), "GET / HTTP/1.1\r\n\r\n");
    looking.relay = h;  // the search's handle
    r->seek(&looking);
    r->client_gone();
    EXPECT_TRUE(looking.given_up);
    h.reset();  // the client's, the last

    // A whole request goes on to its origin after the client has gone; the origin is read no more.
    endpoint client3, origin3;
    h = proxy_relay::open(&client3);
    r = h.get();
    r->start(kind_of("POST", true), "POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\n");
    origin3.serve(r, false);
    r->connected();
    r->from_client("body", 4);
    r->request_finished();
    r->client_gone();
    EXPECT_EQ(origin3.lets_go, 0);
    EXPECT_FALSE(r->origin_may_send());
    EXPECT_EQ(for_origin(*r), "POST / HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody");
    EXPECT_TRUE(r->origin_released());
    h.reset();  // the client's: the origin connection's is the last
    origin3.serving.reset();

    // The client's end wakes its origin connection, whose limits are now an
    // orphan's (shorter): the server arms a nearer moment only for one it
    // serves.
    endpoint client4, origin4;
    h = proxy_relay::open(&client4);
    r = h.get();
    r->start(kind_of("GET"), "GET / HTTP/1.1\r\n\r\n");
    origin4.serve(r, false);  // nothing has woken it yet
    EXPECT_FALSE(origin4.is_woken());
    r->client_gone();
    EXPECT_TRUE(origin4.is_woken());
    h.reset();
}

TEST(proxy_relay, lives_as_long_as_its_last_holder)
{
    endpoint client, origin;
    auto h = proxy_relay::open(&client);
    proxy_relay* r = h.get();
    r->start({}, "GET / HTTP/1.1\r\n\r\n");
    origin.serve(r, false);         // the origin connection's handle
    proxy_relay::handle lookup(r);  // a lookup's
    r->client_gone();
    h.reset();       // the client's
    lookup.reset();  // the lookup's
    {
        proxy_relay::handle gone = std::move(origin.serving);  // as the connection's destructor does
        r->origin_gone(&origin, answers::origin_failure::reset);
    }  // the last: freed here
}
