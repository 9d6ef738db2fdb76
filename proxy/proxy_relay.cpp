#include "proxy/proxy_relay.h"

#include "proxy/metrics.h"

#include <cstring>

void proxy_relay::wake_client() const
{
    if (client)
        client->wake();
}

void proxy_relay::wake_origin() const
{
    if (origin)
        origin->wake();
}

// ---- the client side

void proxy_relay::client_gone(bool timed_out, bool sent_all)
{
    handle keep(this);
    if (sent_all)
        ledger.delivered(flow.lent_to_client());  // the last bytes lent went out before the end
    if (now == stage::tunnel)
        metrics::count().tunnels_open--;
    ledger.client_gone(timed_out);
    // A request that is not whole never will be; one that is goes on to the
    // origin, which delivers what it was given (it is read no more) and
    // ends. Nobody will read what is queued for the client.
    if (now != stage::idle && now != stage::tunnel) {
        if (body != body_progress::whole)
            abandon_request();
        else
            stop_search();
    }
    client = nullptr;
    flow.forget_client();
    flow.account();
    wake_origin();
}

void proxy_relay::start(const request_kind& k, std::string h)
{
    exchanges++;
    now = stage::reaching;
    kind = k;
    head = std::move(h);
    sent_to_origin = 0;
    pooled = false;
    body = k.body == request_kind::body_form::none && !k.connect() ? body_progress::whole : body_progress::awaited;
    flow.to_origin(head);
}

void proxy_relay::answer(const char* text, bool closing)
{
    answer(text, closing, answers::outcome_of(text));
}

void proxy_relay::answer(const char* text, bool closing, exchange_outcome outcome)
{
    if (now == stage::answering || now == stage::answered || (now == stage::tunnel && !kind.connect())) {
        // An origin's answer to this request has begun: no other may follow
        // it. The client's stream ends after what has come.
        handle keep(this);
        unbind(false);
        close_stream();
        now = stage::idle;
        ledger.close(outcome);
        wake_client();
        return;
    }
    // A CONNECT answered by anything but its tunnel ends the connection:
    // whatever the client sends behind it is meant for the tunnel, so no
    // request can be read from it (and none is waited for).
    if (now == stage::reaching && kind.connect())
        closing = true;
    if (now == stage::reaching || now == stage::sent || now == stage::heard) {
        // The exchange ends here: what the client sent for it goes nowhere.
        stop_search();
        if (origin)
            unbind(false);
        flow.clear_for_origin();
        now = stage::idle;
    }
    size_t length = strlen(text);
    flow.to_client(text, length);
    ledger.queued(length);
    if (exchange_record* r = ledger.current())
        r->status = answers::status_of(text);
    ledger.close(outcome);
    if (closing)
        close_stream();
    wake_client();
}

void proxy_relay::from_client(const char* data, size_t len)
{
    if (exchange_record* r = ledger.current())
        r->bytes_in += len;
    // Bytes that belong to no request (after a complete one on a connection
    // that parses no more, such as HTTP/1.0 without keep-alive, or the rest
    // of one refused or answered already) reach no origin: nothing vouches
    // for them.
    if (close != client_close::no || now == stage::idle || now == stage::answered)
        return;
    if (body == body_progress::whole && now != stage::tunnel && !kind.connect())
        return;
    if (body == body_progress::awaited)
        body = body_progress::flowing;
    flow.to_origin(data, len);
    wake_origin();
}

void proxy_relay::request_finished()
{
    if (now == stage::idle || now == stage::tunnel)
        return;
    body = body_progress::whole;
    if (now == stage::answered) {
        // The answer came first: the exchange is complete now.
        now = stage::idle;
        ledger.close(exchange_outcome::ok);
        wake_client();
    }
}

void proxy_relay::client_finished()
{
    client_eof = true;
    // (A CONNECT's bytes are the tunnel's, and its end is passed on once
    // the tunnel is open: half-close is honoured there.)
    bool before_answer = now == stage::reaching || now == stage::sent || now == stage::heard;
    if (before_answer && body != body_progress::whole && !kind.connect()) {
        handle keep(this);
        abandon_request();
        // Nothing answers a request that never came whole: the stream ends,
        // once the client has read whatever it was owed before it.
        close_stream();
    }
    wake_origin();  // it shuts down its sending side once it has sent everything
    wake_client();
}

void proxy_relay::abandon_request()
{
    stop_search();
    if (origin)
        unbind(false);
    flow.clear_for_origin();
    now = stage::idle;
}

void proxy_relay::stop_search()
{
    if (origin_search* s = search) {
        search = nullptr;
        handle keep(this);  // the search's handle goes with it
        s->give_up();
    }
}

bool proxy_relay::client_may_send(size_t held) const
{
    if (close != client_close::no)
        return true;
    return held == 0 && room() > 0;
}

bool proxy_relay::ready_for_request() const
{
    return now == stage::idle && close == client_close::no && for_client() < budget && room() > 0;
}

bool proxy_relay::client_stalled(const connection& c, int64_t at) const
{
    return (c.unsent() > 0 || for_client() > flow.lent_to_client()) &&
           at - c.last_taken > int64_t(stall_limit) * 1000;
}

int64_t proxy_relay::client_stall_deadline(const connection& c) const
{
    if (c.unsent() == 0 && for_client() <= flow.lent_to_client())
        return INT64_MAX;
    return c.last_taken + int64_t(stall_limit) * 1000 + 1;
}

void proxy_relay::client_took()
{
    bool was_full = !origin_may_send();
    if (size_t n = flow.client_took())
        ledger.delivered(n);
    // An origin held back by a full queue or pipe may be read again.
    if (was_full && origin_may_send())
        wake_origin();
}

bool proxy_relay::client_write_done() const
{
    // Called with the last queued bytes lent: the end of the stream follows
    // them.
    return for_client() <= flow.lent_to_client() &&
           (close != client_close::no || (now == stage::tunnel && origin_eof));
}

bool proxy_relay::client_finished_with(bool eof, bool shut) const
{
    if (for_client() > flow.lent_to_client())
        return false;
    // A client that asked to close after its request, and has its whole
    // answer, may send nothing more: the connection ends at once, without
    // waiting for the client's own end.
    if (close == client_close::at_once)
        return true;
    // Otherwise a closing stream lingers, reading and dropping, until the
    // client has finished too, so that unread input does not turn the close
    // into a reset that could destroy the answer.
    if (close == client_close::lingering || now == stage::tunnel)
        return eof && shut;
    // Nothing in flight and nothing more to come from the client.
    return eof && now == stage::idle;
}
