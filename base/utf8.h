// UTF-8 decoding shared by the string escaper and the Punycode encoder.
#pragma once

#include <cstdint>

namespace base {

// Decodes the sequence that starts at p in zero-terminated text and stores the
// number of bytes it occupies in *length. Returns the code point, or -1 with a
// length of 1 for an invalid sequence: a stray continuation byte, a truncated
// sequence, a lead byte 0xF8-0xFF, an overlong form, a UTF-16 surrogate or a
// value above U+10FFFF.
int32_t utf8_decode(const char* p, int* length);

}  // namespace base
