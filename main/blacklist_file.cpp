#include "main/blacklist_file.h"

#include "base/for_each_line.h"
#include "base/text.h"
#include "proxy/canonical_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

int load_blacklist(const std::string& path, base::hashmap<bool>& into)
{
    return base::for_each_line(path, [&](const std::string& line, uint32_t, uint64_t) {
        into.set(blacklist_entry(base::trim(line, " \t\r\n")), true);
    });
}

std::string blacklist_entry(std::string_view line)
{
    std::string canonical = canonical_host(line);
    if (canonical.empty())
        return std::string(line);
    // An entry of fewer than four numbers ("0.1.1") is the tail of the
    // addresses it blocks, as a parent domain is of names; only a whole
    // address in another spelling (an IPv4-mapped IPv6 one among them)
    // becomes its dotted quad.
    if (is_ipv4_literal(canonical) && line.find(':') == std::string_view::npos) {
        std::string_view bare = line.ends_with('.') ? line.substr(0, line.size() - 1) : line;
        if (std::count(bare.begin(), bare.end(), '.') != 3)
            return base::lower(bare);
    }
    return canonical;
}

std::string blacklist_size_line(uint32_t count) { return base::grouped(count) + " domains blacklisted"; }
