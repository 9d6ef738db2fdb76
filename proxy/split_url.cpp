#include "proxy/split_url.h"

#include "base/text.h"

#include "base/punycode.h"
#include "var/var.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

bool found(size_t at) { return at != std::string::npos && at > 0; }


}  // namespace

split_url::split_url(const std::string& url) : scheme("http")
{
    std::string rest = url;
    size_t i = url.find("://");
    if (found(i)) {
        scheme = url.substr(0, i);
        rest = url.substr(i + 3);
    } else if (url.size() >= 2 && url[0] == '/' && url[1] == '/') {
        scheme = "https";
        rest = url.substr(2);
    }

    size_t p = rest.find('/');
    if (found(p)) {
        path = rest.substr(p);
        rest.resize(p);
    } else
        path.assign(1, '/');

    size_t c = rest.find(':');
    if (found(c)) {
        host = rest.substr(0, c);
        port = base::to_int32(rest.substr(c + 1));
    } else {
        host = rest;
        port = scheme == "https" ? 443 : scheme == "ftp" ? 21 : 80;
    }
    host = utf8_to_idn(host);
}

std::string split_url::utf8_to_idn(const std::string& host)
{
    // Nearly every host is plain ASCII without zero bytes, which the
    // conversion below returns unchanged.
    bool plain = true;
    for (char c : host) {
        unsigned char b = static_cast<unsigned char>(c);
        plain = plain && b != 0 && b < 0x80;
    }
    if (plain)
        return host;

    var labels = var(host).split(".");
    std::string result;
    for (int32_t i = 0; i < labels.size(); i++) {
        if (i > 0)
            result += ".";
        std::string label = labels.get(i);
        std::string encoded = base::punycode(label);
        result += encoded == label ? label : "xn--" + encoded;
    }
    return result;
}
