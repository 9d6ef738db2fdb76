// The output of one HTTP connection waiting to be sent, oldest first: the
// answer to each request (write()), WebSocket frames, and pieces other code
// queues itself - a file to send, or a result that another thread fills in.
// The queue owns its pieces and deletes each once it has been handed over,
// and those left with itself. The connection's on_send hands them to the
// server through take(); the queue has no say in when the connection ends.
#pragma once

#include "base/linkedlist.h"
#include "server/connection.h"
#include "var/var.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

class response_queue {
public:
    // Largest piece write() queues: the server's send buffer, which one
    // take() can fill.
    static constexpr int32_t piece_size = connection::buffer_size;

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

    // One queued piece. A data piece has neither `file` nor `thread`; a file
    // piece sends from `file`; a thread piece waits for `thread` to be done,
    // then turns into a data piece.
    class piece {
    public:
        FILE* file = nullptr;      // closed with the piece
        double remaining = -1;     // file piece: bytes left, negative = to the end
        std::string data;          // data piece: the bytes
        thread_response* thread = nullptr;  // owned
        int32_t timeout = 0;       // connection timeout once the thread piece is sent
        size_t sent = 0;           // data piece: bytes already handed over

        piece() = default;
        piece(const piece&) = delete;
        piece& operator=(const piece&) = delete;
        ~piece();
    };

    // Inserted into the head of the current request's answer by write();
    // cleared for every request.
    std::string extra_headers;

    response_queue() = default;
    response_queue(const response_queue&) = delete;
    response_queue& operator=(const response_queue&) = delete;
    ~response_queue();

    bool empty() const { return pieces.empty(); }
    // Takes ownership of p and queues it last.
    void add(piece* p) { pieces.add(p); }
    // Queues bytes as one data piece, of any size.
    void add_data(std::string bytes);

    // Queues the answer to the current request: `head` is the status line
    // and header lines, each ending in "\r\n", without the blank line;
    // extra_headers and the blank line follow it, then the body unless
    // !with_body (an answer to HEAD). With add_length, a Content-Length line
    // for the body comes first. Cut into pieces of at most piece_size. Once
    // per request: a second answer is refused with a warning.
    void write(std::string head, const std::string& body, bool add_length, bool with_body);
    // write() has queued the answer to the current request.
    bool answered() const { return is_answered; }
    // A new request: it may be answered, and extra_headers are cleared.
    void next_request();

    // Copies the next bytes of the first piece into buf, at most cap, and
    // returns their number: 0 when the queue is empty, when a thread piece
    // is not done yet (asked again later), or when a file piece has ended
    // exactly. A piece larger than cap goes over in several calls. A thread
    // piece that is done goes out as one chunk of chunked coding followed by
    // the last chunk, and sets *timeout to its own; when that would not fit
    // in cap, the last chunk alone goes, with a warning.
    int take(char* buf, int cap, int32_t* timeout);

private:
    base::linkedlist<piece*> pieces;  // owned
    bool is_answered = false;
};
