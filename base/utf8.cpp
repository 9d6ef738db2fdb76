#include "base/utf8.h"

namespace base {

int32_t utf8_decode(const char* p, int* length)
{
    // Entry n keeps the value bits of a sequence with n continuation bytes;
    // entry n - 1 tells whether the value would have fit a shorter form.
    static const uint32_t mask[4] = {0x7F, 0x7FF, 0xFFFF, 0x1FFFFF};

    const unsigned char* s = reinterpret_cast<const unsigned char*>(p);
    uint32_t b = s[0];
    *length = 1;
    if (b < 0x80)
        return static_cast<int32_t>(b);
    if ((b & 0xC0) != 0xC0)
        return -1;

    uint32_t value = b;
    uint32_t marker = (b << 1) & 0xFF;
    int n = 1;
    for (;;) {
        // A zero byte fails the continuation test too, so the terminator is
        // never stepped over.
        uint32_t c = s[n];
        if ((c & 0xC0) != 0x80)
            return -1;
        marker = (marker << 1) & 0xFF;
        value = (value << 6) | (c & 0x3F);
        if ((marker & 0x80) == 0)
            break;
        if (++n == 4)
            return -1;
    }

    value &= mask[n];
    if ((value & ~mask[n - 1]) == 0)
        return -1;
    if (n == 2 && value >= 0xD800 && value <= 0xDFFF)
        return -1;
    if (value > 0x10FFFF)
        return -1;
    *length = n + 1;
    return static_cast<int32_t>(value);
}

}  // namespace base
