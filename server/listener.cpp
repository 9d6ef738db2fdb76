#include "server/listener.h"

#include "server/local_addresses.h"

#include "server/sockets.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// The IPv4 addresses of every interface, one per line.
std::string ipv4_addresses()
{
    std::string list;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0)
        return list;
    for (ifaddrs* i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET)
            continue;
        char host[64];
        if (getnameinfo(i->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
            continue;
        if (!list.empty())
            list += "\n";
        list += host;
    }
    freeifaddrs(all);
    return list;
}

}  // namespace

namespace {

// A listening IPv6 socket on ::1 (local_only) or on every address, for IPv6
// only (so that each family has a socket of its own whatever the system's
// default), registered for polling; -1 with *error set when IPv6 is not
// available or the socket cannot listen.
int open_v6(sockets& polled, int32_t port, bool local_only, int* error)
{
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in6 at{};
    at.sin6_family = AF_INET6;
    at.sin6_port = htons(uint16_t(port));
    at.sin6_addr = local_only ? in6addr_loopback : in6addr_any;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 || listen(fd, listen_backlog) != 0) {
        *error = errno;
        close(fd);
        return -1;
    }
    set_nonblocking(fd);
    if (!polled.add(fd)) {
        *error = ENOMEM;
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::vector<int> open_listeners(sockets& polled, int32_t port, bool local_only)
{
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    char service[16];
    snprintf(service, sizeof service, "%d", port);

    addrinfo* result = nullptr;
    int rc;
    if (local_only) {
        printf("Binding to port %d on localhost only\n", port);
        rc = getaddrinfo("127.0.0.1", service, &hints, &result);
    } else {
        printf("Binding to port %d on all adapters:\n", port);
        puts(ipv4_addresses().c_str());
        rc = getaddrinfo(nullptr, service, &hints, &result);
    }
    if (rc != 0) {
        printf("getaddrinfo() failed: %d %s\n", rc, gai_strerror(rc));
        return {};
    }

    int fd = ::socket(result->ai_family, result->ai_socktype | SOCK_CLOEXEC, result->ai_protocol);
    if (fd == -1) {
        puts("socket() failed");
        freeaddrinfo(result);
        return {};
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    // Accepted sockets inherit this. Output is handed to a socket in large
    // pieces already; holding back a small remainder would only add a
    // delayed-ACK round trip.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (bind(fd, result->ai_addr, result->ai_addrlen) == -1) {
        int err = errno;
        printf("bind() failed: %d %s\n", err, strerror(err));
        puts("Check that the port isn't already taken.");
        puts("This can be done with 'netstat -an' on windows/mac/linux.");
        close(fd);
        freeaddrinfo(result);
        return {};
    }
    freeaddrinfo(result);
    if (listen(fd, listen_backlog) == -1) {
        puts("listen() failed");
        close(fd);
        return {};
    }
    set_nonblocking(fd);
    if (!polled.add(fd)) {
        puts("listen() failed");
        close(fd);
        return {};
    }
    std::vector<int> listeners{fd};

    // IPv6 beside it: a host without IPv6 (disabled, or no ::1) is served
    // over IPv4 alone; the port taken over IPv6 is as fatal as over IPv4.
    int error = 0;
    int six = open_v6(polled, port, local_only, &error);
    if (six >= 0)
        listeners.push_back(six);
    else if (error == EAFNOSUPPORT || error == EADDRNOTAVAIL || error == EPROTONOSUPPORT)
        printf("Warning! IPv6 is not available (%s): listening on IPv4 only.\n", strerror(error));
    else {
        printf("bind() failed: %d %s\n", error, strerror(error));
        puts("Check that the port isn't already taken.");
        puts("This can be done with 'netstat -an' on windows/mac/linux.");
        close_listener(polled, fd);
        return {};
    }
    return listeners;
}

bool reaches_listener(int32_t port, bool local_only, const socket_address& target)
{
    if (port == 0 || target.port() != port)
        return false;
    // An IPv4 address written as IPv6 reaches the IPv4 listener.
    socket_address to = target.canonical();
    if (to.is_v6()) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(to.get())->sin6_addr;
        if (IN6_IS_ADDR_LOOPBACK(&a) || IN6_IS_ADDR_UNSPECIFIED(&a))
            return true;
        if (local_only)
            return false;
    } else {
        uint32_t address = ntohl(to.v4());
        if (address == INADDR_ANY || address == INADDR_LOOPBACK)
            return true;
        if (local_only)
            return false;
        if ((address >> 24) == 127)
            return true;
    }
    return is_local_address(to);
}

void close_listener(sockets& polled, int fd)
{
    polled.remove(fd, true);
    close(fd);
}
