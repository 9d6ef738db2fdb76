#include "base/escape.h"

#include <gtest/gtest.h>

#include <string>

#include "base/utf8.h"

namespace {

using namespace std::string_literals;

TEST(escape, ascii_and_control_bytes)
{
    EXPECT_EQ(base::escape("", true), "");
    EXPECT_EQ(base::escape("\"\\\t\b\f\n\r", true), "\\\"\\\\\\t\\b\\f\\n\\r");
    EXPECT_EQ(base::escape("a/b ~}", true), "a/b ~}");
    EXPECT_EQ(base::escape("\x01\x1f\x7f", true), "\\u0001\\u001f\\u007f");
    EXPECT_EQ(base::escape("\x01\x1f\x7f", false), "\\x01\\x1f\\x7f");
    EXPECT_EQ(base::escape("a\0b"s, true), "a\\0b");
    EXPECT_EQ(base::escape("a\0b"s, false), "a\\0b");
}

TEST(escape, utf8_in_both_modes)
{
    EXPECT_EQ(base::escape("\xc3\xa9", true), "\\u00e9");
    EXPECT_EQ(base::escape("\xc3\xa9", false), "\\xc3\\xa9");
    EXPECT_EQ(base::escape("\xf0\x9f\x98\x80", true), "\\ud83d\\ude00");
    EXPECT_EQ(base::escape("\xf4\x8f\xbf\xbf", true), "\\udbff\\udfff");
}

TEST(escape, broken_utf8_costs_one_uffff_per_examined_byte)
{
    const std::string bad = "\\uffff";
    EXPECT_EQ(base::escape("\x80", true), bad);
    EXPECT_EQ(base::escape("\xc3", true), bad);            // lead at the end
    EXPECT_EQ(base::escape("\xc3x", true), bad + "x");     // continuation missing
    EXPECT_EQ(base::escape("\xc3\0\xa9"s, true), bad + "\\0" + bad);
    EXPECT_EQ(base::escape("\xc0\x80", true), bad + bad);  // overlong
    EXPECT_EQ(base::escape("\xed\xa0\x80", true), bad + bad + bad);  // surrogate
    EXPECT_EQ(base::escape("\xf4\x90\x80\x80", true), bad + bad + bad + bad);
    EXPECT_EQ(base::escape("\xf8\x88\x80\x80\x80", true), bad + bad + bad + bad + bad);
    EXPECT_EQ(base::escape("\xff", false), "\\xff");
}

TEST(utf8_decode, boundaries)
{
    struct { const char* text; int32_t point; int length; } cases[] = {
        {"\xdf\xbf", 0x7ff, 2}, {"\xe0\xa0\x80", 0x800, 3}, {"\xed\x9f\xbf", 0xd7ff, 3},
        {"\xee\x80\x80", 0xe000, 3}, {"\xf4\x8f\xbf\xbf", 0x10ffff, 4},
        {"\xc1\xbf", -1, 1}, {"\xf0\x8f\xbf\xbf", -1, 1}, {"\xfe", -1, 1}, {"\xe0\xa0", -1, 1},
    };
    for (auto& c : cases) {
        int length = 0;
        EXPECT_EQ(base::utf8_decode(c.text, &length), c.point) << base::escape(c.text, false);
        EXPECT_EQ(length, c.length) << base::escape(c.text, false);
    }
}

}  // namespace

TEST(escape_controls, writes_control_bytes_as_hex_and_keeps_the_rest)
{
    EXPECT_EQ(base::escape_controls("GET /a HTTP/1.1"), "GET /a HTTP/1.1");
    EXPECT_EQ(base::escape_controls("a\r\nFake: line\x1b[2J\x7f"), "a\\x0d\\x0aFake: line\\x1b[2J\\x7f");
    EXPECT_EQ(base::escape_controls(std::string("\0b\\", 3)), "\\x00b\\");
    EXPECT_EQ(base::escape_controls("b\xc3\xbc" "cher"), "b\xc3\xbc" "cher");  // UTF-8 is printable
}
