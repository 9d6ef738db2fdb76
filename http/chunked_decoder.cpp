#include "http/chunked_decoder.h"

#include "base/text.h"

namespace {

// Value of a hexadecimal digit, or -1.
int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

void chunked_decoder::reset()
{
    at = state::size_first;
    remaining = 0;
    line_length = 0;
}

size_t chunked_decoder::feed(const char* data, size_t len)
{
    size_t i = 0;
    while (i < len && at != state::done && at != state::malformed) {
        if (at == state::data) {
            // The bulk of the body is taken in one step, not byte by byte.
            uint64_t n = len - i;
            if (n > remaining)
                n = remaining;
            remaining -= n;
            i += size_t(n);
            if (remaining == 0)
                at = state::data_cr;
            continue;
        }
        step(data[i]);
        if (at == state::malformed)
            return i;
        i++;
    }
    return i;
}

void chunked_decoder::grow_line()
{
    if (++line_length > max_line_length)
        at = state::malformed;
}

void chunked_decoder::step(char c)
{
    switch (at) {
    case state::size_first: {
        int v = hex_value(c);
        if (v < 0) {
            at = state::malformed;
            return;
        }
        remaining = uint64_t(v);
        line_length = 1;
        at = state::size;
        return;
    }
    case state::size: {
        int v = hex_value(c);
        if (c == '\r') {
            at = state::size_lf;
            return;
        }
        if (v >= 0) {
            // Sizes are 64-bit; a longer number is no size at all.
            if (remaining > (UINT64_MAX - uint64_t(v)) / 16) {
                at = state::malformed;
                return;
            }
            remaining = remaining * 16 + uint64_t(v);
        } else if (c == ';')
            at = state::extension;
        else if (base::is_blank(c))
            at = state::size_blank;
        else {
            at = state::malformed;
            return;
        }
        grow_line();
        return;
    }
    case state::size_blank:
        if (c == ';')
            at = state::extension;
        else if (!base::is_blank(c)) {
            at = state::malformed;
            return;
        }
        grow_line();
        return;
    case state::extension:
        if (c == '\r')
            at = state::size_lf;
        else if (c == '\n')
            at = state::malformed;
        else
            grow_line();
        return;
    case state::size_lf:
        if (c != '\n')
            at = state::malformed;
        else
            at = remaining == 0 ? state::trailer_first : state::data;
        return;
    case state::data_cr:
        at = c == '\r' ? state::data_lf : state::malformed;
        return;
    case state::data_lf:
        at = c == '\n' ? state::size_first : state::malformed;
        return;
    case state::trailer_first:
        if (c == '\r')
            at = state::final_lf;
        else if (c == '\n')
            at = state::malformed;
        else {
            line_length = 1;
            at = state::trailer;
        }
        return;
    case state::trailer:
        if (c == '\r')
            at = state::trailer_lf;
        else if (c == '\n')
            at = state::malformed;
        else
            grow_line();
        return;
    case state::trailer_lf:
        at = c == '\n' ? state::trailer_first : state::malformed;
        return;
    case state::final_lf:
        at = c == '\n' ? state::done : state::malformed;
        return;
    case state::data:
    case state::done:
    case state::malformed:
        return;
    }
}
