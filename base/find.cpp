#include "base/find.h"

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
    for (size_t i = from; i <= last; i++) {
        size_t j = 0;
        while (j < pattern.size() && fold(text[i + j]) == fold(pattern[j]))
            j++;
        if (j == pattern.size())
            return i;
    }
    return std::string::npos;
}

}  // namespace base
