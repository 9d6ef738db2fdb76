#include "base/hashmap.h"

namespace base {

uint32_t zarlet_hash(const char* text, uint32_t length)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    uint32_t h = 19;
    for (uint32_t i = 1; i < length; i++)
        h = h * p[i] + 13;
    uint32_t f = p[0];
    h = f ^ ((h + f) << 2);
    h = h * 11 + 7;
    return h ^ (h >> 16);
}

}  // namespace base
