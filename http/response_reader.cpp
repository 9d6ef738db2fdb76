#include "http/response_reader.h"

#include "http/request_facts.h"

#include <cstring>

namespace {

// "HTTP/1." DIGIT SP 3DIGIT [ SP reason ]: the status, or -1. The reason may
// hold anything but CR, LF and NUL, which line_ends_sound refuses in the
// whole head.
int status_of(std::string_view line, bool* http10)
{
    if (line.size() < 12 || !line.starts_with("HTTP/1.") || line[7] < '0' || line[7] > '9' || line[8] != ' ')
        return -1;
    int code = 0;
    for (size_t i = 9; i < 12; i++) {
        if (line[i] < '0' || line[i] > '9')
            return -1;
        code = code * 10 + (line[i] - '0');
    }
    if (code < 100 || (line.size() > 12 && line[12] != ' '))
        return -1;
    *http10 = line[7] == '0';
    return code;
}

// A CR only right before the LF that ends a line, and no NUL. The head
// passes on unchanged, and a client may take a bare CR inside a field value
// for the end of a line and read fields the reader never saw (a
// Content-Length, say): such a value must be refused or rewritten (RFC 9110
// 5.5), and bytes here are never rewritten. A bare LF is a line end, for the
// reader as for clients (RFC 9112 2.2).
bool line_ends_sound(std::string_view head)
{
    const char* end = head.data() + head.size();
    if (memchr(head.data(), '\0', head.size()))
        return false;
    for (const char* cr = head.data(); (cr = static_cast<const char*>(memchr(cr, '\r', size_t(end - cr)))); cr++)
        if (cr + 1 == end || cr[1] != '\n')
            return false;
    return true;
}

// The head with every line ending in CRLF, as the field reading takes it.
std::string with_crlf(const std::string& head)
{
    std::string out;
    out.reserve(head.size() + 16);
    for (size_t i = 0; i < head.size(); i++) {
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r'))
            out += '\r';
        out += head[i];
    }
    return out;
}

}  // namespace

void response_reader::expect(bool head, bool upgrading, bool interim)
{
    where = state::head;
    cause = failure::none;
    head_request = head;
    upgrade = upgrading;
    interim_on = interim;
    any = emitted = final_seen = keeps = to_close = false;
    interims = 0;
    code = 0;
    left = 0;
    pending.clear();
}

size_t response_reader::head_end(const char* p, size_t len) const
{
    // A blank line is an LF right after another LF, or after CR LF; the
    // bytes before p are pending's. Only LFs among the new bytes are looked
    // at: those before were looked at when they came.
    size_t old = pending.size();
    auto at = [&](size_t k) { return k < old ? pending[k] : p[k - old]; };
    for (const void* hit = memchr(p, '\n', len); hit; ) {
        size_t i = size_t(static_cast<const char*>(hit) - p), k = old + i;
        if ((k >= 1 && at(k - 1) == '\n') || (k >= 2 && at(k - 1) == '\r' && at(k - 2) == '\n'))
            return i + 1;
        hit = memchr(p + i + 1, '\n', len - i - 1);
    }
    return 0;
}

size_t response_reader::feed(const char* data, size_t len, base::byte_queue& out)
{
    size_t used = 0;
    if (len > 0 && where != state::done && where != state::failed)
        any = true;
    while (used < len) {
        const char* p = data + used;
        size_t n = len - used;
        switch (where) {
        case state::head: {
            // Only the bytes up to the blank line belong to this head, and
            // only they are copied, so a piece holding many heads costs time
            // linear in its size. One byte past max_head tells a head too
            // long: the bytes up to the limit are taken and the answer fails
            // at the first byte past it, however the stream was cut.
            size_t old = pending.size();
            size_t room = max_head - old;
            size_t look = n < room + 1 ? n : room + 1;
            size_t end = head_end(p, look);
            if (end == 0 || old + end > max_head) {
                if (old + look > max_head) {
                    fail(failure::unreadable);
                    return used + room;
                }
                pending.append(p, look);
                used += look;
                continue;
            }
            pending.append(p, end);
            used += end;
            if (!read_head(out))
                return used;
            continue;
        }
        case state::sized: {
            size_t k = n < left ? n : size_t(left);
            out.append(p, k);
            used += k;
            left -= k;
            if (left == 0)
                where = state::done;
            continue;
        }
        case state::chunked: {
            size_t k = decoder.feed(p, n);
            out.append(p, k);
            used += k;
            if (decoder.malformed())
                fail(failure::unreadable);
            else if (decoder.done())
                where = state::done;
            if (where != state::chunked)
                return used;
            continue;
        }
        case state::until_close:
        case state::tunnel:
            out.append(p, n);
            used += n;
            continue;
        case state::done:
        case state::failed:
            return used;
        }
    }
    return used;
}

bool response_reader::read_head(base::byte_queue& out)
{
    bool http10 = false;
    // Nearly every head ends its lines with CRLF already.
    bool bare_lf = false;
    for (size_t lf = pending.find('\n'); lf != std::string::npos && !bare_lf; lf = pending.find('\n', lf + 1))
        bare_lf = lf == 0 || pending[lf - 1] != '\r';
    std::string normalized = bare_lf ? with_crlf(pending) : std::string();
    std::string_view head(bare_lf ? normalized : pending);
    code = status_of(head.substr(0, head.find("\r\n")), &http10);
    field_facts facts = field_facts::read_fields(head.substr(0, head.size() - 2));
    using fault = field_facts::fault;
    if (code < 0 || !line_ends_sound(pending) || facts.problem == fault::malformed || facts.problem == fault::bad_length ||
        (code == 101 && !upgrade)) {
        fail(failure::unreadable);
        return false;
    }
    bool interim = code < 200 && code != 101;
    if (interim && ++interims > max_interim) {
        fail(failure::too_many_interim);
        return false;
    }
    if (!interim || interim_on) {
        out.append(pending);
        emitted = true;
    }
    // A rare large head leaves no large buffer behind in a pooled connection.
    if (pending.capacity() > 4096)
        std::string().swap(pending);
    else
        pending.clear();
    if (interim)
        return true;  // the answer goes on with another head
    final_seen = true;
    keeps = http10 ? facts.names_option("keep-alive") : !facts.names_option("close");
    if (code == 101)
        where = state::tunnel;
    else if (head_request || code == 204 || code == 304)
        where = state::done;
    else if (facts.problem == fault::ambiguous) {
        where = state::until_close;
        to_close = true;
    } else if (facts.chunked && !http10) {
        decoder.reset();
        where = state::chunked;
    } else if (facts.has_length) {
        left = uint64_t(facts.content_length);
        where = left == 0 ? state::done : state::sized;
    } else {
        where = state::until_close;
        to_close = true;
    }
    return true;
}

uint64_t response_reader::raw_run() const
{
    switch (where) {
    case state::sized:
        return left;
    case state::chunked:
        return decoder.data_left();
    case state::until_close:
    case state::tunnel:
        return UINT64_MAX;
    default:
        return 0;
    }
}

void response_reader::skip(uint64_t n)
{
    any = any || n > 0;
    if (where == state::sized) {
        left -= n;
        if (left == 0)
            where = state::done;
    } else if (where == state::chunked)
        decoder.skip_data(n);
}

void response_reader::finish()
{
    if (where == state::until_close)
        where = state::done;
    else if (where != state::done && where != state::tunnel && where != state::failed)
        fail(failure::closed);
}
