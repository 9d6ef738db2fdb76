#include "proxy/proxy_relay.h"

#include "proxy/canonical_host.h"
#include "proxy/memory_budget.h"
#include "proxy/metrics.h"
#include "server/clock.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

proxy_relay::proxy_relay(connection* c) : client(c) {}

proxy_relay::~proxy_relay()
{
    memory_budget::charge(charged, 0);
    if (pipe_read >= 0) {
        close(pipe_read);
        close(pipe_write);
    }
}

void proxy_relay::release(proxy_relay* relay)
{
    if (--relay->refs == 0)
        delete relay;
}

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

bool proxy_relay::open_pipe()
{
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;
    // A larger pipe moves more per system call; the system may refuse.
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    int size = fcntl(fds[1], F_GETPIPE_SZ);
    pipe_read = fds[0];
    pipe_write = fds[1];
    pipe_capacity = size > 0 ? size_t(size) : 65536;
    return true;
}

// ---- the client side

void proxy_relay::client_gone(bool timed_out, bool sent_all)
{
    hold();
    if (sent_all)
        ledger.delivered(client_lent);  // the last bytes lent went out before the end
    if (now == stage::tunnel)
        metrics::count().tunnels_open--;
    ledger.client_gone(timed_out);
    // A request that is not whole never will be; one that is goes on to the
    // origin, which delivers what it was given (it is read no more) and
    // ends. Nobody will read what is queued for the client.
    if (now == stage::reaching || now == stage::exchanging) {
        if (!request_done)
            abandon_request();
        else
            stop_search();
    }
    client = nullptr;
    client_lent = 0;
    client_bytes = 0;
    to_client.clear();
    account();
    wake_origin();
    release(this);
}

void proxy_relay::start(const request_kind& k, std::string h)
{
    exchanges++;
    now = stage::reaching;
    kind = k;
    head = std::move(h);
    sent_to_origin = 0;
    pooled = false;
    request_done = !k.has_body && !k.connect;
    answer_done = answer_heard = final_begun = body_seen = retried_once = false;
    drop_request = false;
    to_origin.append(head);
}

void proxy_relay::answer(const char* text, bool closing)
{
    answer(text, closing, answers::outcome_of(text));
}

void proxy_relay::answer(const char* text, bool closing, exchange_outcome outcome)
{
    if ((now == stage::exchanging || now == stage::tunnel) && final_begun) {
        // An origin's answer to this request has begun: no other may follow
        // it. The client's stream ends after what has come.
        hold();
        unbind(false);
        close_client = drop_request = true;
        now = stage::idle;
        ledger.close(outcome);
        wake_client();
        release(this);
        return;
    }
    // A CONNECT answered by anything but its tunnel ends the connection:
    // whatever the client sends behind it is meant for the tunnel, so no
    // request can be read from it (and none is waited for).
    if (now == stage::reaching && kind.connect)
        closing = true;
    if (now == stage::reaching || now == stage::exchanging) {
        // The exchange ends here: what the client sent for it goes nowhere.
        stop_search();
        if (origin)
            unbind(false);
        to_origin.clear();
        now = stage::idle;
    }
    size_t length = strlen(text);
    to_client.append(text, length);
    ledger.queued(length);
    if (exchange_record* r = ledger.current())
        r->status = answers::status_of(text);
    ledger.close(outcome);
    drop_request = !request_done || now == stage::idle;
    if (closing) {
        close_client = true;
        drop_request = true;
    }
    wake_client();
}

void proxy_relay::from_client(const char* data, size_t len)
{
    if (exchange_record* r = ledger.current())
        r->bytes_in += len;
    // Bytes that belong to no request (after a complete one on a connection
    // that parses no more, such as HTTP/1.0 without keep-alive) reach no
    // origin: nothing vouches for them.
    if (drop_request || close_client || now == stage::idle || (request_done && now != stage::tunnel && !kind.connect))
        return;
    body_seen = true;
    to_origin.append(data, len);
    wake_origin();
}

void proxy_relay::request_finished()
{
    if (now == stage::idle || now == stage::tunnel)
        return;
    request_done = true;
    complete_if_done();
}

void proxy_relay::client_finished()
{
    client_eof = true;
    // (A CONNECT's bytes are the tunnel's, and its end is passed on once
    // the tunnel is open: half-close is honoured there.)
    if ((now == stage::reaching || now == stage::exchanging) && !request_done && !final_begun && !kind.connect) {
        hold();
        abandon_request();
        // Nothing answers a request that never came whole: the stream ends,
        // once the client has read whatever it was owed before it.
        close_client = drop_request = true;
        release(this);
    }
    wake_origin();  // it shuts down its sending side once it has sent everything
    wake_client();
}

void proxy_relay::abandon_request()
{
    stop_search();
    if (origin)
        unbind(false);
    to_origin.clear();
    now = stage::idle;
}

void proxy_relay::stop_search()
{
    if (origin_search* s = search) {
        search = nullptr;
        hold();  // the search's hold goes with it
        s->give_up();
        release(this);
    }
}


bool proxy_relay::client_may_send(size_t held) const
{
    if (close_client)
        return true;
    return held == 0 && room() > 0;
}

bool proxy_relay::ready_for_request() const
{
    return now == stage::idle && !close_client && for_client() < budget && room() > 0;
}

bool proxy_relay::client_stalled(const connection& c, int64_t at) const
{
    return (c.unsent() > 0 || for_client() > client_lent) && at - c.last_taken > int64_t(stall_limit) * 1000;
}

int64_t proxy_relay::client_stall_deadline(const connection& c) const
{
    if (c.unsent() == 0 && for_client() <= client_lent)
        return INT64_MAX;
    return c.last_taken + int64_t(stall_limit) * 1000 + 1;
}

size_t proxy_relay::lend_to_client(size_t cap, const char** data, int* pipe)
{
    *data = nullptr;
    *pipe = -1;
    if (piped > 0) {
        *pipe = pipe_read;
        client_lent_pipe = true;
        client_lent = piped < cap ? piped : cap;
    } else {
        size_t n;
        *data = to_client.front(&n);
        client_lent = n < cap ? n : cap;
        if (client_lent == 0)
            to_client.clear();  // gives back a block reserved for receiving but never filled
    }
    return client_lent;
}

void proxy_relay::client_took()
{
    bool was_full = !origin_may_send();
    if (client_lent)
        ledger.delivered(client_lent);
    if (client_lent_pipe) {
        piped -= client_lent;
        pipe_full = false;
    } else
        to_client.consume(client_lent);
    client_lent = 0;
    client_lent_pipe = false;
    // An origin held back by a full queue or pipe may be read again.
    if (was_full && origin_may_send())
        wake_origin();
}

bool proxy_relay::client_write_done() const
{
    // Called with the last queued bytes lent: the end of the stream follows
    // them.
    return for_client() <= client_lent && (close_client || (now == stage::tunnel && origin_eof));
}

bool proxy_relay::client_finished_with(bool eof, bool shut) const
{
    if (for_client() > client_lent)
        return false;
    // A client that asked to close after its request, and has its whole
    // answer, may send nothing more: the connection ends at once, without
    // waiting for the client's own end.
    if (close_client && quick_close)
        return true;
    // Otherwise a closing stream lingers, reading and dropping, until the
    // client has finished too, so that unread input does not turn the close
    // into a reset that could destroy the answer.
    if (close_client)
        return eof && shut;
    if (now == stage::tunnel)
        return eof && shut;
    // Nothing in flight and nothing more to come from the client.
    return eof && now == stage::idle;
}

// ---- the origin side

void proxy_relay::seek(origin_search* s)
{
    search = s;
}

void proxy_relay::search_over(origin_search* s)
{
    if (search == s)
        search = nullptr;
}

void proxy_relay::bind(origin_link* c, bool from_pool)
{
    origin = c;
    pooled = from_pool;
    hold();
    if (exchange_record* r = ledger.current()) {
        r->upstream = c->address();
        r->pooled = from_pool;
        if (from_pool) // nothing was connected for it: its connect time is 0 by definition
            r->connected_ms = r->started_ms;
    }
    c->expect(kind.head, kind.upgrade, kind.connect, kind.interim);
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
    if (kind.connect) {
        now = stage::tunnel;
        to_client.append(answers::tunnel_open);
        ledger.queued(sizeof answers::tunnel_open - 1);
        if (r) {
            r->status = 200;
            r->tunnel = true;
        }
        metrics::count().tunnels_total++;
        metrics::count().tunnels_open++;
        wake_client();
    } else
        now = stage::exchanging;
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
    if (now != stage::exchanging && now != stage::tunnel) {
        *data = nullptr;
        return 0;
    }
    size_t n;
    *data = to_origin.front(&n);
    origin_lent = n < cap ? n : cap;
    sent_to_origin += origin_lent;
    return origin_lent;
}

void proxy_relay::origin_took()
{
    bool was_full = !client_may_send(0);
    to_origin.consume(origin_lent);
    origin_lent = 0;
    // A client held back by a full queue may be read again.
    if (was_full && client_may_send(0))
        wake_client();
}

bool proxy_relay::origin_write_done() const
{
    return client_eof && to_origin.empty() && (now == stage::tunnel || request_done || !client);
}

bool proxy_relay::origin_released() const { return !client && to_origin.empty(); }

bool proxy_relay::origin_stalled(const connection& c, int64_t at) const
{
    return !c.connecting() && (c.unsent() > 0 || to_origin.size() > origin_lent) &&
           at - c.last_taken > int64_t(stall_limit) * 1000;
}

int64_t proxy_relay::origin_stall_deadline(const connection& c) const
{
    if (c.connecting() || (c.unsent() == 0 && to_origin.size() <= origin_lent))
        return INT64_MAX;
    return c.last_taken + int64_t(stall_limit) * 1000 + 1;
}

int proxy_relay::pipe_for_origin(uint64_t run, int* len)
{
    // Only straight to a client that is there, while nothing waits in the
    // queue ahead of these bytes, and only bytes whose framing need not be
    // read.
    if (!client || !streaming || run < uint64_t(streaming_read) || !to_client.empty() || pipe_full)
        return -1;
    if (pipe_read < 0 && (relayed < pipe_after || !open_pipe()))
        return -1;
    size_t space = pipe_capacity - piped;
    if (size_t left = room(); left < space)
        space = left;
    if (space == 0)
        return -1;
    if (uint64_t(space) > run)
        space = size_t(run);
    *len = space < size_t(*len) ? int(space) : *len;
    return pipe_write;
}

void proxy_relay::piped_from_origin(int n)
{
    if (n == 0) {
        // Nothing went in: the pipe is full, or the socket was empty. Either
        // way reading may wait until the client has taken some of the pipe,
        // unless there is nothing in it to take.
        pipe_full = piped > 0;
        return;
    }
    piped += size_t(n);
    ledger.queued(uint64_t(n));
    relayed += uint64_t(n);
    streaming = n >= streaming_read;
    wake_client();
}

void proxy_relay::from_origin_in_place(int len)
{
    to_client.commit(size_t(len));
    from_origin(len, size_t(len));
}

size_t proxy_relay::from_origin_read(response_reader& reader, const char* data, int len)
{
    size_t before = to_client.size();
    size_t used = reader.feed(data, size_t(len), to_client);
    from_origin(len, to_client.size() - before);
    return used;
}

void proxy_relay::from_origin(int len, size_t queued)
{
    ledger.queued(queued);
    relayed += uint64_t(len);
    streaming = len >= streaming_read;
    // Nobody will read what an orphaned relay collects.
    if (!client)
        to_client.clear();
    wake_client();
}

bool proxy_relay::origin_may_send() const
{
    return client && for_client() < high_water && !pipe_full && room() > 0;
}

void proxy_relay::answer_started()
{
    if (answer_heard)
        return;
    answer_heard = true;
    head.clear();  // no retry from here on
    head.shrink_to_fit();
}

void proxy_relay::final_started(int status)
{
    answer_started();
    final_begun = true;
    if (exchange_record* r = ledger.current())
        r->status = status;
}

void proxy_relay::answer_finished(bool reusable, bool ends_connection)
{
    hold();  // unbinding may drop the origin connection's hold
    answer_done = true;
    if (ends_connection || kind.close_after)
        close_client = true;
    quick_close = kind.close_after && request_done && !ends_connection;
    if (origin && origin->unsent() == 0 && origin_lent > 0)
        origin_took();  // sent already; the connection has not asked for more yet
    if (!request_done) {
        // The origin answered before the request was complete. A client that
        // waits for "100 Continue" and has sent nothing of its body yet may
        // now send it, or close, or send its next request, and the proxy
        // cannot tell which from the bytes that follow: the stream ends after
        // the answer. Any other client sends the rest of its body, which
        // goes nowhere.
        if (kind.expects_continue && !body_seen)
            close_client = true;
        drop_request = true;
        unbind(false);
    } else
        unbind(reusable && to_origin.empty() && !client_eof && client);
    complete_if_done();
    release(this);
}

void proxy_relay::tunnel_opened()
{
    if (exchange_record* r = ledger.current())
        r->tunnel = true;
    metrics::count().tunnels_total++;
    metrics::count().tunnels_open++;
    now = stage::tunnel;
    request_done = true;
    switch_pending = true;  // the client side passes every byte on from now on
    wake_client();
    wake_origin();
}

void proxy_relay::answer_failed(answers::origin_failure why)
{
    hold();
    if (origin && origin->unsent() == 0 && origin_lent > 0)
        origin_took();
    fail_exchange(why);
    release(this);
}

void proxy_relay::fail_exchange(answers::origin_failure why)
{
    using answers::origin_failure;
    bool ended = why == origin_failure::closed || why == origin_failure::reset;
    if (ended && !answer_heard && pooled && !retried_once && sent_to_origin <= head.size() && kind.idempotent &&
        client) {
        // A pooled connection may have been closed by its origin just as the
        // request went out. Nothing of the answer and nothing of the body has
        // passed, and the origin may act on this request twice: it goes once
        // more, on a new connection.
        // Every byte lent so far has left the queue once taken back; the
        // head bytes still queued make way for the whole head again.
        take_back_from_origin();
        to_origin.consume(head.size() - size_t(sent_to_origin));
        to_origin.prepend(head.data(), head.size());
        sent_to_origin = 0;
        if (origin)
            unbind(false);
        retried_once = true;
        retry_pending = true;
        pooled = false;
        if (exchange_record* r = ledger.current())
            r->connected_ms = -1; // the new connection's time counts
        now = stage::reaching;
        wake_client();
        return;
    }
    if (!final_begun) {
        // No answer of this origin has reached the client yet (interim ones
        // at most, which any final answer may follow), so the client can
        // still be told the truth.
        if (why == origin_failure::closed && answer_heard)
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
    close_client = true;
    drop_request = true;
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
    hold();
    // The connection is being deleted: it is neither parked nor told
    // anything more, and what it was lent is gone with it.
    origin = nullptr;
    origin_bytes = 0;
    to_origin.consume(origin_lent);
    origin_lent = 0;
    refs--;  // its hold; the guard above keeps the record alive
    switch (now) {
    case stage::idle:
        break;
    case stage::tunnel:
        // Whatever the client still sends has nowhere to go.
        origin_eof = close_client = true;
        wake_client();
        break;
    case stage::reaching:
        unreachable(answers::bad_gateway);
        break;
    case stage::exchanging:
        if (!answer_done)
            fail_exchange(why);
        break;
    }
    release(this);
}

void proxy_relay::unbind(bool park)
{
    origin_link* c = origin;
    if (!c)
        return;
    take_back_from_origin();
    origin = nullptr;
    origin_bytes = 0;
    c->let_go(park);
    release(this);  // the connection's hold; callers hold the relay meanwhile
}

void proxy_relay::take_back_from_origin()
{
    if (!origin || origin_lent == 0)
        return;
    origin->keep_unsent();
    to_origin.consume(origin_lent);
    origin_lent = 0;
}

void proxy_relay::complete_if_done()
{
    if ((now != stage::exchanging && now != stage::reaching) || !request_done || !answer_done)
        return;
    now = stage::idle;
    ledger.close(exchange_outcome::ok);
    wake_client();
}
