#include "server/listener.h"

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

int open_listener(int32_t port, bool local_only)
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
        return -1;
    }

    int fd = ::socket(result->ai_family, result->ai_socktype | SOCK_CLOEXEC, result->ai_protocol);
    if (fd == -1) {
        puts("socket() failed");
        freeaddrinfo(result);
        return -1;
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
        return -1;
    }
    freeaddrinfo(result);
    if (listen(fd, listen_backlog) == -1) {
        puts("listen() failed");
        close(fd);
        return -1;
    }
    set_nonblocking(fd);
    if (!sockets::add(fd)) {
        puts("listen() failed");
        close(fd);
        return -1;
    }
    return fd;
}

bool reaches_listener(int32_t port, bool local_only, const sockaddr_in& to)
{
    if (port == 0 || ntohs(to.sin_port) != port)
        return false;
    uint32_t address = ntohl(to.sin_addr.s_addr);
    if (address == INADDR_ANY || address == INADDR_LOOPBACK)
        return true;
    if (local_only)
        return false;
    if ((address >> 24) == 127)
        return true;
    // Interfaces come and go while the server runs; only a target on the
    // listening port, which is rare, costs this look.
    bool local = false;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0)
        return false;
    for (ifaddrs* i = all; i && !local; i = i->ifa_next)
        local = i->ifa_addr && i->ifa_addr->sa_family == AF_INET &&
                reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == to.sin_addr.s_addr;
    freeifaddrs(all);
    return local;
}

void close_listener(int fd)
{
    sockets::remove(fd, true);
    close(fd);
}
