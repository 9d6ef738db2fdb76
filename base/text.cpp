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

}  // namespace base
