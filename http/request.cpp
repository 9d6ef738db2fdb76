// The receiving half: head assembly, request line and header parsing, body
// framing and the calls of the handlers.
#include "http/http_connection.h"

#include <cstdio>
#include <cstdlib>

void http_connection::on_recv(char* data, int len)
{
    if (len <= 0 || input_refused)
        return;
    if (!held.empty()) {
        held.append(data, size_t(len));  // stays behind what is held already
        return;
    }
    // The guard protects memory from what the connection stores: the head
    // always, body and raw bytes unless the subclass only relays them. The
    // chunk that first carries `received` past the limit is still taken.
    bool limited = !headers_received || !relays_body();
    if (max_request_length > 0 && limited && received > max_request_length) {
        printf("Warning! Request exceeds max length of %d.\n", max_request_length);
        return;
    }
    // One chunk may hold the end of one request and the start of the next:
    // each turn of the loop takes what belongs to the current state.
    for (;;) {
        if (websocket) {
            if (len > 0)
                pass_on(data, len);
            return;
        }
        if (!headers_received) {
            if (len == 0)
                return;
            if (head.empty() && !ready_for_request()) {
                held.append(data, size_t(len));
                return;
            }
            int used = take_head(data, len);
            data += used;
            len -= used;
            if (!headers_received)
                return;
            continue;
        }
        if (!completed) {
            int used = take_body(data, len);
            data += used;
            len -= used;
            if (chunked && decoder.malformed()) {
                // Unreadable framing: nothing from this point on can be
                // trusted to be body or request, so none of it is passed on.
                input_refused = true;
                keep_alive = false;
                on_framing_broken();
                return;
            }
            bool ended = chunked ? decoder.done() : body_received >= content_length;
            if (!ended)
                return;
            complete_request();
            continue;
        }
        // No more requests on this connection: everything is raw.
        if (len > 0) {
            pass_on(data, len);
            on_request();
        }
        return;
    }
}

int http_connection::take_head(char* data, int len)
{
    // Empty lines before a request line are skipped (clients may send a CRLF
    // after a body), also when a CRLF is split between two chunks: a lone CR
    // waits in `head` for its LF.
    int skipped = 0;
    while (skipped < len && (head.empty() || head == "\r")) {
        char c = data[skipped];
        if (head.empty() && c == '\r')
            head.push_back('\r');
        else if (head == "\r" && c == '\n')
            head.clear();
        else
            break;
        skipped++;
    }
    data += skipped;
    len -= skipped;
    received += skipped;
    if (len == 0)
        return skipped;
    size_t old = head.size();
    head.append(data, size_t(len));
    // The earlier bytes were searched already: go on from where a terminator
    // split by the chunk boundary could begin.
    size_t at = head.find("\r\n\r\n", old >= 3 ? old - 3 : 0);
    size_t head_bytes = at == std::string::npos ? head.size() : at + 4;
    if (max_head_length > 0 && head_bytes > size_t(max_head_length)) {
        printf("Warning! Request exceeds max length of %d.\n", max_head_length);
        input_refused = true;
        std::string().swap(head);  // its memory goes back at once
        on_head_too_long();
        return skipped + len;
    }
    if (at == std::string::npos) {
        received += len;
        return skipped + len;
    }
    // The terminator ends inside this chunk, so what follows it is the rest
    // of the chunk.
    int used = int(at + 4 - old);
    received += used;
    head.resize(at + 2);  // keeps the last header line's "\r\n"
    headers_received = true;
    parse_head();
    return skipped + used;
}

void http_connection::parse_head()
{
    parse_request_line();

    facts = request_facts::read(head);
    content_length = facts.content_length;
    chunked = facts.chunked;
    if (chunked)
        decoder.reset();
    body_received = 0;
    // Where a faulty head's body ends is unknown, so nothing after it can be
    // trusted to be the next request.
    if (facts.problem != request_facts::fault::none)
        keep_alive = false;

    if (version == "HTTP/1.0" && !facts.names_option("keep-alive"))
        keep_alive = false;
    cookie = get_header("cookie", head);

    size_t q = url.find('?');
    if (q != std::string::npos && q > 0) {
        query = url.substr(q + 1);
        path = url.substr(0, q);
    } else
        path = url;

    if (serves_websocket() && get_header("Upgrade", head) == "websocket")
        handshake();
    else
        on_headers();
}

// The searches run over the whole head and a failed one yields npos, one
// past which is offset 0: a request line with fewer than two spaces takes its
// fields from the header lines. A field whose end is not found, or is found at
// offset 0, keeps its value.
void http_connection::parse_request_line()
{
    const size_t none = std::string::npos;
    size_t s1 = head.find(' ');
    size_t s2 = head.find(' ', s1 + 1);
    size_t e = head.find("\r\n", s2 + 1);
    if (s1 != none && s1 > 0)
        method = head.substr(0, s1);
    if (s2 != none && s2 > 0)
        url = head.substr(s1 + 1, s2 - s1 - 1);
    if (e != none && e > 0)
        version = head.substr(s2 + 1, e - s2 - 1);
}

int http_connection::take_body(char* data, int len)
{
    int n;
    if (chunked)
        n = int(decoder.feed(data, size_t(len)));
    else {
        int64_t left = content_length - body_received;
        n = left < len ? int(left) : len;
    }
    if (n > 0)
        pass_on(data, n);
    return n;
}

void http_connection::pass_on(char* data, int len)
{
    if (!relays_body())
        received += len;
    body_received += len;
    on_data(data, len);
}

void http_connection::complete_request()
{
    on_request();
    if (keep_alive)
        reset();
    else
        completed = true;
}

void http_connection::on_headers() { puts(info(true).c_str()); }

void http_connection::on_data(char* data, int len)
{
    // A WebSocket that is finishing reads no more frames; keeping its bytes
    // would only let the peer grow memory until the connection ends.
    if (websocket && !keep_alive)
        return;
    body.append(data, size_t(len));
    if (websocket)
        read_frames();
}

void http_connection::on_head_too_long() {}

void http_connection::on_framing_broken() {}

bool http_connection::serves_websocket() const { return true; }

bool http_connection::relays_body() const { return false; }

bool http_connection::ready_for_request() const { return true; }

void http_connection::pass_through()
{
    keep_alive = false;
    headers_received = true;
    completed = true;
    if (held.empty())
        return;
    std::string bytes;
    bytes.swap(held);
    on_recv(bytes.data(), int(bytes.size()));
}

void http_connection::resume_requests()
{
    if (held.empty() || !ready_for_request())
        return;
    std::string bytes;
    bytes.swap(held);
    on_recv(bytes.data(), int(bytes.size()));
}
