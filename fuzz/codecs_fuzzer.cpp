// The base library's codecs on arbitrary bytes: base::unbase64 and the
// base::base64 round trip, base::escape in both modes and
// base::escape_controls, base::utf8_decode at every position, and
// base::punycode.
//
// Invariants checked besides the sanitizers':
//  - base64 output has the padded length and only alphabet bytes, and
//    unbase64 gives every byte string back, zero bytes included (the text
//    never holds one); unbase64 of any text gives 1 to 3 bytes per complete
//    group before its first zero byte;
//  - escape writes printable ASCII only; the byte mode always unescapes back
//    to the input, the JSON mode does for valid UTF-8; escape_controls
//    leaves no control byte and changes nothing else;
//  - utf8_decode returns -1 with length 1, or a Unicode scalar value whose
//    shortest UTF-8 form is exactly the bytes it consumed;
//  - punycode gives ASCII input and invalid UTF-8 back unchanged; any other
//    result is lower-case digits after the basic code points, and decodes
//    (RFC 3492, section 6.2) back to the input's code points.
#include "base/base64.h"
#include "base/escape.h"
#include "base/punycode.h"
#include "base/utf8.h"
#include "fuzz/check.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string utf8_encode(uint32_t c)
{
    std::string s;
    if (c < 0x80) {
        s += char(c);
    } else if (c < 0x800) {
        s += char(0xC0 | (c >> 6));
        s += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += char(0xE0 | (c >> 12));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    } else {
        s += char(0xF0 | (c >> 18));
        s += char(0x80 | ((c >> 12) & 0x3F));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    }
    return s;
}

// Code points of zero-terminated text up to `size` bytes; false at the first
// invalid sequence.
bool decode_all(const std::string& text, std::vector<uint32_t>* points)
{
    const char* s = text.c_str();
    for (size_t i = 0; i < text.size();) {
        int length = 1;
        int32_t c = base::utf8_decode(s + i, &length);
        if (c < 0)
            return false;
        points->push_back(uint32_t(c));
        i += size_t(length);
    }
    return true;
}

void check_utf8(const std::string& input)
{
    const char* s = input.c_str();
    for (size_t i = 0; i < input.size(); i++) {
        int length = -7;
        int32_t c = base::utf8_decode(s + i, &length);
        if (c < 0) {
            FUZZ_CHECK(c == -1 && length == 1, "invalid sequence without -1 and length 1");
            continue;
        }
        FUZZ_CHECK(c <= 0x10FFFF && !(c >= 0xD800 && c <= 0xDFFF), "decoded a non-scalar value");
        std::string shortest = utf8_encode(uint32_t(c));
        FUZZ_CHECK(size_t(length) == shortest.size() && memcmp(s + i, shortest.data(), shortest.size()) == 0,
                   "decoded bytes are not the shortest form of the value");
    }
}

void check_base64(const std::string& input)
{
    std::string encoded = base::base64(input);
    FUZZ_CHECK(encoded.size() == (input.size() + 2) / 3 * 4, "base64 length");
    size_t pad = input.size() % 3 == 0 ? 0 : 3 - input.size() % 3;
    for (size_t i = 0; i < encoded.size(); i++) {
        char c = encoded[i];
        bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
                        c == '/';
        FUZZ_CHECK(i >= encoded.size() - pad ? c == '=' : alphabet, "base64 byte outside the alphabet");
    }
    FUZZ_CHECK(base::unbase64(encoded) == input, "unbase64(base64(x)) != x");

    size_t groups = strlen(input.c_str()) / 4;
    std::string decoded = base::unbase64(input);
    FUZZ_CHECK(decoded.size() >= groups && decoded.size() <= 3 * groups, "unbase64 length");
}

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Undoes base::escape; false on an escape it never writes. In the JSON mode
// "\u" escapes (surrogate pairs joined) come back as UTF-8.
bool unescape(const std::string& text, bool json, std::string* out)
{
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\') {
            *out += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i]) {
        case '"': *out += '"'; break;
        case '\\': *out += '\\'; break;
        case 'b': *out += '\b'; break;
        case 'f': *out += '\f'; break;
        case 'n': *out += '\n'; break;
        case 'r': *out += '\r'; break;
        case 't': *out += '\t'; break;
        case '0': *out += '\0'; break;
        case 'x': {
            if (json || i + 2 >= text.size() || hex_value(text[i + 1]) < 0 || hex_value(text[i + 2]) < 0)
                return false;
            *out += char(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
            break;
        }
        case 'u': {
            auto unit = [&](size_t at, uint32_t* u) {
                if (at + 4 > text.size())
                    return false;
                *u = 0;
                for (size_t k = at; k < at + 4; k++) {
                    int v = hex_value(text[k]);
                    if (v < 0)
                        return false;
                    *u = *u * 16 + uint32_t(v);
                }
                return true;
            };
            uint32_t u;
            if (!json || !unit(i + 1, &u))
                return false;
            i += 4;
            if (u >= 0xD800 && u <= 0xDBFF) {
                uint32_t low;
                if (i + 2 >= text.size() || text[i + 1] != '\\' || text[i + 2] != 'u' || !unit(i + 3, &low) ||
                    low < 0xDC00 || low > 0xDFFF)
                    return false;
                i += 6;
                u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
            }
            *out += utf8_encode(u);
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

void check_escape(const std::string& input, bool valid_utf8)
{
    for (bool json : {false, true}) {
        std::string escaped = base::escape(input, json);
        for (char c : escaped)
            FUZZ_CHECK(c >= 0x20 && c <= 0x7E, "escape wrote a byte that is not printable ASCII");
        if (json && !valid_utf8)
            continue;
        std::string back;
        FUZZ_CHECK(unescape(escaped, json, &back), "escape wrote an escape it has no reading for");
        FUZZ_CHECK(back == input, "escaped text does not read back as the input");
    }
}

void check_escape_controls(const std::string& input)
{
    static const char hex[] = "0123456789abcdef";
    std::string escaped = base::escape_controls(input);
    size_t at = 0;
    for (char c : input) {
        uint8_t b = uint8_t(c);
        if (b >= 0x20 && b != 0x7F) {
            FUZZ_CHECK(at < escaped.size() && escaped[at] == c, "escape_controls changed a byte that is no control byte");
            at++;
            continue;
        }
        FUZZ_CHECK(escaped.compare(at, 4, std::string("\\x") + hex[b >> 4] + hex[b & 15]) == 0,
                   "control byte not written as \\x and two hex digits");
        at += 4;
    }
    FUZZ_CHECK(at == escaped.size(), "escape_controls added bytes");
}

// RFC 3492, section 6.2: the code points of a Punycode string; false when it
// is not valid Punycode.
bool punycode_decode(const std::string& in, std::vector<uint32_t>* out)
{
    const uint32_t base = 36, tmin = 1, tmax = 26, skew = 38, damp = 700;
    auto adapt = [&](uint32_t delta, uint32_t count, bool first) {
        delta = first ? delta / damp : delta / 2;
        delta += delta / count;
        uint32_t k = 0;
        while (delta > ((base - tmin) * tmax) / 2) {
            delta /= base - tmin;
            k += base;
        }
        return k + (base - tmin + 1) * delta / (delta + skew);
    };
    size_t basic = in.rfind('-');
    if (basic == std::string::npos)
        basic = 0;
    for (size_t j = 0; j < basic; j++) {
        if (uint8_t(in[j]) >= 0x80)
            return false;
        out->push_back(uint8_t(in[j]));
    }
    uint32_t n = 128, i = 0, bias = 72;
    for (size_t at = basic > 0 ? basic + 1 : 0; at < in.size();) {
        uint32_t old_i = i, w = 1;
        for (uint32_t k = base;; k += base) {
            if (at >= in.size())
                return false;
            char c = in[at++];
            uint32_t digit = c >= 'a' && c <= 'z' ? uint32_t(c - 'a') : c >= '0' && c <= '9' ? uint32_t(c - '0' + 26) : base;
            if (digit >= base || digit > (UINT32_MAX - i) / w)
                return false;
            i += digit * w;
            uint32_t t = k <= bias ? tmin : k >= bias + tmax ? tmax : k - bias;
            if (digit < t)
                break;
            if (w > UINT32_MAX / (base - t))
                return false;
            w *= base - t;
        }
        uint32_t count = uint32_t(out->size()) + 1;
        bias = adapt(i - old_i, count, old_i == 0);
        if (i / count > UINT32_MAX - n)
            return false;
        n += i / count;
        i %= count;
        out->insert(out->begin() + i, n);
        i++;
    }
    return true;
}

void check_punycode(const std::string& input, bool valid_utf8, const std::vector<uint32_t>& points)
{
    std::string encoded = base::punycode(input);
    bool ascii = true;
    for (uint32_t c : points)
        ascii = ascii && c < 0x80;
    if (!valid_utf8 || ascii) {
        FUZZ_CHECK(encoded == input, "ASCII or invalid UTF-8 label was changed");
        return;
    }
    if (encoded == input)
        return;  // the 32-bit counters overflowed: the label comes back
    size_t delimiter = encoded.rfind('-');
    for (size_t j = delimiter == std::string::npos ? 0 : delimiter + 1; j < encoded.size(); j++) {
        char c = encoded[j];
        FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'), "Punycode digit not lower case");
    }
    std::vector<uint32_t> back;
    FUZZ_CHECK(punycode_decode(encoded, &back), "punycode output does not decode");
    FUZZ_CHECK(back == points, "punycode output decodes to other code points");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<uint32_t> points;
    bool valid_utf8 = decode_all(input, &points);

    check_utf8(input);
    check_base64(input);
    check_escape(input, valid_utf8);
    check_escape_controls(input);
    check_punycode(input, valid_utf8, points);
    return 0;
}
