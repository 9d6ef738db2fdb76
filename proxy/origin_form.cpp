#include "proxy/origin_form.h"

#include "base/text.h"

#include <string_view>

namespace origin_form {

namespace {

// Fields that describe one hop of a message, never forwarded: the client's
// connection with the proxy is not the proxy's connection with the origin.
bool hop_by_hop(std::string_view name, const request_facts& facts)
{
    // Proxy-Authorization, Proxy-Connection and the like; Connection.
    using base::equals_nocase;
    if (base::starts_with_nocase(name, "Proxy") || base::starts_with_nocase(name, "Connection"))
        return true;
    if (equals_nocase(name, "keep-alive") || equals_nocase(name, "te") || equals_nocase(name, "trailer"))
        return true;
    if (equals_nocase(name, "upgrade"))
        return !facts.upgrade();
    // What frames the body and names the origin goes on, whatever the
    // client's Connection field says: dropping them would let the body of
    // this request be read as another one.
    if (equals_nocase(name, "content-length") || equals_nocase(name, "transfer-encoding") ||
        equals_nocase(name, "host"))
        return false;
    return facts.names_option(name);
}

}  // namespace

std::string copy_headers(const std::string& head, const request_facts& facts, const split_url& target)
{
    // The origin is the one the target names: a Host field that names
    // another would let a request for an allowed origin ask a shared server
    // for a blocked one. Where the client's Host already names the target's
    // origin, its line goes on unchanged.
    std::string kept, host_line = "Host: " + target.authority() + "\r\n";
    std::string host;
    int32_t port;
    bool agrees = facts.has_host && split_url::read_authority(facts.host, target.scheme, &host, &port) &&
                  host == target.host && port == target.port;
    bool host_written = false;
    for_each_header_line(head, [&](std::string_view line) {
        std::string_view name = line.substr(0, line.find(':'));
        if (hop_by_hop(name, facts))
            return;
        if (base::equals_nocase(name, "host")) {
            if (!agrees) {
                kept += host_line;
                host_written = true;
                return;
            }
            host_written = true;
        }
        size_t from = kept.size();
        kept += line;
        for (size_t i = from; i < kept.size(); i++)
            if (kept[i] == '\r' || kept[i] == '\n' || kept[i] == '\0')
                kept[i] = ' ';
        kept += "\r\n";
    });
    return host_written ? kept : host_line + kept;
}

std::string forwarded_head(const std::string& method, const split_url& target, const std::string& version,
                          const std::string& head, const request_facts& facts)
{
    std::string request = method + " " + target.path + " " + version + "\r\n";
    request += copy_headers(head, facts, target);
    // The origin is asked to switch protocols too (the client's Connection
    // line is its own hop's); a 101 then opens a tunnel. An HTTP/1.0 request
    // asks to keep the proxy's connection with the origin open, for the pool,
    // whatever the client wants of its own.
    if (facts.upgrade())
        request += "Connection: " + facts.upgrade_option + "\r\n";
    else if (version == "HTTP/1.0")
        request += "Connection: keep-alive\r\n";
    request += "\r\n";
    return request;
}

}  // namespace origin_form
