// A second, deliberately plain reading of HTTP/1.1 request framing, written
// apart from the connection's own, for the fuzzer to compare against: where
// the two disagree on where a body ends, or on which lines are fields at all,
// an origin and the proxy could too.
//
// Heads: the request line is method SP target SP "HTTP/1." DIGIT, the method
// a token, the target one or more bytes that are neither controls, blanks nor
// DEL; every header line is a token, a colon and any value (a folded line, a
// line without a colon, a name with a blank, NUL, CR, "@" or quote in it is
// refused); one Host field at most; Content-Length values (all lines, comma
// lists) must be 1 to 18 digits and equal; Transfer-Encoding codings (all
// lines) must end in "chunked" and not come with a Content-Length.
//
// Chunked bodies, line by line: a size line is 1 to 16 hex digits and
// extensions ( BWS ";" BWS token [ BWS "=" BWS ( token / quoted-string ) ] ),
// then CRLF; data and CRLF; after the zero-size chunk, trailer lines
// (token ":" and any bytes but CR, LF and NUL) and an empty line. Size and
// trailer lines hold at most 8192 bytes before their CRLF (the connection's
// documented bound). Each line is checked as text of its own, so the first
// bad byte is found by what the text could still become, not by a state
// machine like the connection's.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace reference {

struct framing {
    bool refused = false;
    bool chunked = false;
    int64_t length = 0;
};

inline std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

inline std::string strip(const std::string& s)
{
    size_t a = s.find_first_not_of(" \t");
    return a == std::string::npos ? "" : s.substr(a, s.find_last_not_of(" \t") - a + 1);
}

inline std::vector<std::string> split_list(const std::string& value)
{
    std::vector<std::string> out;
    size_t from = 0;
    for (size_t comma; (comma = value.find(',', from)) != std::string::npos; from = comma + 1)
        out.push_back(strip(value.substr(from, comma - from)));
    out.push_back(strip(value.substr(from)));
    return out;
}

// The token characters as RFC 9110 lists them. (A NUL is never one: strchr
// would find the list's own terminator, hence the explicit test.)
inline bool tchar(char c)
{
    return c != '\0' && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("!#$%&'*+-.^_`|~", c));
}

inline bool token(const std::string& s) { return !s.empty() && std::all_of(s.begin(), s.end(), tchar); }

inline bool request_line_ok(const std::string& line)
{
    if (std::count(line.begin(), line.end(), ' ') != 2)
        return false;
    size_t a = line.find(' '), b = line.find(' ', a + 1);
    std::string method = line.substr(0, a), target = line.substr(a + 1, b - a - 1), version = line.substr(b + 1);
    bool target_ok = !target.empty() && std::all_of(target.begin(), target.end(), [](char c) {
        return static_cast<unsigned char>(c) > 0x20 && c != 0x7f;
    });
    return token(method) && target_ok && version.size() == 8 && version.compare(0, 7, "HTTP/1.") == 0 &&
           std::isdigit(static_cast<unsigned char>(version[7]));
}

// head: request line and header lines, each ending in CRLF, no blank line.
inline framing read_head(const std::string& head)
{
    framing f;
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = head.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(head.substr(at, end - at));
    if (lines.empty() || !request_line_ok(lines[0])) {
        f.refused = true;
        return f;
    }
    std::vector<std::string> lengths, codings;
    bool has_coding = false;
    int hosts = 0;
    for (size_t i = 1; i < lines.size(); i++) {
        const std::string& line = lines[i];
        size_t colon = line.find(':');
        if (colon == std::string::npos || !token(line.substr(0, colon))) {
            f.refused = true;
            continue;
        }
        std::string name = lower(line.substr(0, colon));
        std::vector<std::string> values = split_list(line.substr(colon + 1));
        if (name == "host")
            hosts++;
        else if (name == "content-length")
            lengths.insert(lengths.end(), values.begin(), values.end());
        else if (name == "transfer-encoding") {
            has_coding = true;
            for (const std::string& v : values)
                if (!v.empty())
                    codings.push_back(lower(v));
        }
    }
    if (hosts > 1)
        f.refused = true;
    for (const std::string& v : lengths)
        if (v.empty() || v.size() > 18 || v.find_first_not_of("0123456789") != std::string::npos)
            f.refused = true;
    if (f.refused)
        return f;
    for (const std::string& v : lengths)
        if (std::stoll(v) != std::stoll(lengths[0]))
            f.refused = true;
    if (has_coding && (!lengths.empty() || codings.empty() || codings.back() != "chunked"))
        f.refused = true;
    if (f.refused)
        return f;
    f.chunked = has_coding;
    f.length = lengths.empty() ? 0 : std::stoll(lengths[0]);
    return f;
}

// What the text of one size or trailer line (the bytes before its first CR)
// amounts to: `bad` is the offset of the first byte that no line of the
// grammar could have there (npos: none); otherwise `whole` says whether the
// text is a complete line already or could only become one with more bytes.
struct line_text {
    size_t bad = std::string::npos;
    bool whole = false;
};

inline bool blank(char c) { return c == ' ' || c == '\t'; }

// Inside a quoted-string: qdtext, and the byte after a backslash.
inline bool qdtext(unsigned char c)
{
    return c == '\t' || c == ' ' || c == 0x21 || (c >= 0x23 && c <= 0x5b) || (c >= 0x5d && c <= 0x7e) || c >= 0x80;
}
inline bool escapable(unsigned char c) { return c == '\t' || c == ' ' || (c >= 0x21 && c <= 0x7e) || c >= 0x80; }

// size [ extensions ], read left to right; at most 16 digits, leading zeros
// counted.
inline line_text size_line(std::string_view s)
{
    auto fail = [](size_t i) { return line_text{i, false}; };
    auto ends = [](bool whole) { return line_text{std::string::npos, whole}; };
    size_t i = 0, n = s.size();
    for (; i < n && std::isxdigit(static_cast<unsigned char>(s[i])); i++)
        if (i == 16)
            return fail(i);
    if (i == 0)
        return n == 0 ? ends(false) : fail(0);
    for (;;) {  // here a complete line could end; any more is one more extension
        if (i == n)
            return ends(true);
        while (i < n && blank(s[i]))
            i++;
        if (i == n)
            return ends(false);
        if (s[i] != ';')
            return fail(i);
        for (i++; i < n && blank(s[i]); i++) {
        }
        if (i == n)
            return ends(false);
        if (!tchar(s[i]))
            return fail(i);
        while (i < n && tchar(s[i]))
            i++;
        size_t j = i;  // a value may follow, after blanks
        while (j < n && blank(s[j]))
            j++;
        if (j == n || s[j] != '=')
            continue;  // the top of the loop judges what follows the name
        for (i = j + 1; i < n && blank(s[i]); i++) {
        }
        if (i == n)
            return ends(false);
        if (s[i] == '"') {
            for (i++;; i++) {
                if (i == n)
                    return ends(false);
                unsigned char c = static_cast<unsigned char>(s[i]);
                if (c == '"')
                    break;
                if (c == '\\') {
                    if (++i == n)
                        return ends(false);
                    if (!escapable(static_cast<unsigned char>(s[i])))
                        return fail(i);
                } else if (!qdtext(c))
                    return fail(i);
            }
            i++;
        } else if (tchar(s[i])) {
            while (i < n && tchar(s[i]))
                i++;
        } else
            return fail(i);
    }
}

// name ":" value: the name a token, the value without LF or NUL (a CR would
// have ended the text).
inline line_text trailer_line(std::string_view s)
{
    size_t colon = s.find(':');
    size_t name_end = colon == std::string::npos ? s.size() : colon;
    for (size_t i = 0; i < name_end; i++)
        if (!tchar(s[i]))
            return {i, false};
    if (colon == 0)
        return {0, false};
    if (colon == std::string::npos)
        return {std::string::npos, false};
    for (size_t i = colon + 1; i < s.size(); i++)
        if (s[i] == '\n' || s[i] == '\0')
            return {i, false};
    return {std::string::npos, true};
}

enum class body_end { complete, bad, unfinished };

// Follows a chunked body from its first byte: complete (*end one past the
// final CRLF), bad (*end at the first byte that breaks the grammar) or
// unfinished (all of it belongs to the body so far).
inline body_end chunked_end(const std::string& b, size_t* end)
{
    const size_t max_line = 8192, n = b.size();
    auto bad = [&](size_t where) {
        *end = where;
        return body_end::bad;
    };
    // Expects CRLF at i; returns true when it is there, else sets the outcome.
    auto crlf = [&](size_t i, body_end* out) {
        if (i >= n || (b[i] == '\r' && i + 1 == n))
            *out = body_end::unfinished;
        else if (b[i] != '\r')
            *out = bad(i);
        else if (b[i + 1] != '\n')
            *out = bad(i + 1);
        else
            return true;
        return false;
    };
    // The line from `at` to its first CR, judged by `judge`: true with *cr at
    // that CR (LF checked) when it is a whole line within the bound.
    auto line = [&](size_t at, line_text (*judge)(std::string_view), size_t* cr, body_end* out) {
        size_t e = std::min(b.find('\r', at), n);
        line_text t = judge(std::string_view(b).substr(at, e - at));
        // The bound is broken by the first byte past 8192 that is not the
        // line's own CR, unless the grammar broke earlier.
        size_t stop = t.bad != std::string::npos ? at + t.bad : e;
        if (stop > at + max_line) {
            *out = bad(at + max_line);
            return false;
        }
        if (t.bad != std::string::npos) {
            *out = bad(at + t.bad);
            return false;
        }
        if (e == n) {
            *out = body_end::unfinished;
            return false;
        }
        if (!t.whole) {  // a CR where the line cannot end yet
            *out = bad(e);
            return false;
        }
        *cr = e;
        return crlf(e, out);
    };
    body_end out;
    size_t at = 0, cr;
    for (;;) {  // chunks
        if (!line(at, size_line, &cr, &out))
            return out;
        uint64_t size = 0;
        for (size_t i = at; i < cr && std::isxdigit(static_cast<unsigned char>(b[i])); i++)
            size = size * 16 + uint64_t(std::stoi(std::string(1, b[i]), nullptr, 16));
        at = cr + 2;
        if (size == 0)
            break;
        if (uint64_t(n - at) <= size)
            return body_end::unfinished;
        at += size_t(size);
        if (!crlf(at, &out))
            return out;
        at += 2;
    }
    for (;;) {  // trailer lines, then the empty line
        if (at == n)
            return body_end::unfinished;
        if (b[at] == '\r') {
            if (!crlf(at, &out))
                return out;
            *end = at + 2;
            return body_end::complete;
        }
        if (!line(at, trailer_line, &cr, &out))
            return out;
        at = cr + 2;
    }
}

}  // namespace reference
