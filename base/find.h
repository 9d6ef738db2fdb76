// Substring search used by header lookup.
#pragma once

#include <cstddef>
#include <string>

namespace base {

// Process-wide switch for find(): true from start-up, so header names match
// without regard to the case of A-Z.
bool& find_case_insensitive();

// Offset of the first occurrence of pattern in text at or after from, folding
// A-Z to lower case on both sides while find_case_insensitive() is true;
// std::string::npos when there is none.
size_t find(const std::string& text, const std::string& pattern, size_t from = 0);

}  // namespace base
