#include "server/local_addresses.h"

#include <cstring>
#include <ctime>
#include <ifaddrs.h>
#include <vector>

namespace {

struct interface_list {
    std::vector<socket_address> addresses;
    time_t read_at = 0;
    bool read_once = false;
};

const std::vector<socket_address>& current()
{
    static interface_list list;
    time_t now = time(nullptr);
    if (list.read_once && now == list.read_at)
        return list.addresses;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0)
        return list.addresses;  // the last list read, if any
    list.addresses.clear();
    for (ifaddrs* i = all; i; i = i->ifa_next)
        if (i->ifa_addr && (i->ifa_addr->sa_family == AF_INET || i->ifa_addr->sa_family == AF_INET6))
            list.addresses.push_back(socket_address(i->ifa_addr, i->ifa_addr->sa_family == AF_INET
                                                                     ? sizeof(sockaddr_in)
                                                                     : sizeof(sockaddr_in6))
                                         .canonical());
    freeifaddrs(all);
    list.read_at = now;
    list.read_once = true;
    return list.addresses;
}

}  // namespace

bool is_local_address(const socket_address& a)
{
    socket_address one = a.canonical();
    for (const socket_address& mine : current()) {
        if (mine.family() != one.family())
            continue;
        if (one.is_v6() ? memcmp(&reinterpret_cast<const sockaddr_in6*>(mine.get())->sin6_addr,
                                 &reinterpret_cast<const sockaddr_in6*>(one.get())->sin6_addr, sizeof(in6_addr)) == 0
                        : mine.v4() == one.v4())
            return true;
    }
    return false;
}
