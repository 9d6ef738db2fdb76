// A second, deliberately plain reading of an origin's answers on one
// connection, written apart from response_reader for the fuzzer to compare
// against: where the two disagree on where an answer ends, the proxy and a
// client could too, and the client would take the origin's next bytes for
// an answer to its next request.
//
// It works on the whole stream at once, line by line, where the reader
// works byte by byte on pieces. The rules (RFC 9112 6.3, RFC 9110 5.5):
//
// - A head is a status line, field lines and an empty line, each ending in
//   LF with or without a CR before it (clients read a bare LF as a line
//   end), at most max_head bytes in all. Status line: "HTTP/1." DIGIT SP
//   3DIGIT [SP reason], the code at least 100 (a lower one has no class),
//   no CR or NUL anywhere in it.
// - A field line is token ":" value. A line without a colon, a name that is
//   not a token, or a CR or NUL in a value (bytes pass on unchanged, and a
//   client may take a CR for a line end) make the head unreadable; so does a
//   Content-Length element that is not 1 to 18 digits. Transfer-Encoding
//   with Content-Length, unequal lengths, a last coding other than chunked,
//   or any transfer coding in an HTTP/1.0 answer: the body runs to the
//   close.
// - 101 opens a tunnel when the request asked to switch protocols and is
//   unreadable otherwise; other 1xx heads are interim and another head
//   follows; a final answer to HEAD, 204 and 304 have no body; then chunked,
//   Content-Length, or up to the close.
// - At most max_interim interim heads come before the final one: the next
//   one fails the answer (after checking it is readable at all), and none of
//   its bytes are passed on. A client that cannot take interim answers
//   (HTTP/1.0) gets none: their heads are read, counted and left out of
//   what is passed on, and the final head and its body follow as usual.
// - Chunked bodies: the grammar is the same as for requests, and the
//   requests' reference (reference_reader.h) reads it.
// - An answer may be followed by the next one on the same connection when it
//   ended exactly by its framing and the origin keeps the connection
//   (HTTP/1.1 without the "close" option, HTTP/1.0 with "keep-alive").
#pragma once

#include "fuzz/reference_reader.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace reference_answers {

constexpr size_t max_head = 64 * 1024;
constexpr int max_interim = 16;

enum class ending {
    head,         // a head is still incomplete
    sized,        // in a Content-Length body
    chunked,      // in a chunked body
    until_close,  // in a body that runs to the close
    tunnel,       // after a 101
    done,
    failed,       // see outcome::why
};

// Why the last answer failed.
enum class failure {
    none,
    closed,      // the stream ended before the answer did
    unreadable,  // a bad head, a head too long, a broken chunked body
    too_many_interim,
};

// What a reader that saw the stream should have made of it.
struct outcome {
    std::string passed;  // the bytes passed on, in order: the stream's, less dropped interim heads
    size_t taken = 0;    // bytes that belong to the answers (a held, unreadable head included)
    ending at = ending::head;
    failure why = failure::none;
    bool reusable = false;
    bool ends_connection = false;
    bool heard = false;       // of the last answer: some byte of it arrived, passed on or not
    size_t held = 0;          // while at == head: the bytes of the incomplete head
    bool started = false;     // of the last answer: some head passed on
    bool final_head = false;  // of the last answer: its final head passed on
    int status = 0;           // that final head's code
};

// One request's expectations of its answer.
struct request {
    bool head = false;
    bool upgrade = false;
    bool interim = true;  // its client takes interim answers (false: HTTP/1.0)
};

inline bool is_token(const std::string& s) { return reference::token(s); }

// The plain text helpers are the request reference's: both references stay
// apart from the proxy's own reading, not from each other.
using reference::lower;
using reference::split_list;
using reference::strip;

// What one complete head says.
struct head_reading {
    bool unreadable = false;
    int status = 0;
    bool keeps = false;  // the origin keeps the connection after this answer
    enum class framing { close, length, chunked } body = framing::close;
    uint64_t length = 0;
};

// lines: the status line and the field lines, without their CRLF.
inline head_reading read_head(const std::vector<std::string>& lines)
{
    head_reading h;
    const std::string& sl = lines[0];
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (sl.size() < 12 || sl.compare(0, 7, "HTTP/1.") != 0 || !digit(sl[7]) || sl[8] != ' ' || !digit(sl[9]) ||
        !digit(sl[10]) || !digit(sl[11]) || (sl.size() > 12 && sl[12] != ' ') ||
        sl.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        h.unreadable = true;
        return h;
    }
    h.status = std::stoi(sl.substr(9, 3));
    if (h.status < 100) {
        h.unreadable = true;
        return h;
    }
    bool http10 = sl[7] == '0';

    std::vector<uint64_t> lengths;
    std::vector<std::string> codings, options;
    bool has_coding = false;
    for (size_t i = 1; i < lines.size(); i++) {
        size_t colon = lines[i].find(':');
        if (colon == std::string::npos || !is_token(lines[i].substr(0, colon))) {
            h.unreadable = true;
            continue;
        }
        std::string name = lower(lines[i].substr(0, colon)), value = lines[i].substr(colon + 1);
        if (value.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            h.unreadable = true;
        if (name == "content-length") {
            for (const std::string& v : split_list(value)) {
                if (v.empty() || v.size() > 18 || v.find_first_not_of("0123456789") != std::string::npos)
                    h.unreadable = true;
                else
                    lengths.push_back(std::stoull(v));
            }
        } else if (name == "transfer-encoding") {
            has_coding = true;
            for (const std::string& v : split_list(value))
                if (!v.empty())
                    codings.push_back(lower(v));
        } else if (name == "connection") {
            for (const std::string& v : split_list(value))
                options.push_back(lower(v));
        }
    }
    auto named = [&](const char* option) { return std::find(options.begin(), options.end(), option) != options.end(); };
    h.keeps = http10 ? named("keep-alive") : !named("close");
    if (has_coding) {
        if (!http10 && lengths.empty() && !codings.empty() && codings.back() == "chunked")
            h.body = head_reading::framing::chunked;
    } else if (!lengths.empty() && std::count(lengths.begin(), lengths.end(), lengths[0]) == long(lengths.size())) {
        h.body = head_reading::framing::length;
        h.length = lengths[0];
    }
    return h;
}

// Reads the answers in `stream` to the requests in turn: the next request's
// answer is read only when the one before ended reusably and bytes follow.
// closed: the origin ended the stream after its last byte.
inline outcome read(const std::string& stream, const std::vector<request>& requests, bool closed)
{
    outcome o;
    size_t at = 0;  // where the current head begins
    auto fail = [&](failure why, size_t taken) {
        o.at = ending::failed;
        o.why = why;
        o.taken = taken;
        return o;
    };
    for (size_t r = 0; r < requests.size(); r++) {
        std::string passed = std::move(o.passed);
        o = outcome{};
        o.passed = std::move(passed);
        o.taken = at;
        o.heard = at < stream.size();
        head_reading h;
        bool final_head = false;
        int interims = 0;
        for (;;) {  // heads up to the final one
            std::vector<std::string> lines;
            size_t end = std::string::npos;
            // Lines end in LF, a CR right before it dropped (clients read a
            // bare LF as a line end).
            for (size_t line = at, lf; (lf = stream.find('\n', line)) != std::string::npos; line = lf + 1) {
                size_t stop = lf > line && stream[lf - 1] == '\r' ? lf - 1 : lf;
                if (stop == line && !lines.empty()) {
                    end = lf + 1;
                    break;
                }
                lines.push_back(stream.substr(line, stop - line));
            }
            if (end == std::string::npos ? stream.size() - at > max_head : end - at > max_head)
                return fail(failure::unreadable, at + max_head);
            if (end == std::string::npos) {
                o.taken = stream.size();
                o.held = stream.size() - at;
                break;
            }
            h = read_head(lines);
            if (h.unreadable || (h.status == 101 && !requests[r].upgrade))
                return fail(failure::unreadable, end);
            final_head = h.status >= 200 || h.status == 101;
            if (!final_head && ++interims > max_interim)
                return fail(failure::too_many_interim, end);
            if (final_head || requests[r].interim) {
                o.passed.append(stream, at, end - at);
                o.started = true;
            }
            o.taken = at = end;
            if (final_head)
                break;
        }
        if (!final_head)
            break;
        o.final_head = true;
        o.status = h.status;
        size_t body = at, rest = stream.size() - at;
        if (h.status == 101) {
            o.at = ending::tunnel;
            at = stream.size();
        } else if (requests[r].head || h.status == 204 || h.status == 304)
            o.at = ending::done;
        else if (h.body == head_reading::framing::close) {
            o.at = ending::until_close;
            o.ends_connection = true;
            at = stream.size();
        } else if (h.body == head_reading::framing::length) {
            o.at = h.length <= rest ? ending::done : ending::sized;
            at += h.length <= rest ? size_t(h.length) : rest;
        } else {
            size_t end = stream.size();
            // The chunked grammar is the same in both directions: the
            // requests' reference reads it.
            using reference::body_end;
            body_end c = reference::chunked_end(stream.substr(at), &end);
            o.at = c == body_end::complete ? ending::done : c == body_end::bad ? ending::failed : ending::chunked;
            o.why = c == body_end::bad ? failure::unreadable : failure::none;
            at = c == body_end::unfinished ? stream.size() : at + end;
        }
        o.passed.append(stream, body, at - body);
        o.taken = at;
        o.reusable = o.at == ending::done && h.keeps && !o.ends_connection;
        if (!o.reusable || at == stream.size())
            break;
    }
    if (closed) {
        if (o.at == ending::until_close)
            o.at = ending::done;
        else if (o.at != ending::done && o.at != ending::tunnel && o.at != ending::failed) {
            o.at = ending::failed;
            o.why = failure::closed;
        }
    }
    return o;
}

}  // namespace reference_answers
