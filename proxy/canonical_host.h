// The one spelling of a host that the proxy compares, blocks, looks up and
// connects to. Clients may name one origin in many ways (letter case, a
// trailing dot, the shortened, decimal, octal and hexadecimal forms of an
// IPv4 address that the system's resolver accepts, UTF-8 or its "xn--"
// form); every decision about a host is made on this form only, so no
// spelling can walk around the block list or the loop check.
#pragma once

#include <string>
#include <string_view>

// The canonical form of a host as a request target names it, or "" when it
// is no host at all:
//  - allowed bytes: ASCII letters, digits, "-", "_", "." and UTF-8 (bytes
//    from 0x80); anything else (percent signs, "@", blanks, controls, ...)
//    makes it no host;
//  - ASCII letters in lower case; labels with other bytes in their IDN form
//    ("xn--" and Punycode of the lower-cased label);
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

// Every label with a non-ASCII byte becomes "xn--" and its Punycode form;
// other labels, dots and empty labels stay exactly as they were. A zero
// byte ends its label.
std::string idn_form(const std::string& host);

// Whether a canonical host is an IPv4 address in dotted-quad form, or an
// IPv6 address.
bool is_ipv4_literal(const std::string& host);
bool is_ipv6_literal(const std::string& host);

// Whether a canonical host is an unspecified address, which names no origin
// but this host itself: anything in 0.0.0.0/8 ("0", "0.1.2.3" once
// canonical), or "::".
bool is_unspecified_address(const std::string& host);
