// Small ASCII text helpers shared by the parsers. Letters fold A-Z only;
// nothing here depends on the locale.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace base {

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// text without the bytes of `set` at either end.
inline std::string_view trim(std::string_view text, std::string_view set = " \t")
{
    size_t first = text.find_first_not_of(set);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(set) - first + 1);
}

inline char fold(char c) { return c >= 'A' && c <= 'Z' ? char(c + ('a' - 'A')) : c; }

inline bool starts_with_nocase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); i++)
        if (fold(text[i]) != fold(prefix[i]))
            return false;
    return true;
}

inline bool equals_nocase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && starts_with_nocase(a, b);
}

// The number strtol reads from text in base 10 (0 for no number, trailing
// bytes ignored), saturated to 32 bits instead of overflowing.
int32_t to_int32(const std::string& text);

}  // namespace base
