// The server side of one HTTP/1.x client connection.
//
// Receiving (request.cpp): every chunk goes through on_recv, which collects
// the request head up to "\r\n\r\n", parses the request line and the few
// headers the class needs, and calls the handlers in a fixed order:
//
//     on_headers (or the WebSocket handshake instead)
//     on_data    for every piece of the body, exactly the framed body bytes
//     on_request once the body is complete, then reset() if keep_alive
//
// The body is framed by Content-Length, or by the chunked coding when the
// last Transfer-Encoding is "chunked"; either way on_data sees the bytes as
// they arrived, framing included. Bytes behind the body are the next request
// and are parsed as such after the reset. Once a request has completed with
// keep_alive false, the connection parses nothing more: every later chunk goes
// to on_data, followed by on_request (a tunnel relies on this).
//
// Sending (response.cpp): write() queues one answer per request as pieces of
// at most 1 MiB in `responses`; on_send hands them to the server in order and
// its result decides whether the connection stays open.
//
// The same class performs the WebSocket upgrade and framing (websocket.cpp)
// and keeps channel subscriptions (channels.cpp).
//
// The defaults of the handlers make a bare http_connection a small diagnostic
// server; subclasses (the proxy) override them.
#pragma once

#include "base/arraylist.h"
#include "base/hashmap.h"
#include "base/linkedlist.h"
#include "http/chunked_decoder.h"
#include "http/request_facts.h"
#include "server/connection.h"
#include "var/var.h"

#include <cstdint>
#include <cstdio>
#include <string>

class http_connection : public connection {
public:
    static constexpr int32_t default_max_request_length = 104857600;
    // Largest piece write() queues: exactly the server's send buffer.
    static constexpr int32_t piece_size = 1048576;
    // Largest WebSocket payload send_message() frames.
    static constexpr size_t max_send_payload = 1048575;

    // A result that something else fills in later and sets `done` on; sent as
    // one chunk of chunked coding when ready. Nothing in this program makes
    // one, but the queue carries and destroys them.
    class thread_response {
    public:
        uint8_t done = 0;  // non-zero once `result` is ready
        var result;

        thread_response() = default;
        thread_response(const thread_response&) = delete;
        thread_response& operator=(const thread_response&) = delete;
        virtual ~thread_response();
    };

    // One queued piece of output, owned by `responses`. A data piece has
    // neither `file` nor `thread`; a file piece sends from `file`; a thread
    // piece waits for `thread` to be done.
    class response_part {
    public:
        FILE* file = nullptr;      // closed with the piece
        double remaining = -1;     // file piece: bytes left, negative = to the end
        std::string data;          // data piece: the bytes
        thread_response* thread = nullptr;  // owned
        int32_t timeout = 0;       // connection timeout once the thread piece is sent
        size_t sent = 0;           // data piece: bytes already handed over

        response_part() = default;
        response_part(const response_part&) = delete;
        response_part& operator=(const response_part&) = delete;
        ~response_part();
    };

    // Request state. See reset() for what a new request starts with.
    bool headers_received = false;  // the head is complete and parsed
    // Until the head is complete: its bytes so far. Afterwards: request line
    // and header lines, each ending in "\r\n", without the blank line.
    std::string head;
    bool responded = false;  // write() has queued the answer to this request
    base::linkedlist<response_part*> responses;  // owned pieces, oldest first
    // Limit on the counted bytes of one request; 0 or less: no limit. Body and
    // tunnel bytes are not counted while relays_body() says so.
    int32_t max_request_length = default_max_request_length;
    // Most bytes a request head may take, terminator included; 0: no limit of
    // its own (it counts towards max_request_length). A longer head is refused
    // once: the warning names this limit, on_head_too_long() runs, and every
    // later byte of the connection is dropped unread. Not changed by reset().
    int32_t max_head_length = 0;
    int64_t received = 0;        // counted bytes since the last reset
    int64_t body_received = 0;   // body bytes handed to on_data (framing included)
    int64_t content_length = 0;  // announced length; 0 when absent, invalid or chunked
    bool chunked = false;        // the body is framed by the chunked coding
    request_facts facts;         // the strict reading of the current head
    // on_request has run and keep_alive was false: every later byte is raw.
    bool completed = false;
    std::string body;  // default on_data: the body; on a WebSocket: unread frame bytes
    std::string held;  // received bytes of requests not yet parsed (see ready_for_request)
    // Reset for another request after the answer; on a WebSocket: frames are
    // still processed.
    bool keep_alive = true;
    std::string method;
    std::string url;      // request target as sent
    std::string version;  // e.g. "HTTP/1.1"
    std::string path;     // url before the first '?'
    std::string query;    // url after the first '?'
    std::string cookie;
    std::string extra_headers;  // inserted into every response head by write()
    bool websocket = false;     // upgraded; never cleared
    std::string message;        // WebSocket message being assembled
    int32_t max_message_length = 10485760;
    int32_t max_frame_length = 1048576;
    base::hashmap<bool> subscriptions;  // channel names this connection is in

    http_connection();
    ~http_connection() override;

    void on_recv(char* data, int len) override;
    bool on_send(char* buf, int cap, int* len) override;

    // A request head has been parsed. Default: prints info(true).
    virtual void on_headers();
    // Body bytes (and, once the connection parses no more requests, every
    // byte). Default: appends to `body` and reads WebSocket frames.
    virtual void on_data(char* data, int len);
    // After a successful WebSocket handshake. Default: finish and close.
    virtual void on_upgrade();
    // A complete WebSocket message is in `message`. Default: echo it.
    virtual void on_message();
    // The request is complete. Default: a diagnostic answer.
    virtual void on_request();
    // The head passed max_head_length. Default: nothing (the connection
    // reads no further request).
    virtual void on_head_too_long();
    // The chunked body of the current request broke the coding's grammar
    // (chunked_decoder.h): the bytes up to the bad one have gone to on_data,
    // nothing from it on will, on_request is not called for this request
    // and no further request is read. Default: nothing.
    virtual void on_framing_broken();
    // Whether a request asking for "Upgrade: websocket" is answered by this
    // class's own WebSocket handshake (the default) or goes to on_headers
    // like any other request (a proxy passes upgrades on to the origin).
    virtual bool serves_websocket() const;
    // True when the subclass passes body and tunnel bytes on instead of
    // storing them: those bytes then do not count against
    // max_request_length. The head is always limited.
    virtual bool relays_body() const;
    // False while the subclass cannot take the next request yet (the proxy,
    // while the previous request's origin is still being reached): bytes of
    // a new request are then kept in `held`, unparsed, until
    // resume_requests() is called once this is true again. A subclass that
    // holds should stop reading (wants_input) while `held` is not empty.
    virtual bool ready_for_request() const;
    // Parses the held bytes, if any and if ready_for_request().
    void resume_requests();
    // The protocol has switched after the last request (an origin's 101):
    // from now on every byte, the held ones first, is raw (on_data, then
    // on_request per chunk) and no request is parsed any more.
    void pass_through();

    // Value of header `name` in `text` ("" when absent): the first line that
    // begins with `name` in any letter case, read from two bytes after the
    // name (taken to be ": ") up to the line's end. Prefix matches count
    // ("cookie" finds "Cookie2: y" as " y"), and "Name:value" without the
    // space loses its first byte.
    static std::string get_header(const std::string& name, const std::string& text);

    // Back to the state before a request. Leaves keep_alive, websocket, the
    // queued answer, timeout, subscriptions and the WebSocket limits alone.
    void reset();

    // Queues the answer to the current request: `headers` is the status line
    // and header lines, each ending in "\r\n", without the blank line. Adds
    // Content-Length on a kept-alive connection unless the head frames the
    // body itself; leaves the body out for HEAD. Once per request.
    void write(std::string headers, const std::string& body);

    // The request description line, without a newline:
    // "address:port METHOD url VERSION [agent]".
    std::string info(bool with_agent) const;

    // Consumes the complete frames at the front of `body`.
    void read_frames();
    // Queues one unfragmented, unmasked frame.
    void send_message(const std::string& payload, int opcode);

    // Process-wide registry: channel name -> subscribed connections. A list
    // exists only while it has members; the registry owns the lists, not the
    // connections.
    static base::hashmap<base::arraylist<http_connection*>*>& channels();

private:
    chunked_decoder decoder;  // follows the body while `chunked`
    // The head passed max_head_length, or a chunked body broke its grammar:
    // every later byte of the connection is dropped unread.
    bool input_refused = false;

    // Head bytes from one chunk; returns how many of them belong to the head.
    int take_head(char* data, int len);
    // Request line and headers; then the handshake or on_headers.
    void parse_head();
    void parse_request_line();
    // Body bytes from one chunk; returns how many belong to the body.
    int take_body(char* data, int len);
    // Hands body or raw bytes to on_data, counting them.
    void pass_on(char* data, int len);
    // on_request, then reset() or, without keep_alive, the raw state.
    void complete_request();
    void handshake();
    // Processes no more frames, and lets the server end the connection soon
    // even if it stays quiet.
    void give_up_websocket();
    // Takes this connection out of every channel in `subscriptions`.
    void leave_channels();
};
