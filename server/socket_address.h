// An IPv4 or IPv6 address with a port: where a connection goes, or comes
// from. A value type; the system's sockaddr form is in it. Addresses that a
// lookup returned are compared and connected to in their canonical() form
// only, so that no second spelling of an address escapes a comparison.
#pragma once

#include <cstdint>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>

class socket_address {
public:
    socket_address() = default;
    // From a system address (AF_INET or AF_INET6); any other leaves it empty.
    socket_address(const sockaddr* address, socklen_t length);

    int family() const { return storage.any.sa_family; }
    bool is_v6() const { return family() == AF_INET6; }
    bool empty() const { return family() == AF_UNSPEC; }
    const sockaddr* get() const { return &storage.any; }
    socklen_t length() const { return is_v6() ? sizeof(sockaddr_in6) : sizeof(sockaddr_in); }

    uint16_t port() const;
    void set_port(uint16_t port);
    // The address as inet_ntop writes it ("127.0.0.1", "::1").
    std::string text() const;
    // An IPv4 address (network byte order) as inet_ntop writes it.
    static std::string dotted(uint32_t address);
    // The address as a request description line shows it: IPv6 in brackets.
    std::string text_with_brackets() const;
    // ... written at out, for a line being built (room: 48 bytes); returns
    // the end of what was written.
    char* write_text_with_brackets(char* out) const;
    // The IPv4 address in network byte order; 0 for IPv6.
    uint32_t v4() const;
    // The IPv6 address; all zeros for IPv4.
    const in6_addr& v6() const;

    // The same address in its one form: an IPv4-mapped IPv6 address
    // (::ffff:a.b.c.d), which a connect sends to a.b.c.d, becomes that
    // AF_INET address with the same port; any other comes back unchanged.
    socket_address canonical() const;
    // Whether this is a loopback address, in any form: 127.0.0.0/8 or ::1.
    bool loopback() const;
    // Whether this is an unspecified address, in any form: 0.0.0.0/8 or ::
    // (or ::ffff:0.x.y.z). A connect to one reaches this host, so it names
    // no origin.
    bool unspecified() const;

private:
    // The larger form first, so that {} clears every byte. 28 bytes, not a
    // sockaddr_storage's 128: every accepted client keeps one.
    union {
        sockaddr_in6 six;
        sockaddr_in four;
        sockaddr any;
    } storage{};
};
