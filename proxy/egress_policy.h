// Who may use the proxy and where it may go: the rules of the policy files
// (-p), or the default for a proxy that listens on every adapter.
//
// Rules, one per line ("#" starts a comment; words separated by blanks):
//
//     clients ADDR[/LEN] ...      only clients in one of these may use the proxy
//     allow   TARGET ...          only these destinations (when any allow rule exists)
//     deny    TARGET|KEYWORD ...  never these destinations
//     connect-ports PORT[-PORT] ...   CONNECT only to these ports
//
// TARGET is a name (it covers its subdomains too, compared in canonical
// form as the block list compares) or an address range (address_range.h).
// KEYWORD is loopback (127.0.0.0/8, ::1), private (10/8, 172.16/12,
// 192.168/16, 100.64/10, fc00::/7), link-local (169.254/16, fe80::/10) or
// this-host (every address of this host's interfaces, as of the check).
// Rules of the same word add up, across lines and files.
//
// The checks, in the order a request meets them: the client's address
// (admits_client()); the target's name and port before any lookup
// (check_target(): a denied name or parent domain, a CONNECT port not
// listed, a name that no allow rule can let through); then every address
// the proxy is about to connect to, also a literal target's
// (admits_address(): a denied range, or, when allow rules exist and the name
// was not allowed by name, an address outside every allowed range). So a
// name cannot smuggle a denied address, whatever it resolves to.
//
// A value type: the loop's thread reads the one in force (settings.h); a
// reload builds a new one elsewhere and swaps it in whole.
#pragma once

#include "proxy/address_range.h"
#include "server/socket_address.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

class egress_policy {
public:
    // Reads one line of a policy file into the rules: "" when it is read (a
    // rule, a comment, a blank line), otherwise why it cannot be.
    std::string add_line(std::string_view line);

    // Rule lines read so far.
    uint32_t rules() const { return rule_lines; }

    // No rule at all: everything passes.
    bool empty() const { return rule_lines == 0; }
    // Some clients are not admitted.
    bool limits_clients() const { return !clients.empty(); }

    // The policy of a proxy that listens on every adapter and was given no
    // policy file: "deny loopback this-host".
    static egress_policy all_adapters_default();

    // Whether a client at `peer` may use the proxy; false fills *rule with
    // the rule that refuses it.
    bool admits_client(const socket_address& peer, std::string* rule) const;

    // What the target's name and port say before any address is known.
    struct verdict {
        bool denied = false;
        std::string rule;           // when denied: the rule and entry that matched
        bool name_allowed = false;  // an allow rule lets this name through by name
    };
    verdict check_target(const std::string& host, int32_t port, bool connect) const;

    // Whether the proxy may connect to `to` for a target whose check_target()
    // gave `name_allowed`; false fills *rule.
    bool admits_address(const socket_address& to, bool name_allowed, std::string* rule) const;

private:
    // Names, looked up by std::string_view too (a parent domain is a view
    // into the name, not a copy).
    struct name_hash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>()(s); }
    };
    using name_set = std::unordered_set<std::string, name_hash, std::equal_to<>>;

    // A name or a parent domain of it in `names`: the entry, or empty.
    static std::string_view listed(std::string_view name, const name_set& names);
    // Reads TARGET words into names and ranges; "" or why not.
    static std::string add_targets(std::vector<std::string_view> words, bool keywords, name_set* names,
                                   std::vector<std::pair<address_range, std::string>>* ranges, bool* this_host);

    uint32_t rule_lines = 0;
    std::vector<address_range> clients;
    bool has_allow = false;
    name_set allow_names;
    std::vector<std::pair<address_range, std::string>> allow_ranges;  // with the entry as written in the rule
    name_set deny_names;
    std::vector<std::pair<address_range, std::string>> deny_ranges;
    bool deny_this_host = false;
    std::vector<std::pair<int32_t, int32_t>> connect_ports;  // inclusive ranges; none: any port
};
