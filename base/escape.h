// Escapes bytes for the inside of a quoted string literal.
#pragma once

#include <string>

namespace base {

// Quotes, backslashes and control bytes become backslash escapes and printable
// ASCII is copied. Any other byte becomes "\u" escapes of its decoded UTF-8
// (json true; "\uffff" per byte of a broken sequence, surrogate pairs above
// U+FFFF) or a "\x" escape of the single byte (json false). A zero byte is
// "\0" in both modes.
std::string escape(const std::string& text, bool json);

// For log lines that carry bytes a peer chose: control bytes (below 0x20, and
// 0x7F) become "\x" and two hex digits, so no request can start a forged
// line or send a terminal escape; every other byte stays as it is.
std::string escape_controls(const std::string& text);

}  // namespace base
