#include "proxy/origin_pool.h"

#include <sys/resource.h>

#include <algorithm>

namespace {

// total, or a quarter of the descriptor limit when that is less.
int room()
{
    static const int limit = [] {
        rlimit r{};
        if (getrlimit(RLIMIT_NOFILE, &r) != 0 || r.rlim_cur == RLIM_INFINITY ||
            r.rlim_cur / 4 >= rlim_t(origin_pool::total))
            return origin_pool::total;
        return int(r.rlim_cur / 4);
    }();
    return limit;
}

std::string key(const std::string& host, int32_t port) { return host + ":" + std::to_string(port); }

}  // namespace

proxy_connection* origin_pool::take(const std::string& host, int32_t port)
{
    auto it = idle.find(key(host, port));
    if (it == idle.end() || it->second.empty())
        return nullptr;
    entry e = it->second.back();
    it->second.pop_back();
    if (it->second.empty())
        idle.erase(it);
    count--;
    e.at->since = -1;
    return e.connection;
}

bool origin_pool::park(proxy_connection* c, place& at, const std::string& host, int32_t port, int64_t now)
{
    if (count >= room())
        return false;
    std::vector<entry>& list = idle[key(host, port)];
    if (int(list.size()) >= std::min(per_origin, room()))
        return false;
    list.push_back({c, &at});
    at.since = now;
    count++;
    return true;
}

void origin_pool::remove(proxy_connection* c, place& at, const std::string& host, int32_t port)
{
    if (!holds(at))
        return;
    at.since = -1;
    auto it = idle.find(key(host, port));
    if (it == idle.end())
        return;
    std::vector<entry>& list = it->second;
    auto found = std::find_if(list.begin(), list.end(), [c](const entry& e) { return e.connection == c; });
    if (found == list.end())
        return;
    list.erase(found);
    count--;
    if (list.empty())
        idle.erase(it);
}
