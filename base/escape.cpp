#include "base/escape.h"

#include <cstdint>

#include "base/utf8.h"

namespace base {

namespace {

const char hex[] = "0123456789abcdef";

void append_u(std::string& out, uint32_t unit)
{
    out += "\\u";
    out += hex[(unit >> 12) & 15];
    out += hex[(unit >> 8) & 15];
    out += hex[(unit >> 4) & 15];
    out += hex[unit & 15];
}

}  // namespace

std::string escape(const std::string& text, bool json)
{
    std::string out;
    out.reserve(text.size());
    // c_str() keeps a terminator behind the last byte, so the decoder stops
    // there even when a sequence is cut short at the end of the text.
    const char* s = text.c_str();
    size_t size = text.size();
    for (size_t i = 0; i < size;) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        switch (b) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case 0: out += "\\0"; break;
        default:
            if (b >= 0x20 && b <= 0x7E) {
                out += static_cast<char>(b);
            } else if (!json) {
                out += "\\x";
                out += hex[b >> 4];
                out += hex[b & 15];
            } else if (b < 0x80) {
                append_u(out, b);
            } else {
                // An embedded zero byte ends a sequence as the terminator
                // does, so the decoder never reads past the string.
                int length = 1;
                int32_t c = utf8_decode(s + i, &length);
                if (c < 0) {
                    out += "\\uffff";
                } else if (c < 0x10000) {
                    append_u(out, static_cast<uint32_t>(c));
                } else {
                    uint32_t d = static_cast<uint32_t>(c) - 0x10000;
                    append_u(out, 0xD800 + (d >> 10));
                    append_u(out, 0xDC00 + (d & 0x3FF));
                }
                i += static_cast<size_t>(length);
                continue;
            }
            break;
        }
        i++;
    }
    return out;
}

std::string escape_controls(const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    auto escape_bytes = [&](size_t from, size_t n) {
        for (size_t k = from; k < from + n; k++) {
            unsigned char b = static_cast<unsigned char>(text[k]);
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    };
    // c_str() keeps a terminator behind the last byte, where the decoder
    // stops even when a sequence is cut short at the end of the text.
    const char* s = text.c_str();
    for (size_t i = 0; i < text.size();) {
        // Printable ASCII, nearly every byte of a log line, goes on in runs.
        size_t run = i;
        while (run < text.size() && static_cast<unsigned char>(s[run]) >= 0x20 && static_cast<unsigned char>(s[run]) < 0x7f)
            run++;
        if (run > i) {
            out.append(s + i, run - i);
            i = run;
            continue;
        }
        unsigned char b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {  // C0 controls and DEL
            escape_bytes(i, 1);
            i++;
            continue;
        }
        // A whole UTF-8 character stays as it is unless it is a C1 control
        // (U+0080 to U+009F, NEL among them) or a line or paragraph
        // separator, which terminals and log viewers may act on. A byte
        // outside UTF-8 stays unless it is one of the C1 controls as a
        // single byte, which 8-bit terminals act on.
        int length = 1;
        int32_t c = utf8_decode(s + i, &length);
        if (c < 0)
            length = 1;
        bool control = c < 0 ? b <= 0x9f : (c >= 0x80 && c <= 0x9f) || c == 0x2028 || c == 0x2029;
        if (control)
            escape_bytes(i, size_t(length));
        else
            out.append(s + i, size_t(length));
        i += size_t(length);
    }
    return out;
}

}  // namespace base
