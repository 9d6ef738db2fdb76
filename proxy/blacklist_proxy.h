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
#pragma once

#include "proxy/http_proxy.h"

#include <string>

class blacklist_proxy : public http_proxy {
public:
    void on_headers() override;
    bool should_block(const std::string& host) override;
    bool should_block_address(const std::string& host, const std::string& address) override;

    // Compares in time that depends only on the lengths, not on where the
    // texts first differ, so credentials cannot be guessed byte by byte.
    static bool same_secret(const std::string& a, const std::string& b);

private:
    // Whether `blacklist` blocks name: itself, or a parent domain down to the
    // last label, is listed; *entry is the first that is.
    static bool listed(const std::string& name, std::string* entry);
};
