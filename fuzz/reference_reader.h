// A second, deliberately plain reading of HTTP/1.1 request framing, written
// apart from the connection's own, for the fuzzer to compare against: where
// the two disagree on where a body ends, an origin and the proxy could too.
//
// Heads: the request line needs two spaces and no CR, LF or NUL; a header
// line that begins with a blank, or has a blank in its name, is refused;
// Content-Length values (all lines, comma lists) must be 1 to 18 digits and
// equal; Transfer-Encoding codings (all lines) must end in "chunked" and not
// come with a Content-Length. Chunked bodies: hex size, optional blanks and
// ";extension", CRLF, data, CRLF, ..., "0", trailer lines, CRLF; size and
// trailer lines at most 8192 bytes (the connection's documented bound).
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
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

// head: request line and header lines, each ending in CRLF, no blank line.
inline framing read_head(const std::string& head)
{
    framing f;
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = head.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(head.substr(at, end - at));
    if (lines.empty() || std::count(lines[0].begin(), lines[0].end(), ' ') < 2 ||
        lines[0].find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        f.refused = true;
        return f;
    }
    std::vector<std::string> lengths, codings;
    bool has_coding = false;
    for (size_t i = 1; i < lines.size(); i++) {
        const std::string& line = lines[i];
        if (line.empty() || line[0] == ' ' || line[0] == '\t')
            f.refused = true;
        size_t colon = line.find(':');
        if (line.empty() || colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        if (name.find_first_of(" \t") != std::string::npos)
            f.refused = true;
        std::vector<std::string> values = split_list(line.substr(colon + 1));
        if (lower(name) == "content-length")
            lengths.insert(lengths.end(), values.begin(), values.end());
        else if (lower(name) == "transfer-encoding") {
            has_coding = true;
            for (const std::string& v : values)
                if (!v.empty())
                    codings.push_back(lower(v));
        }
    }
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
    auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    // Expects CRLF at i; returns 0 when it is there, else the outcome.
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
    body_end out;
    size_t at = 0;
    for (;;) {  // chunks
        if (at == n)
            return body_end::unfinished;
        if (!hex(b[at]))
            return bad(at);
        uint64_t size = 0;
        size_t i = at;
        for (; i < n && hex(b[i]); i++) {
            uint64_t digit = uint64_t(std::stoi(std::string(1, b[i]), nullptr, 16));
            if (size > (UINT64_MAX - digit) / 16 || i - at + 1 > max_line)
                return bad(i);
            size = size * 16 + digit;
        }
        bool blanks = false;
        for (; i < n && (b[i] == ' ' || b[i] == '\t'); i++, blanks = true)
            if (i - at + 1 > max_line)
                return bad(i);
        if (i < n && b[i] == ';') {
            for (; i < n && b[i] != '\r'; i++)
                if (b[i] == '\n' || i - at + 1 > max_line)
                    return bad(i);
        } else if (i < n && blanks)
            return bad(i);  // blanks may only come before an extension
        if (!crlf(i, &out))
            return out;
        at = i + 2;
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
        if (at < n && b[at] == '\r') {
            if (!crlf(at, &out))
                return out;
            *end = at + 2;
            return body_end::complete;
        }
        size_t i = at;
        for (; i < n && b[i] != '\r'; i++)
            if (b[i] == '\n' || i - at + 1 > max_line)
                return bad(i);
        if (i == n)
            return body_end::unfinished;
        if (!crlf(i, &out))
            return out;
        at = i + 2;
    }
}

}  // namespace reference
