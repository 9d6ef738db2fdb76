#include "proxy/blacklist_proxy.h"

#include "base/base64.h"
#include "base/escape.h"
#include "base/text.h"
#include "proxy/access_log.h"
#include "proxy/answers.h"
#include "proxy/metrics.h"
#include "server/abstract_server.h"
#include "proxy/canonical_host.h"
#include "proxy/proxy_context.h"

#include <cstdio>

bool blacklist_proxy::same_secret(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); i++)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

void blacklist_proxy::on_headers()
{
    // Before the credentials: a request whose end is unclear must not be
    // answered 407 and then let its body be read as the next request.
    if (refuse_faulty_head())
        return;
    std::string rule;
    bool admitted = !config().policy.limits_clients() || config().policy.admits_client(peer, &rule);
    bool page = own_page();
    if (page && !(peer.loopback() || (config().policy.limits_clients() && admitted))) {
        // Only clients on this host or inside a clients rule see the
        // proxy's own pages; to anyone else this is an origin-form request
        // like any other.
        begin_record(true);
        close_after_answer(answers::bad_target);
        return;
    }
    // Nothing of a client the policy does not admit is looked up,
    // forwarded, or even asked for credentials. (The pages, which ask for
    // nothing of the kind, go to this host's own clients whatever the rule.)
    if (!admitted && !page) {
        puts(info(true).c_str());
        printf("Denied: %s (%s)\n", base::escape_controls(target.host).c_str(), rule.c_str());
        close_after_answer(answers::forbidden_closing);
        return;
    }
    if (!config().auth.empty() && !credentials_accepted()) {
        refuse(answers::auth_required);
        return;
    }
    if (page) {
        answer_page();
        return;
    }
    if (exchange_record* r = relay->record(); r && !config().auth.empty() && access_log::enabled())
        r->user = config().auth.substr(0, config().auth.find(':'));
    forward();
}

bool blacklist_proxy::credentials_accepted() const
{
    // credentials = "Basic" 1*SP token68, the scheme in any letter case.
    const std::string& value = facts().proxy_authorization;
    std::string presented;
    size_t space = value.find(' ');
    if (space != std::string::npos && base::equals_nocase(std::string_view(value).substr(0, space), "basic")) {
        size_t start = value.find_first_not_of(' ', space);
        if (start != std::string::npos)
            presented = base::unbase64(value.substr(start));
    }
    return same_secret(presented, config().auth);
}

void blacklist_proxy::answer_page()
{
    std::string body;
    if (url() == "/healthz")
        body = "ok";
    else {
        int64_t paused = 0;
        context.server.each_connection([&](connection* c) {
            if (auto* client = dynamic_cast<http_proxy*>(c); client && !client->relay->closing() && client->relay->room() == 0)
                paused++;
        });
        body = metrics::page(paused, context);
    }
    std::string text = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n" + body;
    refuse(text.c_str());
}

bool blacklist_proxy::listed(const std::string& name, std::string* entry) const
{
    if (config().blacklist.size() == 0)
        return false;
    *entry = name;
    for (;;) {
        if (config().blacklist.contains(*entry))
            return true;
        // An IPv6 address has no parent domains.
        if (is_ipv6_literal(name))
            return false;
        size_t dot = entry->find('.');
        if (dot == std::string::npos)
            return false;
        entry->erase(0, dot + 1);
    }
}

bool blacklist_proxy::should_block(const std::string& host) { return blocks(host, host); }

bool blacklist_proxy::should_deny(const std::string& host, int32_t port, bool connect, bool* name_allowed)
{
    if (config().policy.empty()) {
        *name_allowed = false;
        return false;
    }
    egress_policy::verdict v = config().policy.check_target(host, port, connect);
    *name_allowed = v.name_allowed;
    if (!v.denied)
        return false;
    printf("Denied: %s (%s)\n", base::escape_controls(host).c_str(), v.rule.c_str());
    return true;
}

bool blacklist_proxy::should_deny_address(const socket_address& to, bool name_allowed, std::string* rule)
{
    return !config().policy.empty() && !config().policy.admits_address(to, name_allowed, rule);
}

bool blacklist_proxy::should_block_address(const std::string& host, const socket_address& to)
{
    // The address's text is written only when there is a list to look it up in.
    return config().blacklist.size() != 0 && blocks(host, to.text());
}

bool blacklist_proxy::blocks(const std::string& host, const std::string& name) const
{
    std::string entry;
    if (!listed(name, &entry))
        return false;
    printf("Blocked: %s (%s)\n", base::escape_controls(host).c_str(), base::escape_controls(entry).c_str());
    return true;
}
