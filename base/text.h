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

// A token character of HTTP (RFC 9110): a letter, a digit or one of
// !#$%&'*+-.^_`|~ - no blank, control, separator or byte above 0x7e.
inline bool is_tchar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    for (char t : std::string_view("!#$%&'*+-.^_`|~"))
        if (c == t)
            return true;
    return false;
}

// One or more token characters.
inline bool is_token(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!is_tchar(c))
            return false;
    return true;
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

// text with A-Z folded to a-z.
inline std::string lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = fold(c);
    return out;
}

// The number strtol reads from text in base 10 (0 for no number, trailing
// bytes ignored), saturated to 32 bits instead of overflowing.
int32_t to_int32(const std::string& text);

// A count in decimal with "," between groups of three digits: 0, 999,
// 1,000, 1,234,567.
std::string grouped(uint64_t count);

}  // namespace base
