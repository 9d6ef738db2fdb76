// The relay's origin side: binding an origin connection to the exchange,
// lending it the request, taking in its answer, and what the answer reader
// and the connection's end mean for the exchange (proxy_relay.h).
#include "proxy/proxy_relay.h"

#include "proxy/canonical_host.h"
#include "proxy/metrics.h"
#include "server/clock.h"

#include <cstdio>

void proxy_relay::seek(origin_search* s) { search = s; }

void proxy_relay::search_over(origin_search* s)
{
    if (search == s)
        search = nullptr;
}

void proxy_relay::bind(origin_link* c, bool from_pool)
{
    origin = c;
    pooled = from_pool;
    if (exchange_record* r = ledger.current()) {
        r->upstream = c->address();
        r->pooled = from_pool;
        if (from_pool)  // nothing was connected for it: its connect time is 0 by definition
            r->connected_ms = r->started_ms;
    }
    c->expect(kind.head(), kind.upgrade, kind.connect(), kind.interim);
    if (from_pool)
        connected();
}

void proxy_relay::connected()
{
    if (now != stage::reaching)
        return;
    exchange_record* r = ledger.current();
    if (r && r->connected_ms < 0)
        r->connected_ms = monotonic_ms();
    if (kind.connect()) {
        now = stage::tunnel;
        flow.to_client(answers::tunnel_open, sizeof answers::tunnel_open - 1);
        ledger.queued(sizeof answers::tunnel_open - 1);
        if (r) {
            r->status = 200;
            r->tunnel = true;
        }
        metrics::count().tunnels_total++;
        metrics::count().tunnels_open++;
    } else
        now = stage::sent;
    wake_origin();
    wake_client();  // held requests may wait for this
}

void proxy_relay::unreachable(const char* text)
{
    if (origin)
        unbind(false);
    answer(text, true);
}

size_t proxy_relay::lend_to_origin(size_t cap, const char** data)
{
    if (now == stage::idle || now == stage::reaching) {
        *data = nullptr;
        return 0;
    }
    size_t lent = flow.lend_to_origin(cap, data);
    sent_to_origin += lent;
    return lent;
}

void proxy_relay::origin_took()
{
    bool was_full = !client_may_send(0);
    flow.origin_took();
    // A client held back by a full queue may be read again.
    if (was_full && client_may_send(0))
        wake_client();
}

bool proxy_relay::origin_write_done() const
{
    return client_eof && flow.waiting_for_origin() == 0 &&
           (now == stage::tunnel || body == body_progress::whole || !client);
}

bool proxy_relay::origin_stalled(const connection& c, int64_t at) const
{
    return !c.connecting() && (c.unsent() > 0 || flow.waiting_for_origin() > flow.lent_to_origin()) &&
           at - c.last_taken > int64_t(stall_limit) * 1000;
}

int64_t proxy_relay::origin_stall_deadline(const connection& c) const
{
    if (c.connecting() || (c.unsent() == 0 && flow.waiting_for_origin() <= flow.lent_to_origin()))
        return INT64_MAX;
    return c.last_taken + int64_t(stall_limit) * 1000 + 1;
}

void proxy_relay::piped_from_origin(int n)
{
    flow.piped_in(n);
    if (n == 0)
        return;
    ledger.queued(uint64_t(n));
    wake_client();
}

void proxy_relay::from_origin_in_place(int len)
{
    flow.client_landed(size_t(len));
    from_origin(len, size_t(len));
}

size_t proxy_relay::from_origin_read(response_reader& reader, const char* data, int len)
{
    base::byte_queue& queue = flow.client_queue();
    size_t before = queue.size();
    size_t used = reader.feed(data, size_t(len), queue);
    from_origin(len, queue.size() - before);
    return used;
}

void proxy_relay::from_origin(int len, size_t queued)
{
    ledger.queued(queued);
    flow.read_in(len);
    // Nobody will read what an orphaned relay collects.
    if (!client)
        flow.clear_for_client();
    wake_client();
}

void proxy_relay::answer_started()
{
    if (now != stage::sent)
        return;
    now = stage::heard;
    head.clear();  // no retry from here on
    head.shrink_to_fit();
}

void proxy_relay::final_started(int status)
{
    answer_started();
    if (now != stage::heard)
        return;
    now = stage::answering;
    if (exchange_record* r = ledger.current())
        r->status = status;
}

void proxy_relay::answer_finished(bool reusable, bool ends_connection)
{
    handle keep(this);  // unbinding drops the origin connection's handle
    if (kind.close_after && body == body_progress::whole && !ends_connection)
        close = client_close::at_once;
    else if (ends_connection || kind.close_after)
        close_stream();
    if (origin && origin->unsent() == 0 && flow.lent_to_origin() > 0)
        origin_took();  // sent already; the connection has not asked for more yet
    if (body != body_progress::whole) {
        // The origin answered before the request was complete. A client that
        // waits for "100 Continue" and has sent nothing of its body yet may
        // now send it, or close, or send its next request, and the proxy
        // cannot tell which from the bytes that follow: the stream ends after
        // the answer. Any other client sends the rest of its body, which
        // goes nowhere.
        if (kind.body == request_kind::body_form::after_continue && body == body_progress::awaited)
            close_stream();
        unbind(false);
        now = stage::answered;
        return;
    }
    unbind(reusable && flow.waiting_for_origin() == 0 && !client_eof && client);
    now = stage::idle;
    ledger.close(exchange_outcome::ok);
    wake_client();
}

void proxy_relay::tunnel_opened()
{
    if (exchange_record* r = ledger.current())
        r->tunnel = true;
    metrics::count().tunnels_total++;
    metrics::count().tunnels_open++;
    now = stage::tunnel;
    body = body_progress::whole;
    due = event::switch_protocols;  // the client side passes every byte on from now on
    wake_client();
    wake_origin();
}

void proxy_relay::answer_failed(answers::origin_failure why)
{
    handle keep(this);
    if (origin && origin->unsent() == 0 && flow.lent_to_origin() > 0)
        origin_took();
    fail_exchange(why);
}

void proxy_relay::fail_exchange(answers::origin_failure why)
{
    using answers::origin_failure;
    bool ended = why == origin_failure::closed || why == origin_failure::reset;
    if (ended && now == stage::sent && pooled && sent_to_origin <= head.size() && kind.idempotent() && client) {
        // A pooled connection may have been closed by its origin just as the
        // request went out. Nothing of the answer and nothing of the body has
        // passed, and the origin may act on this request twice: it goes once
        // more, on a new connection.
        // Every byte lent so far has left the queue once taken back; the
        // head bytes still queued make way for the whole head again.
        take_back_from_origin();
        flow.drop_for_origin(head.size() - size_t(sent_to_origin));
        flow.to_origin_first(head);
        sent_to_origin = 0;
        if (origin)
            unbind(false);
        pooled = false;
        if (exchange_record* r = ledger.current())
            r->connected_ms = -1;  // the new connection's time counts
        now = stage::reaching;
        due = event::reach_again;
        wake_client();
        return;
    }
    if (now != stage::answering) {
        // No answer of this origin has reached the client yet (interim ones
        // at most, which any final answer may follow), so the client can
        // still be told the truth.
        if (why == origin_failure::closed && now == stage::heard)
            why = origin_failure::cut_off;
        if (exchange_record* r = ledger.current(); r && client)
            printf("Origin %s %s.\n", host_and_port(r->host, r->port).c_str(), answers::origin_failure_words(why));
        if (origin)
            unbind(false);
        answer(answers::origin_failed(why), true, outcome_of(why));
        return;
    }
    // Cut off in the middle of an answer: the client sees the end of the
    // stream after what did arrive, and cannot mistake it for a whole answer
    // followed by another.
    if (origin)
        unbind(false);
    close_stream();
    now = stage::idle;
    ledger.close(outcome_of(why));
    wake_client();
}

exchange_outcome proxy_relay::outcome_of(answers::origin_failure why)
{
    using answers::origin_failure;
    return why == origin_failure::stalled || why == origin_failure::silent ? exchange_outcome::timeout
                                                                          : exchange_outcome::origin_gone;
}

void proxy_relay::origin_finished()
{
    origin_eof = true;
    // The client sees the end of the stream once it has everything.
    wake_client();
}

void proxy_relay::origin_gone(origin_link* c, answers::origin_failure why)
{
    if (origin != c)
        return;
    handle keep(this);
    // The connection is being deleted: it is neither parked nor told
    // anything more, and what it was lent is gone with it.
    origin = nullptr;
    flow.origin_holds(0);
    flow.origin_took();
    switch (now) {
    case stage::idle:
    case stage::answered:
        break;
    case stage::tunnel:
        // Whatever the client still sends has nowhere to go.
        origin_eof = true;
        close_stream();
        wake_client();
        break;
    case stage::reaching:
        unreachable(answers::bad_gateway);
        break;
    case stage::sent:
    case stage::heard:
    case stage::answering:
        fail_exchange(why);
        break;
    }
}

void proxy_relay::unbind(bool park)
{
    origin_link* c = origin;
    if (!c)
        return;
    take_back_from_origin();
    origin = nullptr;
    flow.origin_holds(0);
    c->let_go(park);  // drops its handle; callers hold one meanwhile
}

void proxy_relay::take_back_from_origin()
{
    if (!origin || flow.lent_to_origin() == 0)
        return;
    origin->keep_unsent();
    flow.origin_took();
}
