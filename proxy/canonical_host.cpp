#include "proxy/canonical_host.h"

#include "base/text.h"
#include "base/punycode.h"
#include "var/var.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

constexpr size_t max_name = 253;  // the longest name DNS can carry

bool allowed(char c)
{
    unsigned char b = static_cast<unsigned char>(c);
    return b >= 0x80 || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
}

}  // namespace

std::string canonical_host(std::string_view host)
{
    // An IPv6 address, bracketed as in a URL or bare (no name has a colon):
    // the form inet_ntop writes is its one spelling. Zone identifiers and
    // future address forms are no host here.
    std::string_view inner = host;
    if (inner.size() >= 2 && inner.front() == '[' && inner.back() == ']')
        inner = inner.substr(1, inner.size() - 2);
    if (inner.find(':') != std::string_view::npos) {
        in6_addr address;
        char text[INET6_ADDRSTRLEN];
        if (inner.size() >= sizeof text || inet_pton(AF_INET6, std::string(inner).c_str(), &address) != 1)
            return "";
        // A connect to ::ffff:a.b.c.d goes to the IPv4 address a.b.c.d.
        if (IN6_IS_ADDR_V4MAPPED(&address))
            inet_ntop(AF_INET, &address.s6_addr[12], text, sizeof text);
        else
            inet_ntop(AF_INET6, &address, text, sizeof text);
        return text;
    }
    std::string name = base::lower(host);
    for (char c : name)
        if (!allowed(c))
            return "";
    name = idn_form(name);
    for (char c : name)
        if (static_cast<unsigned char>(c) >= 0x80)
            return "";  // a label that is not UTF-8 has no IDN form
    if (!name.empty() && name.back() == '.')
        name.pop_back();
    if (name.empty() || name.size() > max_name || name.front() == '.' || name.back() == '.' ||
        name.find("..") != std::string::npos)
        return "";
    // inet_aton reads exactly what the resolver would connect to for a
    // numeric name; its dotted quad is the one spelling of that address.
    in_addr address;
    if (inet_aton(name.c_str(), &address) != 0) {
        char dotted[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &address, dotted, sizeof dotted);
        return dotted;
    }
    return name;
}

bool is_ipv4_literal(const std::string& host)
{
    in_addr address;
    return inet_pton(AF_INET, host.c_str(), &address) == 1;
}

bool is_ipv6_literal(const std::string& host) { return host.find(':') != std::string::npos; }

bool is_unspecified_address(const std::string& host)
{
    // 0.0.0.0/8 is "this network": a connect to any of it reaches this host.
    return host == "::" || (host.starts_with("0.") && is_ipv4_literal(host));
}

std::string idn_form(const std::string& host)
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
