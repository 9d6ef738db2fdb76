#include "proxy/http_proxy.h"

#include "proxy/answers.h"
#include "proxy/proxy_connection.h"
#include "proxy/split_url.h"
#include "server/abstract_server.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool starts_with_nocase(const std::string& line, const char* prefix)
{
    size_t n = strlen(prefix);
    return line.size() >= n && strncasecmp(line.data(), prefix, n) == 0;
}

}  // namespace

http_proxy::http_proxy() : relay(new proxy_relay) {}

http_proxy::~http_proxy() { proxy_relay::release(relay); }

abstract_server*& http_proxy::g_server()
{
    static abstract_server* running = nullptr;
    return running;
}

std::string http_proxy::copy_headers(const std::string& head)
{
    std::string kept;
    size_t end = head.find("\r\n");
    if (end == std::string::npos || end == 0)
        return kept;
    for (;;) {
        size_t start = end + 2;
        end = head.find("\r\n", start + 2);
        if (end == std::string::npos)
            return kept;
        std::string line = head.substr(start, end - start);
        if (starts_with_nocase(line, "Proxy") || starts_with_nocase(line, "Connection"))
            continue;
        kept += line;
        kept += "\r\n";
    }
}

bool http_proxy::should_block(const std::string&) { return false; }

void http_proxy::refuse(const char* answer)
{
    relay->to_client.append(answer);
    discarding = true;
}

bool http_proxy::open_upstream(const std::string& host, int32_t port)
{
    proxy_relay::release(relay);
    relay = new proxy_relay;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    char service[16];
    snprintf(service, sizeof service, "%d", port);
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), service, &hints, &list) != 0) {
        printf("getaddrinfo() failed for host %s:%d!\n", host.c_str(), port);
        return false;
    }
    addrinfo* a = list;
    while (a && a->ai_family == AF_INET6)
        a = a->ai_next;
    int fd = -1;
    if (a) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd != -1) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            connect(fd, a->ai_addr, a->ai_addrlen);
        }
    }
    freeaddrinfo(list);
    if (fd == -1) {
        printf("No addresses worked for host %s:%d.\n", host.c_str(), port);
        return false;
    }
    g_server()->add_connection(new proxy_connection(fd, relay));
    upstream_host = host;
    upstream_port = port;
    return true;
}

void http_proxy::on_headers()
{
    discarding = false;
    puts(info(true).c_str());

    split_url target(url);
    if (should_block(target.host)) {
        refuse(answers::not_found);
        return;
    }

    bool reuse = relay->refs >= 2 && upstream_host == target.host && upstream_port == target.port;
    if (!reuse && !open_upstream(target.host, target.port)) {
        refuse(answers::bad_gateway);
        relay->close_client = true;
        keep_alive = false;
        return;
    }

    if (method == "CONNECT") {
        keep_alive = false;
        if (relay->connected)
            relay->to_client.append(answers::tunnel_open);
        else
            relay->tunnel_pending = true;
        return;
    }
    std::string request = method + " " + target.path + " " + version + "\r\n";
    request += copy_headers(head);
    request += "\r\n";
    relay->to_origin.append(request);
}

void http_proxy::on_data(char* data, int len)
{
    if (!discarding)
        relay->to_origin.append(data, size_t(len));
}

void http_proxy::on_request() {}

bool http_proxy::on_send(char* buf, int cap, int* len)
{
    *len = int(relay->to_client.take(buf, size_t(cap)));
    return !(relay->close_client && relay->to_client.empty());
}

bool http_proxy::wants_input() const { return relay->to_origin.size() < proxy_relay::high_water; }

bool http_proxy::relays_body() const { return true; }
