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

// For log lines that carry bytes a peer chose: control characters become
// "\x" and two hex digits per byte, so no request can start a forged line or
// send a terminal escape. Escaped: the C0 controls and DEL; the C1 controls
// both as single bytes (0x80-0x9F outside a UTF-8 sequence) and as UTF-8
// (U+0080-U+009F, NEL included); U+2028 and U+2029, which some viewers take
// for line ends. Every other byte, and every other UTF-8 character, stays as
// it is.
std::string escape_controls(const std::string& text);

}  // namespace base
