#include "proxy/metrics.h"

#include "proxy/access_log.h"
#include "proxy/proxy_context.h"
#include "server/log_output.h"

#include <cstdio>
#include <dirent.h>
#include <unistd.h>

namespace metrics {

counters& count()
{
    static counters c;
    return c;
}

void finished(const exchange_record& r)
{
    counters& c = count();
    c.requests[int(r.outcome)]++;
    c.bytes_in += r.bytes_in;
    c.bytes_out += r.bytes_out;
    c.exchange_seconds.observe(double(r.ended_ms - r.started_ms) / 1000);
}

namespace {

void head(std::string& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void number(std::string& out, const char* name, const char* type, const char* help, double value)
{
    head(out, name, type, help);
    char text[64];
    snprintf(text, sizeof text, "%s %.17g\n", name, value);
    out += text;
}

void buckets(std::string& out, const char* name, const char* help, const histogram& h)
{
    head(out, name, "histogram", help);
    char text[160];
    uint64_t below = 0;
    for (int i = 0; i < histogram::buckets; i++) {
        below += h.counts[i];
        snprintf(text, sizeof text, "%s_bucket{le=\"%g\"} %llu\n", name, histogram::bounds[i], (unsigned long long)below);
        out += text;
    }
    snprintf(text, sizeof text, "%s_bucket{le=\"+Inf\"} %llu\n%s_sum %.17g\n%s_count %llu\n", name,
             (unsigned long long)h.count, name, h.sum, name, (unsigned long long)h.count);
    out += text;
}

// Resident memory in bytes, from /proc/self/statm.
double resident_bytes()
{
    long pages = 0, resident = 0;
    if (FILE* f = fopen("/proc/self/statm", "r")) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(f);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE));
}

double open_descriptors()
{
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return 0;
    double n = -1;  // the directory's own descriptor
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            n++;
    closedir(dir);
    return n;
}

}  // namespace

std::string page(int64_t paused, const proxy_context& context)
{
    counters& c = count();
    std::string out;
    head(out, "proxy_requests_total", "counter", "Requests (exchanges, tunnels and refusals) by how they ended.");
    for (int i = 0; i < exchange_outcomes; i++)
        out += "proxy_requests_total{outcome=\"" + std::string(outcome_word(exchange_outcome(i))) + "\"} " +
               std::to_string(c.requests[i]) + "\n";
    number(out, "proxy_received_bytes_total", "counter", "Bytes received from clients: heads, bodies, tunnel bytes.",
           double(c.bytes_in));
    number(out, "proxy_sent_bytes_total", "counter", "Bytes sent to clients.", double(c.bytes_out));
    number(out, "proxy_client_connections", "gauge", "Client connections open.", double(c.clients_open));
    number(out, "proxy_client_connections_total", "counter", "Client connections accepted.", double(c.clients_total));
    number(out, "proxy_tunnels", "gauge", "Tunnels open (CONNECT, and upgraded connections).", double(c.tunnels_open));
    number(out, "proxy_tunnels_total", "counter", "Tunnels opened.", double(c.tunnels_total));
    head(out, "proxy_origin_connections", "gauge", "Connections to origins, serving or connecting, and idle in the pool.");
    int64_t pooled = context.pool.size();
    out += "proxy_origin_connections{state=\"active\"} " + std::to_string(c.origins_open - pooled) + "\n";
    out += "proxy_origin_connections{state=\"pooled\"} " + std::to_string(pooled) + "\n";
    number(out, "proxy_pool_hits_total", "counter", "Requests served on a pooled origin connection.",
           double(c.pool_hits));
    number(out, "proxy_pool_misses_total", "counter", "Requests that had to open an origin connection.",
           double(c.pool_misses));
    number(out, "proxy_lookups_pending", "gauge", "Name lookups waiting for an answer.", double(c.lookups_pending));
    buckets(out, "proxy_lookup_duration_seconds", "Time a name lookup took.", c.lookup_seconds);
    buckets(out, "proxy_exchange_duration_seconds", "Time from a request's head to the end of its answer.",
            c.exchange_seconds);
    number(out, "proxy_log_lines_dropped_total", "counter",
           "Log lines (standard output and access log) dropped because they were not read.",
           double(log_output::dropped() + access_log::dropped()));
    number(out, "proxy_clients_paused", "gauge", "Clients not read now because the proxy holds too much for them.",
           double(paused));
    number(out, "proxy_blocklist_entries", "gauge", "Entries of the block lists in force.", double(context.config.blacklist.size()));
    number(out, "proxy_policy_rules", "gauge", "Rules of the egress policy in force.", double(context.config.policy.rules()));
    number(out, "proxy_last_reload_timestamp_seconds", "gauge", "When the lists and policy in force were read.",
           double(c.last_reload));
    number(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.", resident_bytes());
    number(out, "process_open_fds", "gauge", "Number of open file descriptors.", open_descriptors());
    number(out, "process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
           double(c.started));
    return out;
}

}  // namespace metrics
