// A proxy request target split into scheme, host, port and path.
//
// Accepts absolute URLs (scheme "://" host [":" port] path), scheme-relative
// ones ("//" host ...) and CONNECT's host ":" port. Deliberately small: the
// first ":" after the host separates the port (so user information and
// bracketed IPv6 literals are not understood), the scheme only chooses the
// default port ("https" 443, "ftp" 21, anything else 80, compared exactly),
// and nothing is percent-decoded. Searches treat a match at offset 0 as no
// match. The host comes out converted to its ASCII (IDN) form.
#pragma once

#include <cstdint>
#include <string>

class split_url {
public:
    std::string scheme;
    std::string host;
    int32_t port = 80;
    std::string path;  // from the first "/" after the host, query included; "/" if none

    explicit split_url(const std::string& url);

    // Every label with a non-ASCII byte becomes "xn--" and its Punycode form;
    // other labels, dots and empty labels stay exactly as they were. A zero
    // byte ends its label.
    static std::string utf8_to_idn(const std::string& host);
};
