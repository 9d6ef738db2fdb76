#include "proxy/egress_policy.h"

#include "proxy/canonical_host.h"
#include "server/local_addresses.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

// The ranges each keyword stands for.
struct keyword {
    const char* word;
    const char* ranges[5];
};

constexpr keyword keywords[] = {
    {"loopback", {"127.0.0.0/8", "::1"}},
    {"private", {"10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "100.64.0.0/10", "fc00::/7"}},
    {"link-local", {"169.254.0.0/16", "fe80::/10"}},
};

std::vector<std::string_view> words_of(std::string_view line)
{
    std::vector<std::string_view> words;
    size_t at = 0;
    for (;;) {
        at = line.find_first_not_of(" \t\r\n", at);
        if (at == std::string_view::npos)
            return words;
        size_t end = line.find_first_of(" \t\r\n", at);
        words.push_back(line.substr(at, end - at));
        if (end == std::string_view::npos)
            return words;
        at = end;
    }
}

// PORT or PORT-PORT, each 1 to 65535, the first not above the second.
bool read_ports(std::string_view text, std::pair<int32_t, int32_t>* range)
{
    auto number = [](std::string_view digits, int32_t* out) {
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        *out = std::stoi(std::string(digits));
        return *out >= 1 && *out <= 65535;
    };
    size_t dash = text.find('-');
    if (dash == std::string_view::npos)
        return number(text, &range->first) && number(text, &range->second);
    return number(text.substr(0, dash), &range->first) && number(text.substr(dash + 1), &range->second) &&
           range->first <= range->second;
}

}  // namespace

std::string egress_policy::add_targets(std::vector<std::string_view> words, bool with_keywords, name_set* names,
                                       std::vector<std::pair<address_range, std::string>>* ranges, bool* this_host)
{
    for (std::string_view word : words) {
        std::string why;
        address_range range;
        bool is_keyword = false;
        for (const keyword& k : keywords)
            if (word == k.word) {
                if (!with_keywords)
                    return std::string(word) + " is a word of deny rules only";
                for (const char* text : k.ranges)
                    if (text && address_range::parse(text, &range, &why))
                        ranges->push_back({range, k.word});
                is_keyword = true;
            }
        if (word == "this-host") {
            if (!with_keywords)
                return "this-host is a word of deny rules only";
            *this_host = is_keyword = true;
        }
        if (is_keyword)
            continue;
        if (word.find('/') != std::string_view::npos || word.find(':') != std::string_view::npos ||
            word.find_first_not_of("0123456789.") == std::string_view::npos) {
            if (!address_range::parse(word, &range, &why))
                return why;
            ranges->push_back({range, range.text()});
            continue;
        }
        std::string host = canonical_host(word);
        if (host.empty())
            return "not a name or an address: " + std::string(word);
        names->insert(host);
    }
    return "";
}

std::string egress_policy::add_line(std::string_view line)
{
    line = line.substr(0, line.find('#'));
    std::vector<std::string_view> words = words_of(line);
    if (words.empty())
        return "";
    std::string_view rule = words[0];
    words.erase(words.begin());
    if (rule != "clients" && rule != "allow" && rule != "deny" && rule != "connect-ports")
        return "unknown rule: " + std::string(rule);
    if (words.empty())
        return std::string(rule) + " names nothing";
    std::string why;
    if (rule == "clients") {
        for (std::string_view word : words) {
            address_range range;
            if (!address_range::parse(word, &range, &why))
                return why;
            clients.push_back(range);
        }
    } else if (rule == "allow") {
        why = add_targets(words, false, &allow_names, &allow_ranges, nullptr);
        has_allow = true;
    } else if (rule == "deny") {
        why = add_targets(words, true, &deny_names, &deny_ranges, &deny_this_host);
    } else {
        for (std::string_view word : words) {
            std::pair<int32_t, int32_t> range;
            if (!read_ports(word, &range))
                return "not a port or a range of ports: " + std::string(word);
            connect_ports.push_back(range);
        }
    }
    if (!why.empty())
        return why;
    rule_lines++;
    return "";
}

egress_policy egress_policy::all_adapters_default()
{
    egress_policy p;
    p.add_line("deny loopback this-host");
    return p;
}

bool egress_policy::admits_client(const socket_address& peer, std::string* rule) const
{
    if (clients.empty())
        return true;
    address_range::key k = address_range::key_of(peer);
    for (const address_range& range : clients)
        if (range.contains(k))
            return true;
    *rule = "clients";
    return false;
}

std::string_view egress_policy::listed(std::string_view name, const name_set& names)
{
    // Names hold no addresses (those are ranges), and an address has no
    // parent domains: a canonical host of digits and dots, or with a colon,
    // is one.
    if (names.empty())
        return {};
    bool address = true;
    for (char c : name) {
        if (c == ':')
            return {};
        address = address && ((c >= '0' && c <= '9') || c == '.');
    }
    if (address)
        return {};
    for (size_t at = 0;;) {
        std::string_view suffix = name.substr(at);
        if (names.find(suffix) != names.end())
            return suffix;
        size_t dot = name.find('.', at);
        if (dot == std::string_view::npos)
            return {};
        at = dot + 1;
    }
}

egress_policy::verdict egress_policy::check_target(const std::string& host, int32_t port, bool connect) const
{
    verdict v;
    if (std::string_view entry = listed(host, deny_names); !entry.empty()) {
        v.denied = true;
        v.rule = "deny " + std::string(entry);
        return v;
    }
    if (connect && !connect_ports.empty()) {
        bool listed_port = false;
        for (auto [low, high] : connect_ports)
            listed_port = listed_port || (port >= low && port <= high);
        if (!listed_port) {
            v.denied = true;
            v.rule = "connect-ports";
            return v;
        }
    }
    if (!has_allow)
        return v;
    v.name_allowed = !listed(host, allow_names).empty();
    // A name no allow rule names can only pass by its addresses.
    if (!v.name_allowed && allow_ranges.empty()) {
        v.denied = true;
        v.rule = "allow";
    }
    return v;
}

bool egress_policy::admits_address(const socket_address& to, bool name_allowed, std::string* rule) const
{
    address_range::key k = address_range::key_of(to);
    for (const auto& [range, entry] : deny_ranges)
        if (range.contains(k)) {
            *rule = "deny " + entry;
            return false;
        }
    if (deny_this_host && is_local_address(to)) {
        *rule = "deny this-host";
        return false;
    }
    if (!has_allow || name_allowed)
        return true;
    for (const auto& [range, entry] : allow_ranges)
        if (range.contains(k))
            return true;
    *rule = "allow";
    return false;
}
