// Request targets through split_url, in both forms; host names through
// canonical_host and utf8_to_idn. A target that is split names a canonical
// host (the same again when made canonical once more, nothing but lower-case
// letters, digits, "-", "_" and dots, or an IPv6 address), a port in 1-65535 and an origin-form
// path taken from the target's tail. utf8_to_idn keeps an ASCII name as it
// is; a result that is not all ASCII comes from the per-label fallback,
// which keeps the dots and ASCII labels (cut at a zero byte), and turns the
// others into "xn--" and ASCII or keeps them.
#include "fuzz/check.h"
#include "proxy/canonical_host.h"
#include "proxy/split_url.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

bool ascii(const std::string& s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return uint8_t(c) < 0x80; });
}

std::vector<std::string> labels_of(const std::string& host)
{
    std::vector<std::string> labels(1);
    for (char c : host)
        if (c == '.')
            labels.emplace_back();
        else
            labels.back() += c;
    return labels;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    for (bool connect : {false, true}) {
        split_url u(input, connect);
        if (!u.valid())
            continue;
        FUZZ_CHECK(canonical_host(u.host) == u.host, "a split host is not canonical");
        // A name, or an IPv6 address (as inet_ntop writes it).
        FUZZ_CHECK(u.host.find_first_not_of(is_ipv6_literal(u.host) ? "abcdef0123456789:."
                                                                    : "abcdefghijklmnopqrstuvwxyz0123456789-_.") ==
                       std::string::npos,
                   "a split host has bytes no host name has");
        FUZZ_CHECK(u.port >= 1 && u.port <= 65535, "port out of range");
        FUZZ_CHECK(u.path.starts_with("/") && (input.ends_with(u.path) || input.ends_with(u.path.substr(1))),
                   "path is not a tail of the target");
    }
    std::string canonical = canonical_host(input);
    FUZZ_CHECK(canonical_host(canonical) == canonical, "canonical_host is not idempotent");

    std::string idn = split_url::utf8_to_idn(input);
    if (ascii(input) && input.find('\0') == std::string::npos)
        FUZZ_CHECK(idn == input, "an ASCII name was changed");
    if (ascii(idn))
        return 0;  // libidn2's mapping may join, split and rewrite labels
    std::vector<std::string> from = labels_of(input), to = labels_of(idn);
    FUZZ_CHECK(from.size() == to.size(), "the conversion changed the number of labels");
    for (size_t i = 0; i < from.size(); i++) {
        std::string label = from[i].substr(0, from[i].find('\0'));
        FUZZ_CHECK(to[i] == label || (!ascii(label) && to[i].starts_with("xn--") && ascii(to[i])),
                   "a label was converted wrongly");
    }
    return 0;
}
