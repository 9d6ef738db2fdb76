// SHA-1 of FIPS 180-4.
#pragma once

#include <string>

namespace base {

// The raw 20-byte digest (not hexadecimal) of every byte of the string.
std::string sha1(const std::string& bytes);

}  // namespace base
