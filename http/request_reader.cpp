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
    // Only the bytes up to the terminator are the head's; the rest (the
    // body, pipelined requests) is never copied here, so a chunk holding many
    // requests costs time linear in its size. The earlier bytes were searched
    // already: a terminator may begin in the last three of them.
    size_t old = text.size();
    size_t used = terminator_end(data, len);
    bool complete = used != 0;
    if (!complete)
        used = len;
    if (max_length > 0 && old + used > max_length) {
        now = mode::refused;
        std::string().swap(text);
        return skipped + len;
    }
    text.append(data, used);
    if (!complete)
        return skipped + len;
    text.resize(text.size() - 2);  // keeps the last header line's "\r\n"
    read_head();
    return skipped + used;
}

size_t request_reader::terminator_end(const char* data, size_t len) const
{
    // Across the boundary: up to three bytes of the head so far, then up to
    // three new ones.
    size_t tail = text.size() < 3 ? text.size() : 3;
    char edge[6];
    size_t n = 0;
    for (size_t i = text.size() - tail; i < text.size(); i++)
        edge[n++] = text[i];
    for (size_t i = 0; i < len && i < 3; i++)
        edge[n++] = data[i];
    std::string_view joined(edge, n);
    if (size_t at = joined.find("\r\n\r\n"); at != std::string_view::npos)
        return at + 4 - tail;
    if (size_t at = std::string_view(data, len).find("\r\n\r\n"); at != std::string_view::npos)
        return at + 4;
    return 0;
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

void request_reader::hold(const char* data, size_t len)
{
    // The bytes taken already go once they are the larger part, so the
    // buffer is copied O(1) times per byte.
    if (waiting_from > 0 && waiting_from >= waiting.size() - waiting_from) {
        waiting.erase(0, waiting_from);
        waiting_from = 0;
    }
    waiting.append(data, len);
}

void request_reader::consume_held(size_t n)
{
    waiting_from += n;
    if (waiting_from >= waiting.size())
        drop_held();
}

void request_reader::drop_held()
{
    // A rare large backlog leaves no large buffer behind.
    if (waiting.capacity() > 64 * 1024)
        std::string().swap(waiting);
    else
        waiting.clear();
    waiting_from = 0;
}
