#include "base/base64.h"

#include <cstdint>
#include <cstdio>

namespace base {

namespace {

const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of every 7-bit character: 0-63 for the alphabet, 64 for "=" and 65 for
// everything else. 64 and 65 are not rejected: 65 carries the bits of 1 into
// every position of a group, 64 the bits of 0.
const int32_t table[128] = {
    65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65,
    65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65,
    65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 65, 62, 65, 65, 65, 63,
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 65, 65, 65, 64, 65, 65,
    65,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9, 10, 11, 12, 13, 14,
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 65, 65, 65, 65, 65,
    65, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 65, 65, 65, 65, 65,
};

// Bytes 128-255 lie outside the table; they are just more characters outside
// the alphabet.
int32_t value_of(unsigned char c)
{
    return c < 128 ? table[c] : 65;
}

}  // namespace

std::string base64(const std::string& bytes)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t left = bytes.size();
    std::string out;
    out.reserve((left + 2) / 3 * 4);
    for (; left >= 3; left -= 3, p += 3) {
        out += alphabet[p[0] >> 2];
        out += alphabet[((p[0] << 4) & 48) | (p[1] >> 4)];
        out += alphabet[((p[1] << 2) & 60) | (p[2] >> 6)];
        out += alphabet[p[2] & 63];
    }
    if (left == 2) {
        out += alphabet[p[0] >> 2];
        out += alphabet[((p[0] << 4) & 48) | (p[1] >> 4)];
        out += alphabet[(p[1] << 2) & 60];
        out += '=';
    } else if (left == 1) {
        out += alphabet[p[0] >> 2];
        out += alphabet[(p[0] << 4) & 48];
        out += "==";
    }
    return out;
}

std::string unbase64(const std::string& text)
{
    // Read as zero-terminated text: an embedded zero byte ends the input, and
    // c_str() guarantees the terminator that stops every group below.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.c_str());
    std::string out;
    for (;; p += 4) {
        if (p[0] == 0)
            return out;
        // Checked in order, so no byte past a terminator is ever read.
        if (p[1] == 0 || p[2] == 0 || p[3] == 0) {
            puts("Warning: input string length not multiple of 4.");
            fflush(stdout);
            return out;
        }
        // The table values are at most 65, so these shifts stay far from the
        // sign bit; the casts keep the low 8 bits.
        int32_t d0 = value_of(p[0]);
        int32_t d1 = value_of(p[1]);
        int32_t d2 = value_of(p[2]);
        int32_t d3 = value_of(p[3]);
        out += static_cast<char>(static_cast<uint8_t>((d0 << 2) | ((d1 >> 4) & 3)));
        if (d2 == 64)
            continue;
        out += static_cast<char>(static_cast<uint8_t>((d1 << 4) | ((d2 >> 2) & 15)));
        if (d3 == 64)
            continue;
        out += static_cast<char>(static_cast<uint8_t>((d2 << 6) | (d3 & 63)));
    }
}

}  // namespace base
