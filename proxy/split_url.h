// A proxy request target split into scheme, host, port and path, strictly.
//
//     absolute-form  = scheme "://" host [ ":" port ] [ path ] [ "?" query ]
//     authority-form = host ":" port                      (CONNECT only)
//     scheme         = ALPHA *( ALPHA / DIGIT / "+" / "-" / "." )
//     port           = digits with a value of 1 to 65535 (empty: the default)
//
// Every other target is refused (valid() false): an origin-form path
// ("/index.html", "/http://..."), which a proxy must never take for the
// name of an origin; user information ("user@host"), which would let one
// name hide behind another; a host that canonical_host() refuses, or an
// unspecified address ("0.0.0.0", "0", "[::]", "[::ffff:0.0.0.0]"), which
// names this host rather than an origin; a port out of range. The host comes
// out canonical (canonical_host.h): lower case, internationalised labels in
// their "xn--" form, IPv4 addresses (IPv4-mapped IPv6 ones too) as dotted
// quads. The scheme only chooses the default port ("https" 443, "ftp" 21,
// anything else 80; compared in lower case); the proxy speaks plain HTTP to
// every origin. Nothing is percent-decoded.
#pragma once

#include <cstdint>
#include <string>

class split_url {
public:
    std::string scheme;  // lower case
    std::string host;    // canonical
    int32_t port = 80;
    // The origin-form target: from the first "/" after the host, query
    // included; a query right after the host gets a "/" in front; "/" if
    // there is neither.
    std::string path;

    // Splits a CONNECT target (authority-form) or any other (absolute-form).
    split_url(const std::string& target, bool connect);
    split_url() = default;  // no target: not valid

    bool valid() const { return !host.empty(); }

    // host, and ":" and the port unless it is the scheme's default: the
    // value of the Host field an origin receives.
    std::string authority() const;

    // The port a scheme's URLs use when they name none.
    static int32_t default_port(const std::string& scheme);

    // The host's IDN form (canonical_host.h, idn_form).
    static std::string utf8_to_idn(const std::string& host);

    // Reads "host[:port]" (the value of a Host field, or the authority of a
    // target) into a canonical host and a port, the scheme's default when
    // none is given; false when it is not one.
    static bool read_authority(const std::string& text, const std::string& scheme, std::string* host, int32_t* port);
};
