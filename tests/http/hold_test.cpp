// A subclass that is not ready for the next request keeps its bytes unparsed
// until it resumes.
#include "http/http_connection.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct holder : http_connection {
    bool ready = true;
    std::vector<std::string> heads;
    std::string data;

    bool ready_for_request() const override { return ready; }
    void on_headers() override
    {
        heads.push_back(method + " " + url);
        ready = false;  // as if its origin were still being reached
    }
    void on_data(char* p, int n) override { data.append(p, size_t(n)); }
    void on_request() override {}

    void feed(const std::string& bytes)
    {
        std::string copy = bytes;
        on_recv(copy.data(), int(copy.size()));
    }
};

TEST(hold, pipelined_requests_wait_until_the_subclass_is_ready)
{
    holder h;
    h.feed("POST /1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /2 HTTP/1.1\r\n\r\nGET /3 HTTP/1.1\r\n");
    EXPECT_EQ(h.heads, std::vector<std::string>{"POST /1"});
    EXPECT_EQ(h.data, "abc");
    h.feed("\r\n");  // arrives behind what is held
    EXPECT_EQ(h.heads.size(), 1u);

    h.resume_requests();  // still not ready: nothing happens
    EXPECT_EQ(h.heads.size(), 1u);

    h.ready = true;
    h.resume_requests();
    EXPECT_EQ(h.heads, (std::vector<std::string>{"POST /1", "GET /2"}));
    h.ready = true;
    h.resume_requests();
    EXPECT_EQ(h.heads, (std::vector<std::string>{"POST /1", "GET /2", "GET /3"}));
    EXPECT_TRUE(h.held.empty());
}

}  // namespace
