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
        return ntohs(storage.six.sin6_port);
    return ntohs(storage.four.sin_port);
}

void socket_address::set_port(uint16_t port)
{
    if (is_v6())
        storage.six.sin6_port = htons(port);
    else
        storage.four.sin_port = htons(port);
}

namespace {

// What inet_ntop writes for an IPv4 address (network byte order), without
// its cost: every request's log line and record name an address. Returns
// the end of the text written at `text` (16 bytes room).
char* write_dotted(char* text, uint32_t address)
{
    const auto* b = reinterpret_cast<const unsigned char*>(&address);
    char* p = text;
    for (int i = 0; i < 4; i++) {
        unsigned v = b[i];
        if (i > 0)
            *p++ = '.';
        if (v >= 100)
            *p++ = char('0' + v / 100);
        if (v >= 10)
            *p++ = char('0' + v / 10 % 10);
        *p++ = char('0' + v % 10);
    }
    return p;
}

}  // namespace

std::string socket_address::dotted(uint32_t address)
{
    char text[16];
    return std::string(text, size_t(write_dotted(text, address) - text));
}

char* socket_address::write_text_with_brackets(char* out) const
{
    if (family() == AF_INET)
        return write_dotted(out, v4());
    if (!is_v6())
        return out;
    *out++ = '[';
    inet_ntop(AF_INET6, &storage.six.sin6_addr, out, INET6_ADDRSTRLEN);
    out += strlen(out);
    *out++ = ']';
    return out;
}

std::string socket_address::text() const
{
    if (family() == AF_INET)
        return dotted(v4());
    char buffer[INET6_ADDRSTRLEN] = "";
    if (is_v6())
        inet_ntop(AF_INET6, &storage.six.sin6_addr, buffer, sizeof buffer);
    return buffer;
}

uint32_t socket_address::v4() const
{
    return family() == AF_INET ? storage.four.sin_addr.s_addr : 0;
}

const in6_addr& socket_address::v6() const
{
    static const in6_addr none{};
    return is_v6() ? storage.six.sin6_addr : none;
}

std::string socket_address::text_with_brackets() const
{
    if (!is_v6())
        return text();
    std::string bracketed(1, '[');  // (not "[" + ...: a false -Wrestrict in g++ 12 at -O3)
    return bracketed.append(text()).append(1, ']');
}

socket_address socket_address::canonical() const
{
    if (!is_v6())
        return *this;
    const sockaddr_in6* six = &storage.six;
    if (!IN6_IS_ADDR_V4MAPPED(&six->sin6_addr))
        return *this;
    sockaddr_in four{};
    four.sin_family = AF_INET;
    four.sin_port = six->sin6_port;
    memcpy(&four.sin_addr, &six->sin6_addr.s6_addr[12], sizeof four.sin_addr);
    return socket_address(reinterpret_cast<const sockaddr*>(&four), sizeof four);
}

bool socket_address::loopback() const
{
    socket_address one = canonical();
    if (one.is_v6())
        return IN6_IS_ADDR_LOOPBACK(&one.storage.six.sin6_addr);
    return one.family() == AF_INET && (ntohl(one.v4()) >> 24) == 127;
}

bool socket_address::unspecified() const
{
    socket_address one = canonical();
    if (one.is_v6())
        return IN6_IS_ADDR_UNSPECIFIED(&one.storage.six.sin6_addr);
    return one.family() == AF_INET && (ntohl(one.v4()) >> 24) == 0;
}
