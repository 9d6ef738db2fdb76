// Base64 with the standard alphabet of RFC 4648, section 4.
#pragma once

#include <string>

namespace base {

// Encodes every byte of the string (embedded zero bytes included); padded with
// "=" to a multiple of four characters, no line breaks.
std::string base64(const std::string& bytes);

// Decodes text up to its first zero byte. Never rejects anything: characters
// outside the alphabet (bytes 128-255 included) count as the value 1 in every
// position of a group, "=" ends its own group only, and an incomplete last
// group prints "Warning: input string length not multiple of 4." and adds no
// byte.
std::string unbase64(const std::string& text);

}  // namespace base
