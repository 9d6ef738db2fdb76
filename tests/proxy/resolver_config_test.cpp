// What the resolver itself reads of the system's configuration: whether
// nsswitch.conf names sources that c-ares does not cover, and resolv.conf's
// time-outs as glibc reads them.
#include "proxy/resolver_config.h"

#include <gtest/gtest.h>

// Action items are no sources; comments end a line; the last hosts line
// counts (glibc's reading); without one, glibc's default has files and dns.
TEST(resolver_config, finds_hosts_sources_beyond_files_and_dns)
{
    const std::pair<const char*, bool> cases[] = {
        {"hosts: files mdns4_minimal [NOTFOUND=return] dns\n", true},
        {"hosts:\tfiles dns\n", false},
        {"hosts: files dns myhostname", true},
        {"hosts: files [ NOTFOUND = return ] dns\n", false},
        {"hosts: files dns[NOTFOUND=return]mdns\n", true},
        {"hosts: files dns # mdns4\n", false},
        {"# hosts: files mdns4\npasswd: files systemd\n", false},
        {"  hosts  : files resolve dns\n", true},
        {"hosts: files mdns4\nhosts: files dns\n", false},
        {"hosts: files dns\nhosts: files mdns4\n", true},
        {"hostsx: mdns4\n", false},
        {"", false},
    };
    for (auto& [text, want] : cases)
        EXPECT_EQ(resolver_config::names_other_sources(text), want) << text;
}

// Options lines in order, then RES_OPTIONS; glibc's bounds; "options" must
// be a word of its own and no comment can follow it; c-ares' own words (retrans:,
// retry:) are not glibc's.
TEST(resolver_config, reads_timeout_and_attempts_as_glibc_does)
{
    struct row { const char *conf, *env; int timeout_ms, attempts; };
    row cases[] = {
        {"nameserver 10.0.0.1\n", nullptr, 5000, 2},
        {"options timeout:1\noptions rotate # attempts:3\n", nullptr, 1000, 3},
        {"options timeout:99 attempts:9\n", nullptr, 30000, 5},
        {"options timeout:0 attempts:0\n", nullptr, 1000, 1},
        {"options timeout:x\n", nullptr, 1000, 2},
        {"optionstimeout:3\n#options timeout:3\n options\ttimeout:4\n", nullptr, 4000, 2},
        {"options retrans:100 retry:7\n", nullptr, 5000, 2},
        {"options timeout:3 attempts:4\n", "attempts:1", 3000, 1},
        {"", "ndots:2 timeout:7", 7000, 2},
    };
    for (auto& c : cases) {
        resolver_config::timing t = resolver_config::resolv_timing(c.conf, c.env);
        EXPECT_EQ(t.timeout_ms, c.timeout_ms) << c.conf << " / " << (c.env ? c.env : "");
        EXPECT_EQ(t.attempts, c.attempts) << c.conf << " / " << (c.env ? c.env : "");
    }
}
