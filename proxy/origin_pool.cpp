#include "proxy/origin_pool.h"

#include "base/unordered_erase.h"

#include <sys/resource.h>

#include <algorithm>
#include <unordered_map>
#include <vector>

namespace origin_pool {

namespace {

struct pool {
    std::unordered_map<std::string, std::vector<proxy_connection*>> idle;
    int count = 0;
};

pool& the_pool()
{
    static pool* p = new pool;  // connections may end after main's server is gone
    return *p;
}

// total, or a quarter of the descriptor limit when that is less.
int room()
{
    static const int limit = [] {
        rlimit r{};
        if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY || r.rlim_cur / 4 >= rlim_t(total))
            return total;
        return int(r.rlim_cur / 4);
    }();
    return limit;
}

std::string key(const std::string& host, int32_t port) { return host + ":" + std::to_string(port); }

}  // namespace

proxy_connection* take(const std::string& host, int32_t port)
{
    pool& p = the_pool();
    auto it = p.idle.find(key(host, port));
    if (it == p.idle.end() || it->second.empty())
        return nullptr;
    proxy_connection* c = it->second.back();
    it->second.pop_back();
    if (it->second.empty())
        p.idle.erase(it);
    p.count--;
    return c;
}

bool park(proxy_connection* c, const std::string& host, int32_t port)
{
    pool& p = the_pool();
    if (p.count >= room())
        return false;
    std::vector<proxy_connection*>& list = p.idle[key(host, port)];
    if (int(list.size()) >= std::min(per_origin, room()))
        return false;
    list.push_back(c);
    p.count++;
    return true;
}

void remove(proxy_connection* c, const std::string& host, int32_t port)
{
    pool& p = the_pool();
    auto it = p.idle.find(key(host, port));
    if (it == p.idle.end())
        return;
    std::vector<proxy_connection*>& list = it->second;
    auto at = std::find(list.begin(), list.end(), c);
    if (at == list.end())
        return;
    list.erase(at);
    p.count--;
    if (list.empty())
        p.idle.erase(it);
}

int size() { return the_pool().count; }

}  // namespace origin_pool
