// The hold/resume mechanism: a subclass that is not ready for the next
// request keeps the bytes behind the current one unparsed until it resumes.
#include "tests/http/drive.h"

// Guards against parsing (or losing, or reordering) pipelined bytes while held.
TEST(hold, pipelined_requests_wait_until_the_subclass_is_ready)
{
    auto c = std::make_unique<recorder>();
    c->hold = true;
    feed(*c, "POST /1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcGET /2 HTTP/1.1\r\n\r\nGET /3 HTTP/1.1\r\n");
    EXPECT_EQ(c->log, "H[POST /1]DR");
    EXPECT_EQ(c->data, "abc");
    feed(*c, "\r\n");      // arrives behind what is held
    c->resume_requests();  // still not ready: nothing happens
    EXPECT_EQ(c->log, "H[POST /1]DR");

    c->ready = true;
    c->resume_requests();
    EXPECT_EQ(c->log, "H[POST /1]DRH[GET /2]R");
    c->ready = true;
    c->resume_requests();
    EXPECT_EQ(c->log, "H[POST /1]DRH[GET /2]RH[GET /3]R");
    EXPECT_TRUE(c->held.empty());
}
