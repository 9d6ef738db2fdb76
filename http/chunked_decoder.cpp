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
    digits = 0;
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
        digits = 1;
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
            // 16 digits fill 64 bits; a longer size, leading zeros and all,
            // is one that recipients may cut differently.
            if (++digits > max_size_digits) {
                at = state::malformed;
                return;
            }
            remaining = remaining * 16 + uint64_t(v);
        } else if (c == ';')
            at = state::ext_start;
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
            at = state::ext_start;
        else if (!base::is_blank(c)) {
            at = state::malformed;
            return;
        }
        grow_line();
        return;
    case state::ext_start:
    case state::ext_name:
    case state::name_blank:
    case state::value_start:
    case state::ext_token:
    case state::quoted:
    case state::quoted_pair:
    case state::value_end:
    case state::value_blank:
        step_extension(c);
        if (at != state::malformed && at != state::size_lf)
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
        else if (base::is_tchar(c)) {
            line_length = 1;
            at = state::trailer_name;
        } else
            at = state::malformed;  // a folded line, a blank or control first
        return;
    case state::trailer_name:
        if (c == ':')
            at = state::trailer;
        else if (!base::is_tchar(c)) {
            at = state::malformed;
            return;
        }
        grow_line();
        return;
    case state::trailer:
        if (c == '\r')
            at = state::trailer_lf;
        else if (c == '\n' || c == '\0')
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

void chunked_decoder::step_extension(char c)
{
    bool blank = base::is_blank(c), tchar = base::is_tchar(c);
    switch (at) {
    case state::ext_start:  // BWS, then the name
        at = tchar ? state::ext_name : blank ? state::ext_start : state::malformed;
        return;
    case state::ext_name:
        if (c == '\r')
            at = state::size_lf;
        else if (c == '=')
            at = state::value_start;
        else if (c == ';')
            at = state::ext_start;
        else if (blank)
            at = state::name_blank;
        else if (!tchar)
            at = state::malformed;
        return;
    case state::name_blank:  // BWS before "=" or the next ";"
        at = c == '=' ? state::value_start : c == ';' ? state::ext_start : blank ? state::name_blank : state::malformed;
        return;
    case state::value_start:
        at = c == '"' ? state::quoted : tchar ? state::ext_token : blank ? state::value_start : state::malformed;
        return;
    case state::ext_token:
        if (c == '\r')
            at = state::size_lf;
        else if (c == ';')
            at = state::ext_start;
        else if (blank)
            at = state::value_blank;
        else if (!tchar)
            at = state::malformed;
        return;
    case state::quoted: {
        unsigned char b = static_cast<unsigned char>(c);
        if (c == '"')
            at = state::value_end;
        else if (c == '\\')
            at = state::quoted_pair;
        else if ((b < 0x20 && c != '\t') || b == 0x7f)
            at = state::malformed;
        return;
    }
    case state::quoted_pair: {
        unsigned char b = static_cast<unsigned char>(c);
        at = (b < 0x20 && c != '\t') || b == 0x7f ? state::malformed : state::quoted;
        return;
    }
    case state::value_end:
        at = c == '\r' ? state::size_lf : c == ';' ? state::ext_start : blank ? state::value_blank : state::malformed;
        return;
    case state::value_blank:
        at = c == ';' ? state::ext_start : blank ? state::value_blank : state::malformed;
        return;
    default:
        at = state::malformed;
        return;
    }
}
