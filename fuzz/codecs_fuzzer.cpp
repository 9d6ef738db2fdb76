// The base library's codecs on arbitrary bytes: utf8_decode at every offset,
// base64 and unbase64, escape in the JSON mode, and punycode.
#include "base/base64.h"
#include "base/escape.h"
#include "base/punycode.h"
#include "base/utf8.h"
#include "fuzz/check.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

// The shortest UTF-8 form of a scalar value.
std::string utf8(uint32_t c)
{
    if (c < 0x80)
        return std::string(1, char(c));
    size_t n = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    std::string s(n, '\0');
    for (size_t i = n - 1; i > 0; i--, c >>= 6)
        s[i] = char(0x80 | (c & 0x3F));
    s[0] = char(uint8_t(0xFF00 >> n) | c);  // 110xxxxx, 1110xxxx or 11110xxx
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    [[maybe_unused]] static bool quiet = silence_stdout();
    std::string input(reinterpret_cast<const char*>(data), size), basic, escaped;
    bool valid = true;  // as a whole, read from its start
    for (size_t i = 0, next = 0; i < size; i++) {
        int length = -7;
        int32_t c = base::utf8_decode(input.c_str() + i, &length);
        FUZZ_CHECK(c >= 0 ? c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF) && input.compare(i, length, utf8(c)) == 0
                          : c == -1 && length == 1,
                   "utf8_decode gave other than -1 and 1, or a scalar value and the length of its shortest form");
        if (i == next) {  // at a sequence of its own: escape it alone, read a non-ASCII one back
            std::string e = base::escape(input.substr(i, size_t(length)), true);
            auto unit = [&](size_t at) { return e.size() < at + 4 ? 0 : uint32_t(strtoul(e.substr(at, 4).c_str(), nullptr, 16)); };
            uint32_t back = e.size() == 12 ? 0x10000 + ((unit(2) - 0xD800) << 10) + (unit(8) - 0xDC00) : unit(2);
            FUZZ_CHECK(c < 0x80 || (e.size() == (c < 0x10000 ? 6u : 12u) && back == uint32_t(c)), "code point escaped wrongly");
            valid = valid && c >= 0;
            escaped += e;
            next += size_t(length);
        }
        basic += uint8_t(input[i]) < 0x80 ? input.substr(i, 1) : "";
    }
    FUZZ_CHECK(base::unbase64(base::base64(input)) == input, "unbase64(base64(x)) != x");
    size_t groups = strlen(input.c_str()) / 4, decoded = base::unbase64(input).size();
    FUZZ_CHECK(decoded >= groups && decoded <= 3 * groups, "unbase64 gave other than 1 to 3 bytes per group");

    std::string json = base::escape(input, true);
    FUZZ_CHECK(std::all_of(json.begin(), json.end(), [](char c) { return c >= 0x20 && c <= 0x7E; }),
               "escape wrote a byte that is not printable ASCII");
    FUZZ_CHECK(!valid || json == escaped, "escaped UTF-8 differs from its sequences escaped one by one");

    // ASCII and invalid UTF-8 (or 32-bit overflow) come back unchanged; any
    // other label as its ASCII bytes, "-" if any, then lower-case digits.
    std::string puny = base::punycode(input), lead = basic.empty() ? "" : basic + "-";
    FUZZ_CHECK(puny == input || (valid && basic.size() < size && puny.size() > lead.size() && puny.starts_with(lead) &&
                                 puny.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789", lead.size()) == std::string::npos),
               "punycode gave other than the ASCII bytes and lower-case digits");
    return 0;
}
