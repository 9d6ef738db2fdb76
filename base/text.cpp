#include "base/text.h"

#include <cstdlib>

namespace base {

int32_t to_int32(const std::string& text)
{
    long v = strtol(text.c_str(), nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return int32_t(v);
}

std::string grouped(uint64_t count)
{
    std::string digits = std::to_string(count), text;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    return text;
}

}  // namespace base
