#include "base/sha1.h"

#include <cstdint>

namespace base {

namespace {

uint32_t rotl(uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

}  // namespace

std::string sha1(const std::string& bytes)
{
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};

    // Padded copy: 0x80, zeros up to 56 mod 64, then the bit length as a
    // 64-bit big-endian number. Lengths are 64-bit so a 32-bit size_t cannot
    // overflow the bit count.
    std::string m = bytes;
    uint64_t bits = static_cast<uint64_t>(bytes.size()) * 8;
    m += static_cast<char>(0x80);
    while (m.size() % 64 != 56)
        m += '\0';
    for (int i = 7; i >= 0; i--)
        m += static_cast<char>(static_cast<uint8_t>(bits >> (i * 8)));

    const unsigned char* p = reinterpret_cast<const unsigned char*>(m.data());
    uint32_t w[80];
    for (size_t block = 0; block < m.size(); block += 64) {
        for (int t = 0; t < 16; t++) {
            const unsigned char* q = p + block + t * 4;
            w[t] = (uint32_t(q[0]) << 24) | (uint32_t(q[1]) << 16) | (uint32_t(q[2]) << 8) | q[3];
        }
        for (int t = 16; t < 80; t++)
            w[t] = rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int t = 0; t < 80; t++) {
            uint32_t f, k;
            if (t < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999;
            } else if (t < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1;
            } else if (t < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6;
            }
            uint32_t temp = rotl(a, 5) + f + e + k + w[t];
            e = d;
            d = c;
            c = rotl(b, 30);
            b = a;
            a = temp;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
    }

    std::string digest;
    digest.reserve(20);
    for (uint32_t word : h)
        for (int i = 3; i >= 0; i--)
            digest += static_cast<char>(static_cast<uint8_t>(word >> (i * 8)));
    return digest;
}

}  // namespace base
