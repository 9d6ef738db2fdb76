#include "http/request_reader.h"

size_t request_reader::take_head(const char* data, size_t len, size_t max_length)
{
    // Empty lines before a request line are skipped (clients may send a CRLF
    // after a body), also when a CRLF is split between two chunks: a lone CR
    // waits in the head for its LF.
    size_t skipped = 0;
    while (skipped < len && (text.empty() || text == "\r")) {
        char c = data[skipped];
        if (text.empty() && c == '\r')
            text.push_back('\r');
        else if (text == "\r" && c == '\n')
            text.clear();
        else
            break;
        skipped++;
    }
    data += skipped;
    len -= skipped;
    if (len == 0)
        return skipped;
    size_t old = text.size();
    text.append(data, len);
    // The earlier bytes were searched already: go on from where a terminator
    // split by the chunk boundary could begin.
    size_t at = text.find("\r\n\r\n", old >= 3 ? old - 3 : 0);
    size_t head_bytes = at == std::string::npos ? text.size() : at + 4;
    if (max_length > 0 && head_bytes > max_length) {
        now = mode::refused;
        std::string().swap(text);
        return skipped + len;
    }
    if (at == std::string::npos)
        return skipped + len;
    // The terminator ends inside these bytes, so what follows it is the
    // body's or the next request's.
    size_t used = at + 4 - old;
    text.resize(at + 2);  // keeps the last header line's "\r\n"
    read_head();
    return skipped + used;
}

void request_reader::read_head()
{
    read_request_line();
    fields = request_facts::read(text);
    if (fields.chunked)
        decoder.reset();
    body_taken = 0;
    keeps = !(line.version == "HTTP/1.0" && !fields.names_option("keep-alive"));
    // Where a faulty head's body ends is unknown, so nothing after it can be
    // trusted to be the next request.
    if (!keeps || fields.problem != request_facts::fault::none)
        ends = true;
    now = mode::body;
}

// The searches run over the whole head and a failed one yields npos, one
// past which is offset 0: a request line with fewer than two spaces takes its
// parts from the header lines, or the version from the whole first line. A
// part whose end is not found, or is found at offset 0, stays empty.
void request_reader::read_request_line()
{
    const size_t none = std::string::npos;
    size_t s1 = text.find(' ');
    size_t s2 = text.find(' ', s1 + 1);
    size_t e = text.find("\r\n", s2 + 1);
    if (s1 != none && s1 > 0)
        line.method.assign(text, 0, s1);
    if (s2 != none && s2 > 0)
        line.url.assign(text, s1 + 1, s2 - s1 - 1);
    if (e != none && e > 0)
        line.version.assign(text, s2 + 1, e - s2 - 1);
}

size_t request_reader::take_body(const char* data, size_t len)
{
    size_t n;
    if (fields.chunked) {
        n = decoder.feed(data, len);
        if (decoder.malformed()) {
            // Nothing from the bad byte on can be trusted to be body or
            // request.
            now = mode::refused;
            ends = true;
        }
    } else {
        int64_t left = fields.content_length - body_taken;
        n = left < int64_t(len) ? size_t(left) : len;
    }
    body_taken += int64_t(n);
    return n;
}

void request_reader::next_request()
{
    // clear() keeps the strings' memory for the next request's bytes.
    text.clear();
    line.method.clear();
    line.url.clear();
    line.version.clear();
    fields = request_facts();
    decoder.reset();
    body_taken = 0;
    keeps = true;
    now = mode::head;
}

void request_reader::pass_through()
{
    ends = true;
    if (now == mode::head || now == mode::body)
        now = mode::raw;
}

std::string request_reader::take_held()
{
    std::string bytes;
    bytes.swap(waiting);
    return bytes;
}
