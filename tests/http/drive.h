// Shared by the http tests: a connection that logs its handler calls, and
// helpers that drive on_recv and on_send the way the server does.
#pragma once

#include "http/http_connection.h"

#include <gtest/gtest.h>

// Logs H[method url] for on_headers, D for a run of on_data calls (bytes in
// `data`), R for on_request, but only counts in `raw` the on_request after
// each raw chunk. CONNECT makes a tunnel; `relay` answers relays_body(); with
// `hold` it is not ready for a request after each head, as the proxy.
struct recorder : http_connection {
    std::string log, data;
    int raw = 0;
    bool relay = false, hold = false, ready = true;

    explicit recorder(bool keep = true) { keep_alive = keep; }
    void on_headers() override
    {
        log += "H[" + method + " " + url + "]";
        keep_alive = keep_alive && method != "CONNECT";
        ready = !hold;
    }
    void on_data(char* d, int n) override
    {
        log += log.ends_with('D') ? "" : "D";
        data.append(d, size_t(n));
    }
    void on_request() override
    {
        log += completed ? "" : "R";
        raw += completed;
    }
    bool relays_body() const override { return relay; }
    bool ready_for_request() const override { return ready; }
};

inline void feed(http_connection& c, std::string bytes) { c.on_recv(bytes.data(), int(bytes.size())); }

// One on_send call, except that the length starts out invalid (on_send must
// store one on every path) and guard bytes follow the cap.
inline std::string take(http_connection& c, bool* more = nullptr)
{
    const int cap = connection::buffer_size;
    std::string buf(cap + 8, '#');
    int len = -1;
    bool r = c.on_send(buf.data(), cap, &len);
    if (more)
        *more = r;
    EXPECT_EQ(buf.substr(cap), "########") << "written past the cap";
    EXPECT_TRUE(len >= 0 && len <= cap) << len;
    return len < 0 || len > cap ? "<bad length>" : buf.substr(0, size_t(len));
}

// What running `run` prints to standard output.
template <typename F>
std::string printed(F run)
{
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}
