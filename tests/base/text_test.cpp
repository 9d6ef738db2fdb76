// Text codecs and helpers: base64, escaping, search, number formatting,
// Punycode and SHA-1.
#include "base/base64.h"
#include "base/escape.h"
#include "base/find.h"
#include "base/num.h"
#include "base/punycode.h"
#include "base/sha1.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <string>
#include <vector>

using namespace std::string_literals;

// RFC 4648 vectors both ways, a zero byte too. The decoder never rejects: an
// incomplete group warns once and adds nothing; a zero byte ends the text
// (silently on a group boundary); padding ends only its own group, "=" up
// front carrying the bits of 0; anything outside the alphabet, bytes from
// 0x80 included, counts as 1.
TEST(base64, round_trips_and_decoder_tolerance)
{
    struct row { std::string text, bytes; bool warns = false; };
    std::vector<row> cases = {
        {"Zm9", "", true}, {"Zm9vY", "foo", true}, {"Zm9v\0Zm9v"s, "foo"}, {"Zm9vZm\0v"s, "foo", true},
        {"Zg==Zm8=Zm9v", "ffofoo"}, {"==AA", "\0\0\0"s}, {"B.-\x01", "\x04\x10\x41"}, {"\x80\xff\xc3\xa9", "\x04\x10\x41"},
    };
    for (auto [bytes, text] : {std::pair{""s, ""}, {"f"s, "Zg=="}, {"fo"s, "Zm8="}, {"foo"s, "Zm9v"},
                               {"foob"s, "Zm9vYg=="}, {"fooba"s, "Zm9vYmE="}, {"foobar"s, "Zm9vYmFy"},
                               {"\xff\xfe\xfd"s, "//79"}, {"a\0b"s, "YQBi"}}) {
        EXPECT_EQ(base::base64(bytes), text);
        cases.push_back({text, bytes});
    }
    for (auto& [text, bytes, warns] : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(base::unbase64(text), bytes) << text;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), warns ? "Warning: input string length not multiple of 4.\n" : "");
    }
}

// Escapes; \u of decoded UTF-8 (pairs above U+FFFF); \uffff per byte of a broken sequence.
TEST(escape, json_mode)
{
    const std::string bad = "\\uffff", b2 = bad + bad, b4 = b2 + b2;
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
    // C1 controls as single bytes and as UTF-8 (NEL, CSI), and the line and paragraph separators; the
    // characters around them, other UTF-8 (a continuation byte 0x81 inside one) and other stray bytes stay.
    EXPECT_EQ(base::escape_controls("a\x9b" "2J\x85\xc2\x85\xc2\x9b\xe2\x80\xa8\xe2\x80\xa9\xc4\x81\xe2\x80\xa7\xa0\xff"),
              "a\\x9b2J\\x85\\xc2\\x85\\xc2\\x9b\\xe2\\x80\\xa8\\xe2\\x80\\xa9\xc4\x81\xe2\x80\xa7\xa0\xff");
    EXPECT_EQ(base::escape_controls("\xe2\x80"), "\xe2\\x80");  // cut short: 0x80 is a lone C1 byte
}

// Folds ASCII letters only, on both sides.
TEST(find, folds_ascii_letters_only)
{
    EXPECT_EQ(base::find("GET / HTTP/1.1\r\nCONTENT-Length: 5\r\n", "\r\ncontent-length"), 14u);
    EXPECT_EQ(base::find("xaBc", "AbC"), 1u);
    EXPECT_EQ(base::find("\xc3\xa9", "\xc3\x89"), std::string::npos);
    EXPECT_EQ(base::find("[", "{"), std::string::npos);
}

// Whole values in all their digits (309 and a sign at most), others as %g.
// Callers never pass NaN or the infinities (JSON spells them itself).
TEST(num, formats)
{
    for (auto [n, want] : {std::pair{-42.0, "-42"}, {1e20, "100000000000000000000"}, {2.5, "2.5"}, {1e-5, "1e-05"}})
        EXPECT_EQ(base::num(n), want);
    std::string max = base::num(-DBL_MAX);
    EXPECT_EQ(max.size(), 310u);
    EXPECT_EQ(max.substr(0, 18), "-17976931348623157");
}

// RFC 3492 samples (no basic code point; basics of both cases among the
// others), letter case kept, the highest code point. Invalid UTF-8, or a
// first delta ((0x10FFFF - 128) * (basics + 1)) past 32 bits, leaves a label
// unchanged.
TEST(punycode, encodes_labels_or_leaves_them_unchanged)
{
    const std::pair<std::string, std::string> cases[] = {
        {"\u0644\u064A\u0647\u0645\u0627\u0628\u062A\u0643\u0644\u0645\u0648\u0634\u0639\u0631\u0628\u064A\u061F",
         "egbpdaj6bu4bxfgehfvwxn"},
        {"3\u5E74B\u7D44\u91D1\u516B\u5148\u751F", "3B-ww4c5e180e575a65lsy2b"},
        {"b\u00FCcher", "bcher-kva"}, {"B\u00FCcher", "Bcher-kva"}, {"\U0010FFFF", "dn32g"}, {"", ""},
        {std::string(3000, 'a') + "\U0010FFFF", std::string(3000, 'a') + "-7p74104y"},
    };
    for (auto& [label, want] : cases)
        EXPECT_EQ(base::punycode(label), want) << want;
    for (std::string label : {"Example-COM"s, "b\xfc" "cher"s, "\xc3"s, "a\xed\xa0\x80"s, "\xf4\x90\x80\x80"s,
                              "\xc0\xaf"s, std::string(4000, 'a') + "\U0010FFFF"})
        EXPECT_EQ(base::punycode(label), label);
}

// FIPS 180 vectors, and 55/56 bytes: the length field fits, or spills into
// a block of its own.
TEST(sha1, known_digests)
{
    const std::pair<std::string, const char*> cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
    };
    for (auto& [text, digest] : cases) {
        std::string hex;
        for (unsigned char b : base::sha1(text))
            hex += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
        EXPECT_EQ(hex, digest) << text.size() << " bytes";
    }
}
