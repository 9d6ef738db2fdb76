// What the proxy counts for its /metrics page (Prometheus text format,
// version 0.0.4): plain integers and fixed-bucket histograms on the loop's
// thread, so counting costs a few additions per request. The gauges that
// are cheaper to look up than to keep (pooled connections, list sizes,
// memory, descriptors) are read when the page is made.
#pragma once

#include "proxy/exchange_record.h"

#include <cstdint>
#include <ctime>
#include <string>

struct proxy_context;

namespace metrics {

// Seconds, with buckets fixed at build time.
struct histogram {
    static constexpr int buckets = 12;
    static constexpr double bounds[buckets] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                               0.1,   0.25,   0.5,   1,    2.5,   10};
    uint64_t counts[buckets + 1] = {};  // the last: above every bound
    uint64_t count = 0;
    double sum = 0;

    void observe(double seconds)
    {
        int i = 0;
        while (i < buckets && seconds > bounds[i])
            i++;
        counts[i]++;
        count++;
        sum += seconds;
    }
};

struct counters {
    uint64_t requests[exchange_outcomes] = {};  // by outcome
    uint64_t bytes_in = 0, bytes_out = 0;
    uint64_t clients_total = 0;
    int64_t clients_open = 0;
    uint64_t tunnels_total = 0;
    int64_t tunnels_open = 0;
    int64_t origins_open = 0;  // origin connections, attempts included
    uint64_t pool_hits = 0, pool_misses = 0;
    int64_t lookups_pending = 0;
    histogram lookup_seconds, exchange_seconds;
    time_t last_reload = 0;  // wall clock; the start when never reloaded
    time_t started = 0;
};

// The one set of counters; loop's thread only.
counters& count();

// Counts a finished exchange.
void finished(const exchange_record& r);

// The page. `paused`: clients not read now for memory (see memory_budget.h);
// the other gauges are read here, the pool's and the settings' from
// `context`.
std::string page(int64_t paused, const proxy_context& context);

}  // namespace metrics
