#include "proxy/split_url.h"

#include "base/text.h"
#include "proxy/canonical_host.h"

namespace {

bool is_scheme(const std::string& text)
{
    if (text.empty() || !((text[0] >= 'a' && text[0] <= 'z') || (text[0] >= 'A' && text[0] <= 'Z')))
        return false;
    for (char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' || c == '-' ||
              c == '.'))
            return false;
    return true;
}

// 1 to 65535 in decimal digits (leading zeros allowed); -1 otherwise.
int32_t read_port(const std::string& digits)
{
    if (digits.empty())
        return -1;
    int32_t port = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return -1;
        port = port * 10 + (c - '0');
        if (port > 65535)
            return -1;
    }
    return port == 0 ? -1 : port;
}

}  // namespace

int32_t split_url::default_port(const std::string& scheme)
{
    return scheme == "https" ? 443 : scheme == "ftp" ? 21 : 80;
}

bool split_url::read_authority(const std::string& text, const std::string& scheme, std::string* host, int32_t* port)
{
    // User information would make "allowed.example@blocked.example" name
    // one host to a reader and another to the proxy.
    if (text.find('@') != std::string::npos)
        return false;
    // An IPv6 address is bracketed: the port follows the bracket.
    size_t colon = text.find(':');
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':'))
            return false;
        colon = close + 1 < text.size() ? close + 1 : std::string::npos;
    }
    *port = default_port(scheme);
    if (colon != std::string::npos && colon + 1 < text.size() && (*port = read_port(text.substr(colon + 1))) < 0)
        return false;
    *host = canonical_host(std::string_view(text).substr(0, colon));
    return !host->empty();
}

split_url::split_url(const std::string& target, bool connect)
{
    std::string authority;
    if (connect) {
        // host ":" port, the port required: a tunnel has no default.
        size_t colon = target.rfind(':');
        if (colon == std::string::npos || colon + 1 == target.size() || target.find_first_of("/?#") != std::string::npos ||
            (target[0] == '[' && target.find(']') > colon))
            return;
        authority = target;
        scheme = "http";
        path.assign(1, '/');  // (assigning "/" trips a false -Wrestrict in g++ 12 at -O3)
    } else {
        size_t sep = target.find("://");
        if (sep == std::string::npos || !is_scheme(target.substr(0, sep)))
            return;
        scheme = base::lower(std::string_view(target).substr(0, sep));
        size_t start = sep + 3;
        size_t end = target.find_first_of("/?#", start);
        if (end == std::string::npos)
            end = target.size();
        authority = target.substr(start, end - start);
        path = target.substr(end);
        if (path.empty() || path[0] != '/')
            path.insert(0, 1, '/');
    }
    std::string canonical;
    int32_t number;
    // An unspecified address names no origin: a connect to it reaches this
    // host, whatever listens there, past every list of hosts.
    if (read_authority(authority, scheme, &canonical, &number) && !is_unspecified_address(canonical)) {
        host = std::move(canonical);
        port = number;
    }
}

std::string split_url::authority() const
{
    std::string name = is_ipv6_literal(host) ? "[" + host + "]" : host;
    return port == default_port(scheme) ? name : name + ":" + std::to_string(port);
}

std::string split_url::utf8_to_idn(const std::string& host) { return idn_form(host); }
