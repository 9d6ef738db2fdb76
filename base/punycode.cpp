#include "base/punycode.h"

#include <cstdint>
#include <vector>

#include "base/utf8.h"

namespace base {

namespace {

// The bootstring parameters of IDNA.
const uint32_t base = 36;
const uint32_t tmin = 1;
const uint32_t tmax = 26;
const uint32_t skew = 38;
const uint32_t damp = 700;
const uint32_t initial_bias = 72;
const uint32_t initial_n = 128;
const uint32_t max_value = UINT32_MAX;

char digit(uint32_t d)
{
    return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26));
}

uint32_t adapt(uint32_t delta, uint32_t count, bool first)
{
    delta = first ? delta / damp : delta / 2;
    // delta is at most half of 2^32 here, so this sum cannot wrap.
    delta += delta / count;
    uint32_t k = 0;
    while (delta > ((base - tmin) * tmax) / 2) {
        delta /= base - tmin;
        k += base;
    }
    return k + (base - tmin + 1) * delta / (delta + skew);
}

}  // namespace

std::string punycode(const std::string& label)
{
    if (label.empty())
        return label;

    // c_str() keeps the terminator that stops a sequence cut short at the end.
    const char* s = label.c_str();
    std::vector<uint32_t> points;
    points.reserve(2);
    for (size_t i = 0; i < label.size();) {
        int length = 1;
        int32_t c = utf8_decode(s + i, &length);
        // Broken UTF-8 has no Punycode form; the label stays as it was, so the
        // host-name conversion leaves it without a prefix.
        if (c < 0)
            return label;
        points.push_back(static_cast<uint32_t>(c));
        i += static_cast<size_t>(length);
    }
    // The counters below are 32-bit; a label this long is no host name.
    if (points.size() >= max_value)
        return label;
    uint32_t count = static_cast<uint32_t>(points.size());

    std::string out;
    for (uint32_t c : points)
        if (c < 128)
            out += static_cast<char>(c);
    uint32_t b = static_cast<uint32_t>(out.size());
    if (b == count)
        return out;
    if (b > 0)
        out += '-';

    uint32_t n = initial_n;
    uint32_t delta = 0;
    uint32_t bias = initial_bias;
    // Wherever delta or n would exceed 32 bits the label is given back
    // unchanged, as the overflow checks of the bootstring encoder require.
    for (uint32_t h = b; h < count;) {
        uint32_t m = max_value;
        for (uint32_t c : points)
            if (c >= n && c < m)
                m = c;
        if (m - n > (max_value - delta) / (h + 1))
            return label;
        delta += (m - n) * (h + 1);
        n = m;
        for (uint32_t c : points) {
            if (c < n) {
                if (delta == max_value)
                    return label;
                delta++;
            } else if (c == n) {
                uint32_t q = delta;
                for (uint32_t k = base;; k += base) {
                    uint32_t t = k <= bias ? tmin : k >= bias + tmax ? tmax : k - bias;
                    if (q < t)
                        break;
                    out += digit(t + (q - t) % (base - t));
                    q = (q - t) / (base - t);
                }
                out += digit(q);
                bias = adapt(delta, h + 1, h == b);
                delta = 0;
                h++;
            }
        }
        if (delta == max_value || n == max_value)
            return label;
        delta++;
        n++;
    }
    return out;
}

}  // namespace base
