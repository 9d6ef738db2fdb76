#include "base/find.h"

#include <cstring>

namespace base {

bool& find_case_insensitive()
{
    static bool value = true;
    return value;
}

namespace {

// Only A-Z are folded: the locale never plays a part, and bytes from 0x80
// compare as they are.
unsigned char fold(char c)
{
    unsigned char b = static_cast<unsigned char>(c);
    return b >= 'A' && b <= 'Z' ? static_cast<unsigned char>(b + ('a' - 'A')) : b;
}

}  // namespace

size_t find(const std::string& text, const std::string& pattern, size_t from)
{
    if (!find_case_insensitive())
        return text.find(pattern, from);
    if (from > text.size() || pattern.size() > text.size() - from)
        return std::string::npos;
    size_t last = text.size() - pattern.size();
    // A first byte that is not a letter matches only itself (header lookups
    // start with "\r\n"): jump from one occurrence of it to the next.
    unsigned char first = static_cast<unsigned char>(pattern.empty() ? 'a' : pattern[0]);
    bool letter = (first | 0x20) >= 'a' && (first | 0x20) <= 'z';
    for (size_t i = from; i <= last; i++) {
        if (!letter) {
            const void* at = memchr(text.data() + i, first, last - i + 1);
            if (!at)
                return std::string::npos;
            i = size_t(static_cast<const char*>(at) - text.data());
        }
        size_t j = 0;
        while (j < pattern.size() && fold(text[i + j]) == fold(pattern[j]))
            j++;
        if (j == pattern.size())
            return i;
    }
    return std::string::npos;
}

}  // namespace base
