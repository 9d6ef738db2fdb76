#include "base/base64.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

// Decodes text and expects the bytes, and the warning when `warns`.
static void expect_decode(const std::string& text, const std::string& bytes, bool warns = false)
{
    testing::internal::CaptureStdout();
    EXPECT_EQ(base::unbase64(text), bytes) << text;
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              warns ? "Warning: input string length not multiple of 4.\n" : "") << text;
}

// RFC 4648 vectors both ways, plus a zero byte and high bytes.
TEST(base64, rfc4648_vectors_round_trip)
{
    const char* pairs[][2] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"},
                              {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (auto& p : pairs) {
        EXPECT_EQ(base::base64(p[0]), p[1]);
        expect_decode(p[1], p[0]);
    }
    EXPECT_EQ(base::base64("a\0b"s), "YQBi");
    EXPECT_EQ(base::base64("\xff\xfe\xfd"), "//79");
}

// The decoder never rejects; these rules say what malformed text gives.
TEST(base64, decoder_tolerance)
{
    // An incomplete group warns once and adds nothing.
    expect_decode("Zm9", "", true);
    expect_decode("Zm9vY", "foo", true);
    // A zero byte ends the text, silently on a group boundary.
    expect_decode("Zm9v\0Zm9v"s, "foo");
    expect_decode("Zm9vZm\0v"s, "foo", true);
    // Padding ends only its own group; "=" up front carries the bits of 0.
    expect_decode("Zg==Zm8=Zm9v", "ffofoo");
    expect_decode("==AA", "\0\0\0"s);
    // Anything outside the alphabet, bytes from 0x80 included, counts as 1.
    expect_decode("B.-\x01", "\x04\x10\x41");
    expect_decode("\x80\xff\xc3\xa9", "\x04\x10\x41");
}
