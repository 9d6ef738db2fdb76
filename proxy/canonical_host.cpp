#include "proxy/canonical_host.h"

#include "base/punycode.h"
#include "base/text.h"
#include "base/utf8.h"
#include "var/var.h"

#include <arpa/inet.h>
#include <idn2.h>
#include <locale.h>
#include <netinet/in.h>
#include <wctype.h>

namespace {

constexpr size_t max_name = 253;  // the longest name DNS can carry

bool allowed(char c)
{
    unsigned char b = static_cast<unsigned char>(c);
    return b >= 0x80 || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
}

void append_utf8(std::string& out, uint32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | c >> 6);
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | c >> 12);
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | c >> 18);
        out += char(0x80 | (c >> 12 & 0x3F));
        out += char(0x80 | (c >> 6 & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

// The label with every code point in lower case, by the simple case mapping
// of the C.UTF-8 locale (ASCII letters only where that locale is missing).
// A label that is not UTF-8 comes back as it was, for punycode to keep.
std::string lower_label(const std::string& label)
{
    // Made once and never freed; towlower_l is safe on any thread.
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
    const char* p = label.c_str();
    std::string out;
    for (size_t i = 0; i < label.size();) {
        int length = 1;
        int32_t c = base::utf8_decode(p + i, &length);
        if (c < 0)
            return label;
        if (utf8)
            c = int32_t(towlower_l(wint_t(c), utf8));
        else if (c < 0x80)
            c = base::fold(char(c));
        append_utf8(out, uint32_t(c));
        i += size_t(length);
    }
    return out;
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
    bool ascii = true;
    for (char c : name) {
        if (!allowed(c))
            return "";
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    }
    // Nearly every host is ASCII already: nothing to map or convert.
    if (!ascii) {
        name = idn_form(name);
        // A label that is not UTF-8 has no IDN form; the mapping may have
        // made bytes no name has ("\uFF01" is "!").
        for (char c : name)
            if (static_cast<unsigned char>(c) >= 0x80 || !allowed(c))
                return "";
    }
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

std::string host_and_port(const std::string& host, int32_t port)
{
    std::string text = is_ipv6_literal(host) ? "[" + host + "]" : host;
    return text + ":" + std::to_string(port);
}

bool is_unspecified_address(const std::string& host)
{
    // 0.0.0.0/8 is "this network": a connect to any of it reaches this host.
    return host == "::" || (host.starts_with("0.") && is_ipv4_literal(host));
}

std::string idn_form(const std::string& host)
{
    // Nearly every host is plain ASCII without zero bytes, which the
    // conversion below returns unchanged.
    bool ascii = true, zero = false;
    for (char c : host) {
        unsigned char b = static_cast<unsigned char>(c);
        ascii = ascii && b < 0x80;
        zero = zero || b == 0;
    }
    if (ascii && !zero)
        return host;
    // libidn2 reads up to a zero byte, which would cut the name short.
    if (!zero) {
        char* converted = nullptr;
        if (idn2_to_ascii_8z(host.c_str(), &converted, IDN2_NONTRANSITIONAL) == IDN2_OK) {
            std::string result = converted;
            idn2_free(converted);
            return result;
        }
    }
    var labels = var(host).split(".");
    std::string result;
    for (int32_t i = 0; i < labels.size(); i++) {
        if (i > 0)
            result += ".";
        std::string label = labels.get(i);
        std::string lower = lower_label(label);
        std::string encoded = base::punycode(lower);
        // Unchanged: an ASCII label, or one that has no Punycode form.
        result += encoded == lower ? label : "xn--" + encoded;
    }
    return result;
}
