// The one spelling of a host that the proxy compares, blocks, looks up and
// connects to. Clients may name one origin in many ways (letter case, a
// trailing dot, the shortened, decimal, octal and hexadecimal forms of an
// IPv4 address that the system's resolver accepts, IPv4-mapped IPv6, UTF-8
// in any letter case, width or normal form, or its "xn--" form); every
// decision about a host is made on this form only, so no spelling can walk
// around the block list or the loop check.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The canonical form of a host as a request target names it, or "" when it
// is no host at all:
//  - allowed bytes: ASCII letters, digits, "-", "_", "." and UTF-8 (bytes
//    from 0x80); anything else (percent signs, "@", blanks, controls, ...)
//    makes it no host;
//  - ASCII letters in lower case; a name with other bytes in its IDN form
//    (idn_form below); a form with bytes no name has ("\uFF01" maps to "!")
//    makes it no host;
//  - one trailing dot dropped; an empty label anywhere else, or a name over
//    253 bytes, makes it no host;
//  - anything the system reads as an IPv4 address (inet_aton: fewer than
//    four parts, decimal, octal, hexadecimal) as its dotted quad;
//  - an IPv6 address, in brackets or not, as inet_ntop writes it, without
//    brackets ("[0:0::1]" is "::1"); one with a zone or that inet_pton does
//    not read is no host. An IPv4-mapped one (::ffff:0:0/96, any spelling)
//    is the IPv4 address it carries, as a dotted quad: a connect to it goes
//    there ("[::ffff:7f00:1]" is "127.0.0.1").
std::string canonical_host(std::string_view host);

// The ASCII (IDNA) form of a name with non-ASCII bytes, the name DNS knows.
// libidn2 maps it first, as UTS #46 says (lower case, NFC, full-width forms,
// ideographic full stops as dots: "B\u00DCCHER.test", "bu\u0308cher.test"
// and "b\u00FC\uFF43her\u3002test" are all "xn--bcher-kva.test"), and
// converts it by IDNA2008, nontransitional.
// Names IDNA2008 refuses (emoji labels, which exist in the wild; a zero
// byte, which libidn2 would stop at) take the framework's own codec
// instead: each label with a non-ASCII byte, lower-cased code point by code
// point, becomes "xn--" and its base::punycode form, and the other labels
// stay as they were, so a refused name still compares in one spelling.
// A label that is not UTF-8 stays as it was, and a zero byte ends its label.
// A name of ASCII bytes only comes back unchanged, without either.
std::string idn_form(const std::string& host);

// Whether a canonical host is an IPv4 address in dotted-quad form, or an
// IPv6 address.
bool is_ipv4_literal(const std::string& host);
bool is_ipv6_literal(const std::string& host);

// "host:port" for a canonical host, an IPv6 address in brackets
// ("[::1]:8080"), as log lines show an origin.
std::string host_and_port(const std::string& host, int32_t port);

// Whether a canonical host is an unspecified address, which names no origin
// but this host itself: anything in 0.0.0.0/8 ("0", "0.1.2.3" once
// canonical), or "::".
bool is_unspecified_address(const std::string& host);
