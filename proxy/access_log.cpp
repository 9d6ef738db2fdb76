#include "proxy/access_log.h"

#include "base/escape.h"
#include "server/clock.h"
#include "server/log_queue.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

const char* outcome_word(exchange_outcome outcome)
{
    static const char* const words[exchange_outcomes] = {
        "ok",      "blocked",     "denied",      "auth",     "bad_request", "loop",
        "unreachable", "timeout", "client_gone", "origin_gone", "too_large",
    };
    return words[int(outcome)];
}

namespace access_log {

namespace {

struct state {
    std::string path;
    log_queue* queue = nullptr;  // lives as long as the process: its writer may outlive main
    uint64_t dropped = 0;        // all told
    uint64_t unreported = 0;     // dropped since the last warning line
};

state& self()
{
    static state s;
    return s;
}

// The access log is read by JSON parsers: a zero byte (which base::escape
// writes as "\0") must be "\u0000".
void json_string(std::string& out, const std::string& text)
{
    out += '"';
    for (size_t at = 0;;) {
        size_t zero = text.find('\0', at);
        out += base::escape(text.substr(at, zero == std::string::npos ? std::string::npos : zero - at), true);
        if (zero == std::string::npos)
            break;
        out += "\\u0000";
        at = zero + 1;
    }
    out += '"';
}

void json_string_or_null(std::string& out, const std::string& text)
{
    if (text.empty())
        out += "null";
    else
        json_string(out, text);
}

int open_file(const std::string& path)
{
    // Not waiting to open (a FIFO without a reader fails at once); then
    // blocking, for the writer thread, which alone waits on the file.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0640);
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

int open(const std::string& path)
{
    state& s = self();
    int fd = open_file(path);
    if (fd < 0)
        return errno;
    s.path = path;
    s.queue = new log_queue(fd, 4u << 20);
    return 0;
}

bool enabled() { return self().queue != nullptr; }

const std::string& path() { return self().path; }

int reopen()
{
    state& s = self();
    if (!s.queue)
        return 0;
    int fd = open_file(s.path);
    if (fd < 0)
        return errno;
    s.queue->replace(fd);
    return 0;
}

std::string line(const exchange_record& r, int64_t ended_wall_ms)
{
    char when[64];
    time_t seconds = time_t(ended_wall_ms / 1000);
    tm utc;
    gmtime_r(&seconds, &utc);
    snprintf(when, sizeof when, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, int(ended_wall_ms % 1000));
    std::string out = "{\"time\":\"";
    out += when;
    out += "\",\"client\":";
    json_string(out, r.client);
    out += ",\"user\":";
    json_string_or_null(out, r.user);
    out += ",\"method\":";
    json_string_or_null(out, r.method);
    out += ",\"target\":";
    json_string_or_null(out, r.target);
    out += ",\"host\":";
    json_string_or_null(out, r.host);
    out += ",\"port\":";
    out += r.host.empty() ? "null" : std::to_string(r.port);
    out += ",\"status\":";
    out += r.status ? std::to_string(r.status) : "null";
    out += ",\"outcome\":\"";
    out += outcome_word(r.outcome);
    out += "\",\"upstream\":";
    if (r.upstream.empty())
        out += "null";
    else
        out.append(1, '"').append(r.upstream.text_with_brackets()).append(1, ':').append(std::to_string(r.upstream.port())).append(1, '"');
    out += ",\"pooled\":";
    out += r.pooled ? "true" : "false";
    out += ",\"bytes_in\":" + std::to_string(r.bytes_in);
    out += ",\"bytes_out\":" + std::to_string(r.bytes_out);
    out += ",\"connect_ms\":";
    out += r.connected_ms < 0 ? "null" : std::to_string(r.connected_ms - r.started_ms);
    out += ",\"duration_ms\":" + std::to_string(r.ended_ms - r.started_ms);
    out += '}';
    return out;
}

void write(const exchange_record& r)
{
    state& s = self();
    if (!s.queue)
        return;
    if (s.unreported) {
        // The reader has caught up enough: the gap is told on standard
        // output (the access log holds JSON only).
        if (!s.queue->fits(4096)) {
            s.dropped++;
            s.unreported++;
            return;
        }
        printf("Warning! %llu access log lines dropped: the access log was not written.\n",
               (unsigned long long)s.unreported);
        s.unreported = 0;
    }
    if (!s.queue->push(line(r, wall_ms()) + "\n")) {
        s.dropped++;
        s.unreported++;
    }
}

uint64_t dropped() { return self().dropped; }

}  // namespace access_log
