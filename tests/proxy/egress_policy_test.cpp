// The egress policy's reading of its rules and its matching of clients,
// names and addresses, without sockets.
#include "proxy/address_range.h"
#include "proxy/egress_policy.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace {

socket_address address(const char* text, uint16_t port = 80)
{
    sockaddr_storage s{};
    if (inet_pton(AF_INET, text, &reinterpret_cast<sockaddr_in*>(&s)->sin_addr) == 1) {
        auto* four = reinterpret_cast<sockaddr_in*>(&s);
        four->sin_family = AF_INET;
        four->sin_port = htons(port);
        return socket_address(reinterpret_cast<sockaddr*>(&s), sizeof(sockaddr_in));
    }
    auto* six = reinterpret_cast<sockaddr_in6*>(&s);
    EXPECT_EQ(inet_pton(AF_INET6, text, &six->sin6_addr), 1) << text;
    six->sin6_family = AF_INET6;
    six->sin6_port = htons(port);
    return socket_address(reinterpret_cast<sockaddr*>(&s), sizeof(sockaddr_in6));
}

egress_policy reading(std::initializer_list<const char*> lines)
{
    egress_policy p;
    for (const char* line : lines)
        EXPECT_EQ(p.add_line(line), "") << line;
    return p;
}

}  // namespace

// Ranges at their edges, in both families, the IPv4-mapped form of an
// address inside its IPv4 range and a mapped range read as an IPv4 one; what
// is not a range, with its reason.
TEST(address_range, reads_networks_and_matches_at_their_edges_in_one_form)
{
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"10.0.0.0/8", "10.255.255.255", true},   {"10.0.0.0/8", "11.0.0.0", false},
        {"10.0.0.0/8", "9.255.255.255", false},   {"172.16.0.0/12", "172.31.0.1", true},
        {"172.16.0.0/12", "172.32.0.1", false},   {"0.0.0.0/0", "203.0.113.9", true},
        {"0.0.0.0/0", "::1", false},              {"192.0.2.7", "192.0.2.7", true},
        {"192.0.2.7/32", "192.0.2.8", false},     {"10.0.0.0/8", "::ffff:10.1.2.3", true},
        {"::ffff:10.0.0.0/104", "10.9.9.9", true}, {"::ffff:10.0.0.0/104", "11.0.0.0", false},
        {"fc00::/7", "fdff:ffff::1", true},       {"fc00::/7", "fe00::1", false},
        {"fe80::/10", "febf::1", true},           {"fe80::/10", "fec0::1", false},
        {"[::1]", "::1", true},                   {"::1/128", "::2", false},
        {"2001:db8::/32", "2001:db8:ffff::1", true}, {"::/0", "10.0.0.1", false},
    };
    for (auto [range_text, address_text, inside] : cases) {
        address_range range;
        std::string why;
        ASSERT_TRUE(address_range::parse(range_text, &range, &why)) << range_text << ": " << why;
        EXPECT_EQ(range.contains(address(address_text)), inside) << range_text << " " << address_text;
    }
    for (const char* bad : {"10.0.0.0/33", "10.1.2.3/8", "::1/129", "10.0.0.0/", "10.0.0.0/a", "10.1", "example.com",
                            "10.0.0.0/-1", "fe80::1%lo", ""}) {
        address_range range;
        std::string why;
        EXPECT_FALSE(address_range::parse(bad, &range, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
    address_range range;
    std::string why;
    ASSERT_TRUE(address_range::parse("::ffff:10.0.0.0/104", &range, &why));
    EXPECT_EQ(range.text(), "10.0.0.0/8");
}

// Every line a policy file may hold, and what is refused with its reason.
TEST(egress_policy, reads_rules_comments_and_blank_lines_and_refuses_the_rest_with_a_reason)
{
    egress_policy p;
    for (const char* line : {"", "   ", "# a comment", "clients 10.0.0.0/8 ::1  # trailing comment",
                             "allow example.com 192.0.2.0/24 [2001:db8::]/32", "deny loopback private link-local this-host",
                             "deny Tracker.Example.  203.0.113.7", "connect-ports 443 8000-8443\r"})
        EXPECT_EQ(p.add_line(line), "") << line;
    EXPECT_EQ(p.rules(), 5u);
    const std::pair<const char*, const char*> bad[] = {
        {"alow example.com", "unknown rule: alow"},
        {"deny", "deny names nothing"},
        {"clients example.com", "not an address: example.com"},
        {"clients 10.0.0.0/40", "not a prefix length: /40"},
        {"allow loopback", "loopback is a word of deny rules only"},
        {"allow this-host", "this-host is a word of deny rules only"},
        {"deny exa mple%.com", "not a name or an address: mple%.com"},
        {"connect-ports 0", "not a port or a range of ports: 0"},
        {"connect-ports 443-80", "not a port or a range of ports: 443-80"},
        {"connect-ports 65536", "not a port or a range of ports: 65536"},
        {"deny 10.1.2.3/8", "address bits set past the prefix length: 10.1.2.3/8"},
    };
    for (auto [line, why] : bad) {
        egress_policy q;
        EXPECT_EQ(q.add_line(line), why) << line;
        EXPECT_TRUE(q.empty()) << line;
    }
}

// Names deny and allow with their subdomains; a name no allow rule lets
// through is denied before any lookup unless an allowed range may still
// hold its address; every address is checked against the deny ranges and
// keywords, in any spelling.
TEST(egress_policy, checks_clients_names_ports_and_every_address_to_connect_to)
{
    egress_policy p = reading({"clients 10.0.0.0/8 ::1", "allow mirror.test 198.51.100.0/24", "deny loopback private",
                               "deny ads.mirror.test", "connect-ports 443"});
    std::string rule;
    EXPECT_TRUE(p.admits_client(address("10.9.8.7"), &rule));
    EXPECT_TRUE(p.admits_client(address("::ffff:10.0.0.1"), &rule));
    EXPECT_FALSE(p.admits_client(address("192.0.2.1"), &rule));
    EXPECT_EQ(rule, "clients");

    const std::tuple<const char*, int, bool, const char*, bool> targets[] = {
        // host, port, CONNECT, the rule that denies ("" passes), allowed by name
        {"mirror.test", 80, false, "", true},
        {"deb.mirror.test", 80, false, "", true},
        {"ads.mirror.test", 80, false, "deny ads.mirror.test", false},
        {"x.ads.mirror.test", 80, false, "deny ads.mirror.test", false},
        {"mirror.test", 22, true, "connect-ports", false},
        {"mirror.test", 443, true, "", true},
        {"elsewhere.test", 80, false, "", false},  // its address may lie in the allowed range
        {"notmirror.test", 80, false, "", false},
    };
    for (auto [host, port, connect, denied, by_name] : targets) {
        egress_policy::verdict v = p.check_target(host, port, connect);
        EXPECT_EQ(v.denied ? v.rule : "", denied) << host << ":" << port;
        EXPECT_EQ(v.name_allowed, by_name) << host;
    }
    const std::tuple<const char*, bool, const char*> addresses[] = {
        // address, allowed by name, the rule that denies ("" passes)
        {"198.51.100.9", false, ""},     {"203.0.113.1", false, "allow"},     {"203.0.113.1", true, ""},
        {"127.0.0.1", true, "deny loopback"}, {"::ffff:127.0.0.1", true, "deny loopback"}, {"::1", true, "deny loopback"},
        {"10.1.1.1", true, "deny private"},   {"fd00::1", true, "deny private"},       {"100.64.0.1", true, "deny private"},
        {"172.15.255.255", true, ""},
    };
    for (auto [text, by_name, denied] : addresses) {
        rule.clear();
        EXPECT_EQ(p.admits_address(address(text), by_name, &rule) ? "" : rule, std::string(denied)) << text;
    }
    // Without an allowed range, a name no allow rule names cannot pass at all.
    egress_policy names_only = reading({"allow mirror.test"});
    egress_policy::verdict v = names_only.check_target("other.test", 80, false);
    EXPECT_TRUE(v.denied);
    EXPECT_EQ(v.rule, "allow");
    // The default of a proxy on every adapter: the host's own addresses.
    egress_policy fallback = egress_policy::all_adapters_default();
    EXPECT_FALSE(fallback.admits_address(address("127.0.0.5"), false, &rule));
    EXPECT_TRUE(fallback.admits_address(address("192.0.2.1"), false, &rule));
    EXPECT_TRUE(fallback.admits_client(address("192.0.2.1"), &rule));
}
