// The client connection the server makes for every accepted client: an
// http_proxy with the two policies of the command line.
//  - Authentication: when `auth` is set, every request head must carry one
//    "Proxy-Authorization: Basic <base64 of auth>" (the scheme in any letter
//    case, one or more spaces after it), or it is answered 407 and goes no
//    further (no log line, no blocking check). The same keep-alive
//    connection may then try again.
//  - Blocking: the request's canonical host (canonical_host.h), then each
//    parent domain down to the last label, is looked up in `blacklist`,
//    whose entries are canonical too; the first hit prints a "Blocked: "
//    line and the request is answered 404.
//  - The egress policy (`policy`, egress_policy.h): a client it does not
//    admit gets 403 for its first request and the connection ends; a target
//    it denies, by name and port or by every address it would connect to,
//    gets 403 (the connection goes on, but after a CONNECT). Each refusal
//    prints the request's description line and "Denied: HOST (RULE)". The
//    block list is asked first, the policy after it.
#pragma once

#include "proxy/http_proxy.h"
#include "proxy/proxy_context.h"

#include <string>

class blacklist_proxy : public http_proxy {
public:
    using http_proxy::http_proxy;
    void on_headers() override;
    bool should_block(const std::string& host) override;
    bool should_block_address(const std::string& host, const socket_address& to) override;
    bool should_deny(const std::string& host, int32_t port, bool connect, bool* name_allowed) override;
    bool should_deny_address(const socket_address& to, bool name_allowed, std::string* rule) override;

    // Compares in time that depends only on the lengths, not on where the
    // texts first differ, so credentials cannot be guessed byte by byte.
    static bool same_secret(const std::string& a, const std::string& b);

private:
    // The settings in force (the context's; a reload swaps their contents).
    const settings& config() const { return context.config; }
    // The request carries the credentials `auth` names.
    bool credentials_accepted() const;
    // Answers /healthz or /metrics.
    void answer_page();
    // Whether the block list blocks name: itself, or a parent domain down to
    // the last label, is listed; *entry is the first that is.
    bool listed(const std::string& name, std::string* entry) const;
    // Whether `name` (a host, or an address in its canonical text) is
    // listed; prints the "Blocked: " line for host if it is.
    bool blocks(const std::string& host, const std::string& name) const;
};
