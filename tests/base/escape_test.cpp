#include "base/escape.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

// Escapes; \u of decoded UTF-8 (pairs above U+FFFF); \uffff per byte of a broken sequence.
TEST(escape, json_mode)
{
    const std::string bad = "\\uffff";
    const std::string b2 = bad + bad, b4 = b2 + b2;
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"a/b ~}", "a/b ~}"}, {"a\0b"s, "a\\0b"}, {"\x01\x1f\x7f", "\\u0001\\u001f\\u007f"},
        {"\"\\\t\b\f\n\r", "\\\"\\\\\\t\\b\\f\\n\\r"}, {"\xc3\xa9", "\\u00e9"},
        {"\xdf\xbf\xe0\xa0\x80", "\\u07ff\\u0800"}, {"\xed\x9f\xbf\xee\x80\x80", "\\ud7ff\\ue000"},  // range edges
        {"\xf0\x9f\x98\x80", "\\ud83d\\ude00"}, {"\xf4\x8f\xbf\xbf", "\\udbff\\udfff"},
        {"\x80", bad}, {"\xc3", bad}, {"\xc3x", bad + "x"}, {"\xe0\xa0", b2}, {"\xc3\0\xa9"s, bad + "\\0" + bad},
        {"\xc1\xbf", b2}, {"\xf0\x8f\xbf\xbf", b4}, {"\xed\xa0\x80", b2 + bad},  // overlong, surrogate
        {"\xf4\x90\x80\x80", b4}, {"\xf8\x88\x80\x80\x80", b4 + bad},  // above U+10FFFF, lead 0xF8
    };
    for (auto& [text, want] : cases)
        EXPECT_EQ(base::escape(text, true), want) << base::escape(text, false);
}

// Log lines: no peer may forge a line or send a terminal escape; UTF-8 stays.
TEST(escape_controls, writes_control_bytes_as_hex_and_keeps_the_rest)
{
    EXPECT_EQ(base::escape_controls("a\r\nFake: line\x1b[2J\x7f"), "a\\x0d\\x0aFake: line\\x1b[2J\\x7f");
    EXPECT_EQ(base::escape_controls("\0b\\"s), "\\x00b\\");
    EXPECT_EQ(base::escape_controls("b\xc3\xbc" "cher"), "b\xc3\xbc" "cher");
}
