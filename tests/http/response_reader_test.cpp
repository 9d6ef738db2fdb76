#include "http/response_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

using state = response_reader::state;

// Each stream read whole, cut in two at every offset, and one byte at a
// time: the bytes passed on (up to the "|"), where the answer ends (the "|"
// too: what follows belongs to no answer), how it ended and whether the
// connection may carry another exchange.
TEST(response_reader, ends_every_kind_of_answer_exactly_in_any_chunking)
{
    struct row { std::string stream; state end; bool reusable = false, head_request = false, upgrade = false; };
    const std::string ok = "HTTP/1.1 200 OK\r\n";
    const row rows[] = {
        {ok + "Content-Length: 5\r\n\r\nhello|HTTP/1.1 200 OK", state::done, true},
        {ok + "content-length:0\r\n\r\n|x", state::done, true},
        {ok + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n|junk", state::done, true},
        {ok + "Content-Length: 5\r\n\r\n|hello", state::done, true, true},
        {"HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n|hello", state::done, true},
        {"HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n|0\r\n\r\n", state::done, true},
        // Interim answers pass on and the final one follows; 101 opens a tunnel only when asked for.
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: x\r\n\r\n" + ok + "Content-Length: 2\r\n\r\nok|",
         state::done, true},
        {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n\x81\x02hi", state::tunnel, false, false, true},
        {"|HTTP/1.1 101 Switching Protocols\r\n\r\n", state::failed},
        // The origin keeps the connection, or not.
        {ok + "Connection: keep-alive, close\r\nContent-Length: 1\r\n\r\nx|", state::done},
        {"HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx|", state::done},
        {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 1\r\n\r\nx|", state::done, true},
        // No framing, or framing read two ways: up to the close.
        {ok + "\r\nanything", state::until_close},
        {ok + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello", state::until_close},
        {"HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", state::until_close},
        // A bare LF ends a line, for the reader as for clients.
        {"HTTP/1.1 417 Expectation Failed\nContent-Length: 0\n\n|HTTP/1.1 200", state::done, true},
        {ok + "X: a\nContent-Length: 3\r\n\nabc|d", state::done, true},
        // Unreadable (fields as request_facts reads them, the status line, a bare CR in a value, where a client
        // could see a line end): nothing of it passes on ("|" at 0), or nothing from the bad chunk byte on.
        {"|HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\nhello", state::failed},
        {"|HTTP/1.1 200 OK\r\nBad Name: 1\r\n\r\n", state::failed},
        {"|HTTP/1.1 200 OK\r\nX: a\rContent-Length: 3\r\n\r\nabc", state::failed},
        {"|HTTP/1.1 20 OK\r\n\r\n", state::failed},
        {"|<html>\r\n\r\n", state::failed},
        {ok + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello|xx\r\n", state::failed},
    };
    for (const row& r : rows) {
        size_t end = r.stream.find('|');
        std::string stream = r.stream;
        if (end != std::string::npos)
            stream.erase(end, 1);
        else
            end = stream.size();
        for (size_t cut = 0; cut <= stream.size() + 1; cut++) {  // past the end: one byte at a time
            response_reader reader;
            reader.expect(r.head_request, r.upgrade);
            base::byte_queue out;
            size_t used = 0;  // the next piece goes on only while it took everything so far
            for (size_t from = 0, to; from < stream.size() && used == from; from = to) {
                to = cut > stream.size() ? from + 1 : from < cut ? cut : stream.size();
                used += reader.feed(stream.data() + from, to - from, out);
            }
            if (r.end != state::failed) {  // an unreadable head is taken whole, yet none of it passes on
                EXPECT_EQ(used, end) << r.stream << " cut " << cut;
            }
            std::string passed;
            for (size_t n; const char* p = out.front(&n); out.consume(n))
                passed.append(p, n);
            EXPECT_EQ(passed, stream.substr(0, end)) << r.stream << " cut " << cut;
            EXPECT_EQ(reader.at(), r.end) << r.stream << " cut " << cut;
            EXPECT_EQ(reader.reusable(), r.reusable) << r.stream;
        }
    }
}

// A body may pass unread (spliced) as far as raw_run() says; the end of the
// connection completes an answer that runs to it and fails any other; a head
// over max_head fails at its first byte past the limit, in any chunking;
// nothing passes on until a head is complete.
TEST(response_reader, skipped_bodies_the_end_of_the_stream_and_long_heads)
{
    response_reader r;
    base::byte_queue out;
    r.expect(false, false);
    std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n100000\r\n";
    EXPECT_EQ(r.feed(head.data(), head.size(), out), head.size());
    EXPECT_EQ(r.raw_run(), 0x100000u);
    r.skip(0x100000);
    EXPECT_EQ(r.feed("\r\n0\r\n\r\n", 7, out), 7u);
    EXPECT_TRUE(r.reusable());

    for (auto [stream, end] : {std::pair{"HTTP/1.1 200 OK\r\n\r\npart", state::done},
                               {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\npart", state::failed},
                               {"HTTP/1.1 200 OK\r\n", state::failed}, {"", state::failed}}) {
        r.expect(false, false);
        r.feed(stream, strlen(stream), out);
        r.finish();
        EXPECT_EQ(r.at(), end) << stream;
        EXPECT_EQ(r.started(), strlen(stream) > 17) << stream;
    }

    const size_t max = response_reader::max_head;
    for (size_t size : {max, max + 1, max + 100}) {
        // 24 bytes besides the x's: the head is `size` bytes long.
        std::string head = "HTTP/1.1 200 OK\r\nX: " + std::string(size - 24, 'x') + "\r\n\r\n";
        for (size_t piece : {head.size(), size_t(1000), size_t(1)}) {
            r.expect(false, false);
            out.clear();
            size_t used = 0;
            for (size_t at = 0; at < head.size() && used == at; at += piece)
                used += r.feed(head.data() + at, std::min(piece, head.size() - at), out);
            EXPECT_EQ(used, std::min(size, max)) << size << " in pieces of " << piece;
            EXPECT_EQ(r.failed(), size > max) << size << " in pieces of " << piece;
            EXPECT_EQ(out.size(), size > max ? 0 : size) << size << " in pieces of " << piece;
        }
    }
}

// At most max_interim interim answers, whole or in any chunking; none pass
// on to a client that cannot take them, though the final answer does; and
// why an answer failed, with whether anything of it had come.
TEST(response_reader, interim_answers_are_bounded_and_dropped_for_clients_that_cannot_take_them)
{
    const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n", final = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    std::string allowed, flood;
    for (int i = 0; i < response_reader::max_interim; i++)
        allowed += interim;
    flood = allowed + interim + final;
    for (size_t piece : {flood.size(), size_t(7), size_t(1)}) {
        for (bool pass : {true, false}) {
            response_reader r;
            base::byte_queue out;
            r.expect(false, false, pass);
            std::string stream = pass ? flood : allowed + final;
            size_t used = 0;
            for (size_t at = 0; at < stream.size() && used == at; at += piece)
                used += r.feed(stream.data() + at, std::min(piece, stream.size() - at), out);
            EXPECT_EQ(out.size(), pass ? allowed.size() : final.size()) << piece;
            EXPECT_EQ(r.at(), pass ? state::failed : state::done) << piece;
            EXPECT_EQ(r.why(), pass ? response_reader::failure::too_many_interim : response_reader::failure::none);
        }
    }

    response_reader r;
    base::byte_queue out;
    r.expect(false, false);
    r.finish();
    EXPECT_EQ(r.why(), response_reader::failure::closed);
    EXPECT_FALSE(r.heard());  // closed without a byte: a request that may be sent again
    r.expect(false, false);
    r.feed("HTTP/1.1 200", 12, out);
    r.finish();
    EXPECT_EQ(r.why(), response_reader::failure::closed);
    EXPECT_TRUE(r.heard());
    r.expect(false, false);
    r.feed("HTTP/1.1 200 OK\r\nContent-Length: 36893488147419103232\r\n\r\n", 57, out);
    EXPECT_EQ(r.why(), response_reader::failure::unreadable);
    EXPECT_TRUE(r.heard());
}
