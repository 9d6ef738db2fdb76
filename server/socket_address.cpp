#include "server/socket_address.h"

#include <arpa/inet.h>
#include <cstring>

socket_address::socket_address(const sockaddr* address, socklen_t length)
{
    if (address && ((address->sa_family == AF_INET && length >= socklen_t(sizeof(sockaddr_in))) ||
                    (address->sa_family == AF_INET6 && length >= socklen_t(sizeof(sockaddr_in6)))))
        memcpy(&storage, address, address->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
}

uint16_t socket_address::port() const
{
    if (is_v6())
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
}

void socket_address::set_port(uint16_t port)
{
    if (is_v6())
        reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(port);
}

std::string socket_address::text() const
{
    char buffer[INET6_ADDRSTRLEN] = "";
    if (is_v6())
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr, buffer, sizeof buffer);
    else if (family() == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, buffer, sizeof buffer);
    return buffer;
}

uint32_t socket_address::v4() const
{
    return family() == AF_INET ? reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr.s_addr : 0;
}
