// The access log's line for a record: its fields in their order, nulls,
// JSON escaping of what clients sent, and the time stamp.
#include "proxy/access_log.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

socket_address v6(const char* text, uint16_t port)
{
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET6, text, &six.sin6_addr), 1);
    return socket_address(reinterpret_cast<sockaddr*>(&six), sizeof six);
}

socket_address v4(const char* text, uint16_t port)
{
    sockaddr_in four{};
    four.sin_family = AF_INET;
    four.sin_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET, text, &four.sin_addr), 1);
    return socket_address(reinterpret_cast<sockaddr*>(&four), sizeof four);
}

constexpr int64_t dec_7_2026_10_14_03_231 = 1796638443231;

}  // namespace

TEST(AccessLogLine, EveryFieldInItsOrder)
{
    exchange_record r;
    r.started_ms = 5000;
    r.connected_ms = 5012;
    r.ended_ms = 5041;
    r.client = v6("2001:db8::5", 51234);
    r.user = "alice";
    r.method = "GET";
    r.target = "http://deb.debian.org/debian/";
    r.host = "deb.debian.org";
    r.port = 80;
    r.status = 200;
    r.upstream = v6("2001:db8::7", 443);
    r.pooled = true;
    r.bytes_in = 118;
    r.bytes_out = 151394;
    EXPECT_EQ(access_log::line(r, dec_7_2026_10_14_03_231),
              R"({"time":"2026-12-07T10:14:03.231Z","client":"[2001:db8::5]:51234","user":"alice","method":"GET",)"
              R"("target":"http://deb.debian.org/debian/","host":"deb.debian.org","port":80,"status":200,)"
              R"("outcome":"ok","upstream":"[2001:db8::7]:443","pooled":true,"bytes_in":118,"bytes_out":151394,)"
              R"("connect_ms":12,"duration_ms":41})");
}

// A head too long to read: no user, method, target, origin or connection;
// a client gone before anything was sent: no status either.
TEST(AccessLogLine, WhatIsNotKnownIsNull)
{
    exchange_record r;
    r.started_ms = r.ended_ms = 700;
    r.client = v4("192.0.2.10", 1);
    r.status = 431;
    r.outcome = exchange_outcome::too_large;
    r.bytes_out = 127;
    EXPECT_EQ(access_log::line(r, 0),
              R"({"time":"1970-01-01T00:00:00.000Z","client":"192.0.2.10:1","user":null,"method":null,)"
              R"("target":null,"host":null,"port":null,"status":431,"outcome":"too_large","upstream":null,)"
              R"("pooled":false,"bytes_in":0,"bytes_out":127,"connect_ms":null,"duration_ms":0})");
    r.status = 0;
    r.outcome = exchange_outcome::client_gone;
    EXPECT_NE(access_log::line(r, 0).find(R"("status":null,"outcome":"client_gone")"), std::string::npos);
}

// What a client sent stays one JSON string however it was spelt: quotes and
// backslashes escaped, every control byte (NUL and DEL among them) a \u
// escape JSON parsers read, other characters as UTF-16 escapes, and a byte
// that is no UTF-8 the replacement character's.
TEST(AccessLogLine, ClientTextIsEscapedForJson)
{
    exchange_record r;
    r.client = v4("127.0.0.1", 2);
    r.method = std::string("G\0T", 3);
    const char target[] = "http://a.test/\"q\"\\x\x01\x1f\n\r\t\x7f\0end/caf\xc3\xa9/\xf0\x9f\x98\x80/\xff";
    r.target.assign(target, sizeof target - 1);
    std::string line = access_log::line(r, 0);
    EXPECT_NE(line.find(R"("method":"G\u0000T","target":"http://a.test/\"q\"\\x\u0001\u001f\n\r\t\u007f\u0000end/)"
                        R"(caf\u00e9/\ud83d\ude00/\uffff",)"),
              std::string::npos)
        << line;
}

// UTC with milliseconds, zero-padded, at the ends of a day, a month and a
// leap year, whatever the local time zone.
TEST(AccessLogLine, TimeStamps)
{
    std::string zone = getenv("TZ") ? getenv("TZ") : "";
    setenv("TZ", "IST-5:30", 1);
    tzset();
    exchange_record r;
    r.client = v4("127.0.0.1", 2);
    auto stamp = [&](int64_t ms) { return access_log::line(r, ms).substr(9, 24); };
    EXPECT_EQ(stamp(946684800007), "2000-01-01T00:00:00.007Z");
    EXPECT_EQ(stamp(1709251199999), "2024-02-29T23:59:59.999Z");
    EXPECT_EQ(stamp(1798761599999), "2026-12-31T23:59:59.999Z");
    zone.empty() ? unsetenv("TZ") : setenv("TZ", zone.c_str(), 1);
    tzset();
}
