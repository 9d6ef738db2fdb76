// Punycode (RFC 3492, the IDNA parameters) for one host-name label.
#pragma once

#include <string>

namespace base {

// The Punycode form of a UTF-8 label, without the "xn--" prefix. An all-ASCII
// label, or one that is not valid UTF-8, comes back unchanged.
std::string punycode(const std::string& label);

}  // namespace base
