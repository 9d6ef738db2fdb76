// Drives a connection as the server does, without a socket: the http unit
// tests and the fuzz targets share it, so both exercise the same calls.
//
// A broken on_send contract (a length outside 0..cap, bytes written past cap)
// goes to DRIVE_CHECK: a failed expectation in a unit test, an abort in a fuzz
// target (which includes fuzz/check.h first and never links GoogleTest).
#pragma once

#include "http/http_connection.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifdef FUZZ_CHECK
#define DRIVE_CHECK(ok, what) FUZZ_CHECK(ok, what)
#else
#include <gtest/gtest.h>
#define DRIVE_CHECK(ok, what) EXPECT_TRUE(ok) << what

// What running `run` prints to standard output.
template <typename F>
std::string printed(F run)
{
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}
#endif

// Logs H[method url] for on_headers, D for a run of on_data calls (bytes in
// `data`), R for on_request, B for on_framing_broken, L for
// on_head_too_long, but only counts in `raw` the on_request after each raw
// chunk. Answers nothing itself. With `relay`, relays_body() is true
// and CONNECT makes a tunnel, as in the proxy; with `hold` it is not ready
// for a request after each head until `ready` is set again.
struct recorder : http_connection {
    std::string log, data;
    int raw = 0;
    bool relay = false, hold = false, ready = true;

    void on_headers() override
    {
        log += "H[" + method() + " " + url() + "]";
        if (relay && method() == "CONNECT")
            end_requests();
        ready = !hold;
    }
    void on_data(char* d, int n) override
    {
        log += log.ends_with('D') ? "" : "D";  // the chunking splits the calls
        data.append(d, size_t(n));
    }
    void on_request() override
    {
        bool tunnel = reading() == request_reader::mode::raw;
        log += tunnel ? "" : "R";
        raw += tunnel;
    }
    void on_framing_broken() override { log += "B"; }
    void on_head_too_long() override { log += "L"; }
    bool relays_body() const override { return relay; }
    bool ready_for_request() const override { return ready; }
};

// The handshake of RFC 6455's example: a connection that serves WebSocket
// upgrades itself answers it with the accept value s3pPLMBiTxaQ9kYGzzhZRbK+xOo=.
inline const std::string websocket_upgrade =
    "GET /chat HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// One chunk for on_recv, in a buffer of exactly its size: a sanitizer sees
// any read past its end.
inline void feed(connection& c, const std::string& bytes)
{
    std::unique_ptr<char[]> chunk(new char[bytes.size()]);
    memcpy(chunk.get(), bytes.data(), bytes.size());
    c.on_recv(chunk.get(), int(bytes.size()));
}

// One on_send call with room for cap bytes, copied or lent; *more gets
// whether the connection stays open after them (its result does not finish
// it). Guard bytes follow the cap.
inline std::string take(connection& c, bool* more = nullptr, int cap = connection::buffer_size)
{
    static std::unique_ptr<char[]> buf(new char[connection::buffer_size + 64]);
    memset(buf.get() + cap, 0xA5, 64);
    handover h = c.on_send(buf.get(), cap);
    if (more)
        *more = !h.finishes();
    DRIVE_CHECK(std::count(buf.get() + cap, buf.get() + cap + 64, char(0xA5)) == 64, "on_send wrote past the cap");
    DRIVE_CHECK(h.length >= 0 && h.length <= cap, "on_send handed over a length outside 0..cap");
    DRIVE_CHECK(h.length == 0 || h.pipe < 0, "on_send handed over a pipe, which is not driven here");
    if (h.length < 0 || h.length > cap || (h.length > 0 && h.pipe >= 0))
        return "<bad output>";
    return std::string(h.data ? h.data : buf.get(), size_t(h.length));
}

// Feeds `stream` in chunks whose sizes come from `sizes` in turn (0 or none:
// the rest at once) and, after each, takes output until on_send has none or
// finishes the connection, as the server does. Unlike the server it goes on feeding
// after a close, so that every chunking sees the whole stream. Returns the
// output; *more gets whether the last on_send result left it open.
inline std::string run(connection& c, const std::string& stream, const std::vector<size_t>& sizes = {},
                       int cap = connection::buffer_size, bool* more = nullptr)
{
    std::string out;
    bool open = true;
    for (size_t at = 0, turn = 0; at < stream.size(); turn++) {
        size_t n = sizes.empty() ? 0 : sizes[turn % sizes.size()];
        n = n == 0 ? stream.size() - at : std::min(n, stream.size() - at);
        feed(c, stream.substr(at, n));
        at += n;
        for (bool going = true; going;) {
            std::string piece = take(c, &open, cap);
            out += piece;
            going = open && !piece.empty();
        }
    }
    if (more)
        *more = open;
    return out;
}
