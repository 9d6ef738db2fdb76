#include "http/http_connection.h"

#include <arpa/inet.h>

#include "base/escape.h"
#include "base/find.h"
#include "base/num.h"

#include <cstdio>

// Every field starts as declared in the class; an accepted client needs no
// argument.
http_connection::http_connection() = default;

// The session leaves its channels, and the queue deletes what was not sent.
http_connection::~http_connection() = default;

void http_connection::on_recv(char* data, int len)
{
    if (len <= 0 || reader.at() == request_reader::mode::refused)
        return;
    if (!reader.held().empty()) {
        reader.hold(data, size_t(len));  // stays behind what is held already
        return;
    }
    size_t used = take(data, size_t(len));
    if (used < size_t(len))
        reader.hold(data + used, size_t(len) - used);
}

size_t http_connection::take(char* data, size_t len)
{
    using mode = request_reader::mode;
    // The guard protects memory from what the connection stores: the head
    // always, body and raw bytes unless the subclass only relays them. The
    // chunk that first carries `received` past the limit is still taken.
    if (max_request_length > 0 && received > max_request_length &&
        (reader.at() == mode::head || (reader.at() != mode::websocket && !relays_body()))) {
        printf("Warning! Request exceeds max length of %d.\n", max_request_length);
        return len;
    }
    // One chunk may hold the end of one request and the start of the next:
    // each round takes what belongs to the current mode.
    size_t taken = 0;
    for (;;) {
        char* p = data + taken;
        size_t n = len - taken;
        switch (reader.at()) {
        case mode::head: {
            if (n == 0)
                return taken;
            if (reader.head().empty()) {
                // The next request waits: the subclass cannot take it yet,
                // or this connection has had its share of heads this turn
                // (it is woken to go on in the next).
                if (!ready_for_request())
                    return taken;
                if (!head_slice_left()) {
                    wake();
                    return taken;
                }
            }
            bool starting = reader.head().empty();
            size_t used = reader.take_head(p, n, size_t(max_head_length > 0 ? max_head_length : 0));
            if (reader.at() == mode::refused) {
                received += int64_t(used);
                printf("Warning! Request exceeds max length of %d.\n", max_head_length);
                on_head_too_long();
                return len;
            }
            if (starting && !reader.head().empty())
                head_started = last_active;  // the time these bytes came
            received += int64_t(used);
            taken += used;
            if (reader.at() == mode::body) {
                heads_in_turn++;
                start_request();
            }
            break;
        }
        case mode::body: {
            size_t used = reader.take_body(p, n);
            if (used > 0)
                pass_on(p, int(used));
            taken += used;
            if (reader.at() == mode::refused) {
                on_framing_broken();
                return len;
            }
            if (!reader.body_ended())
                return taken;
            complete_request();
            break;
        }
        case mode::raw:
            if (n > 0) {
                pass_on(p, int(n));
                on_request();
            }
            return len;
        case mode::websocket:
            if (n > 0)
                pass_on(p, int(n));
            return len;
        case mode::refused:
            return len;
        }
    }
}

bool http_connection::head_slice_left()
{
    if (slice_turn != connection::turn()) {
        slice_turn = connection::turn();
        heads_in_turn = 0;
    }
    return heads_in_turn < max_heads_per_turn;
}

void http_connection::start_request()
{
    if (serves_websocket() && get_header("Upgrade", reader.head()) == "websocket")
        handshake();
    else
        on_headers();
}

void http_connection::pass_on(char* data, int len)
{
    if (!relays_body())
        received += len;
    on_data(data, len);
}

void http_connection::complete_request()
{
    on_request();
    if (reader.last()) {
        reader.pass_through();
        return;
    }
    reader.next_request();
    responses.next_request();
    body.clear();
    received = 0;
    max_request_length = default_max_request_length;
}

void http_connection::handshake()
{
    std::string answer;
    bool upgrades = websocket_session::handshake(get_header("Sec-WebSocket-Key", reader.head()),
                                                 get_header("Sec-WebSocket-Version", reader.head()), &answer);
    write(std::move(answer), "");
    if (!upgrades)
        return;  // the request goes on as an ordinary one
    session = std::make_unique<websocket_session>(this, socket, *this, !reader.last());
    reader.upgrade();
    timeout = 100;
    on_upgrade();
}

void http_connection::pass_through()
{
    reader.pass_through();
    // The held bytes are the switched protocol's now, whether or not the
    // subclass would take a request.
    resume_requests();
}

void http_connection::resume_requests()
{
    // Read in place: the handlers take() calls never hold or drop bytes, so
    // the view stays valid until consume_held().
    while (!reader.held().empty()) {
        std::string_view held = reader.held();
        size_t used = take(const_cast<char*>(held.data()), held.size());
        if (used == 0)
            return;
        reader.consume_held(used);
    }
}

bool http_connection::head_pending() const
{
    return reader.at() == request_reader::mode::head && !reader.head().empty();
}

bool http_connection::timed_out(int64_t at) const
{
    if (head_pending() && at - head_started > int64_t(max_head_seconds) * 1000)
        return true;
    return connection::timed_out(at);
}

int64_t http_connection::deadline() const
{
    int64_t idle = connection::deadline();
    if (!head_pending())
        return idle;
    int64_t head = head_started + int64_t(max_head_seconds) * 1000 + 1;
    return head < idle ? head : idle;
}

bool http_connection::wants_input() const { return reader.held().empty(); }

handover http_connection::on_send(char* buf, int cap)
{
    resume_requests();
    if (responses.empty())
        return handover::nothing(responses.answered() && closes_after_answer() ? handover::next::finish
                                                                               : handover::next::more);
    return handover::copied(responses.take(buf, cap, &timeout));
}

void http_connection::write(std::string headers, const std::string& body)
{
    bool add_length = !closes_after_answer() && get_header("content-length", headers).empty() &&
                      get_header("transfer-encoding", headers).empty();
    responses.write(std::move(headers), body, add_length, reader.method() != "HEAD");
}

void http_connection::send_message(const std::string& payload, int opcode)
{
    std::string frame;
    if (websocket_session::frame(payload, opcode, &frame))
        responses.add_data(std::move(frame));
}

void http_connection::on_headers() { puts(info(true).c_str()); }

void http_connection::on_data(char* data, int len)
{
    if (session)
        session->receive(data, size_t(len));
    else
        body.append(data, size_t(len));
}

void http_connection::on_upgrade() { session->give_up(); }

void http_connection::on_message() { send_message(session->message, 1); }

void http_connection::on_ping(const std::string& payload) { send_message(payload, 10); }

void http_connection::on_give_up() { timeout = 0; }

void http_connection::on_request()
{
    std::string content = reader.head() + "\r\n" + base::num(double(body.size())) + " bytes of content";
    write("HTTP/1.1 200 OK\r\nContent-Type: " + std::string("text/plain") + "\r\n", content);
}

void http_connection::on_head_too_long() {}

void http_connection::on_framing_broken() {}

bool http_connection::serves_websocket() const { return true; }

bool http_connection::relays_body() const { return false; }

bool http_connection::ready_for_request() const { return true; }

std::string http_connection::path() const
{
    const std::string& url = reader.url();
    size_t q = url.find('?');
    return q != std::string::npos && q > 0 ? url.substr(0, q) : url;
}

std::string http_connection::query() const
{
    const std::string& url = reader.url();
    size_t q = url.find('?');
    return q != std::string::npos && q > 0 ? url.substr(q + 1) : "";
}

std::string http_connection::get_header(const std::string& name, const std::string& text)
{
    // The "\r\n" in front keeps the request line from matching and makes the
    // name match only at the start of a line.
    size_t at = base::find(text, "\r\n" + name);
    if (at == std::string::npos)
        return "";
    size_t start = at + 2 + name.size() + 2;  // "\r\n", the name, ": "
    if (start >= text.size())
        return "";
    size_t end = text.find("\r\n", start);
    if (end == std::string::npos)
        end = text.size();
    return text.substr(start, end - start);
}

std::string http_connection::info(bool with_agent) const
{
    // Only a local front end (a reverse proxy on the same host, over
    // 127.0.0.1 or ::1) is trusted to say who the client really is.
    std::string address;
    bool local = peer.is_v6() ? IN6_IS_ADDR_LOOPBACK(&peer.v6()) : peer.v4() == htonl(INADDR_LOOPBACK);
    if (local)
        address = get_header("x-forwarded-for", reader.head());
    if (address.empty())
        address = peer.text_with_brackets();
    std::string line = address + ":" + std::to_string(peer.port()) + " " + reader.method() + " " + reader.url() + " " +
                       reader.version();
    if (with_agent)
        line += " [" + get_header("user-agent", reader.head()) + "]";
    // Target, version, agent and forwarded address are the client's bytes.
    return base::escape_controls(line);
}
