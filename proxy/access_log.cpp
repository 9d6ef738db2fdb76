#include "proxy/access_log.h"

#include "base/escape.h"
#include "server/clock.h"
#include "server/log_output.h"
#include "server/log_queue.h"

#include <algorithm>
#include <array>
#include <charconv>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    std::string batch;           // this turn's lines, handed over at once by flush()
    uint64_t dropped = 0;        // all told
    uint64_t unreported = 0;     // dropped since the last warning line
    // The time stamp's text up to the seconds, for the second it was made.
    int64_t stamped_second = -1;
    char stamp[24] = {};
};

state& self()
{
    static state s;
    return s;
}

// A line written into room reserved for it: the fields are many and short,
// so each goes in with a copy, not an append that checks for room.
struct line_writer {
    char* p;

    template <size_t N>
    void literal(const char (&text)[N])
    {
        memcpy(p, text, N - 1);
        p += N - 1;
    }
    void bytes(const char* text, size_t n)
    {
        memcpy(p, text, n);
        p += n;
    }
    void number(uint64_t n) { p = std::to_chars(p, p + 20, n).ptr; }
    void number_or_null(bool known, int64_t n)
    {
        if (known)
            number(uint64_t(n));
        else
            literal("null");
    }

    // The access log is read by JSON parsers. Nearly every text is printable
    // ASCII without a quote or a backslash, and goes in as it is; any other
    // is escaped by base::escape, except a zero byte (which base::escape
    // writes as "\0"), which must be "\u0000". Room: 6 bytes a byte.
    void string(const std::string& text)
    {
        static const auto needs_escape = [] {
            std::array<bool, 256> table{};
            for (int b = 0; b < 256; b++)
                table[size_t(b)] = b < 0x20 || b >= 0x7f || b == '"' || b == '\\';
            return table;
        }();
        *p++ = '"';
        bool plain = true;
        for (char c : text)
            plain &= !needs_escape[static_cast<unsigned char>(c)];
        if (plain)
            bytes(text.data(), text.size());
        else
            for (size_t at = 0;;) {
                size_t zero = text.find('\0', at);
                std::string escaped =
                    base::escape(text.substr(at, zero == std::string::npos ? std::string::npos : zero - at), true);
                bytes(escaped.data(), escaped.size());
                if (zero == std::string::npos)
                    break;
                literal("\\u0000");
                at = zero + 1;
            }
        *p++ = '"';
    }
    void string_or_null(const std::string& text)
    {
        if (text.empty())
            literal("null");
        else
            string(text);
    }

    // "ip:port", "[v6]:port", or null. Room: 56 bytes.
    void address(const socket_address& a)
    {
        if (a.empty()) {
            literal("null");
            return;
        }
        *p++ = '"';
        p = a.write_text_with_brackets(p);
        *p++ = ':';
        number(a.port());
        *p++ = '"';
    }
};

int open_file(const std::string& path)
{
    // Not waiting to open (a FIFO without a reader fails at once); then
    // blocking, for the writer thread, which alone waits on the file.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0640);
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

void flush_batch()
{
    state& s = self();
    if (s.batch.empty() || !s.queue)
        return;
    if (s.unreported) {
        // The reader has caught up enough: the gap is told on standard
        // output (the access log holds JSON only).
        if (!s.queue->fits(s.batch.size() + 4096)) {
            s.dropped += uint64_t(std::count(s.batch.begin(), s.batch.end(), '\n'));
            s.unreported += uint64_t(std::count(s.batch.begin(), s.batch.end(), '\n'));
            s.batch.clear();
            return;
        }
        printf("Warning! %llu access log lines dropped: the access log was not written.\n",
               (unsigned long long)s.unreported);
        s.unreported = 0;
    }
    if (s.queue->push(s.batch)) {
        s.batch.clear();
        return;
    }
    // Not all of this turn's lines fit: as many whole lines as do.
    size_t at = 0;
    for (size_t next; at < s.batch.size(); at = next) {
        next = s.batch.find('\n', at) + 1;
        if (!s.queue->push(std::string_view(s.batch).substr(at, next - at)))
            break;
    }
    uint64_t lost = uint64_t(std::count(s.batch.begin() + long(at), s.batch.end(), '\n'));
    s.dropped += lost;
    s.unreported += lost;
    s.batch.clear();
}

}  // namespace

int open(const std::string& path)
{
    state& s = self();
    int fd = open_file(path);
    if (fd < 0)
        return errno;
    s.path = path;
    // Lines reach the file within 20 ms; a busy proxy writes them in large
    // batches.
    s.queue = new log_queue(fd, 4u << 20, 20);
    log_output::on_flush(flush_batch);
    // At exit, what is queued is written out (as long as the file takes it).
    atexit([] {
        flush_batch();
        self().queue->drain(2);
    });
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
    flush_batch();
    s.queue->replace(fd);
    return 0;
}

void append_line(std::string& out, const exchange_record& r, int64_t ended_wall_ms)
{
    state& s = self();
    int64_t second = ended_wall_ms / 1000;
    if (second != s.stamped_second) {
        time_t seconds = time_t(second);
        tm utc;
        gmtime_r(&seconds, &utc);
        strftime(s.stamp, sizeof s.stamp, "%Y-%m-%dT%H:%M:%S", &utc);
        s.stamped_second = second;
    }
    // Room for the longest line these fields can make: texts escaped at six
    // bytes a byte, and the rest well under 400 bytes.
    size_t texts = r.user.size() + r.method.size() + r.target.size() + r.host.size();
    size_t start = out.size();
    out.resize(start + 6 * texts + 400);
    line_writer w{out.data() + start};
    int ms = int(ended_wall_ms % 1000);
    w.literal("{\"time\":\"");
    w.bytes(s.stamp, strlen(s.stamp));
    char millis[6] = {'.', char('0' + ms / 100), char('0' + ms / 10 % 10), char('0' + ms % 10), 'Z', '"'};
    w.bytes(millis, sizeof millis);
    w.literal(",\"client\":");
    w.address(r.client);
    w.literal(",\"user\":");
    w.string_or_null(r.user);
    w.literal(",\"method\":");
    w.string_or_null(r.method);
    w.literal(",\"target\":");
    w.string_or_null(r.target);
    w.literal(",\"host\":");
    w.string_or_null(r.host);
    w.literal(",\"port\":");
    w.number_or_null(!r.host.empty(), r.port);
    w.literal(",\"status\":");
    w.number_or_null(r.status != 0, r.status);
    w.literal(",\"outcome\":\"");
    const char* word = outcome_word(r.outcome);
    w.bytes(word, strlen(word));
    w.literal("\",\"upstream\":");
    w.address(r.upstream);
    if (r.pooled)
        w.literal(",\"pooled\":true");
    else
        w.literal(",\"pooled\":false");
    w.literal(",\"bytes_in\":");
    w.number(r.bytes_in);
    w.literal(",\"bytes_out\":");
    w.number(r.bytes_out);
    w.literal(",\"connect_ms\":");
    w.number_or_null(r.connected_ms >= 0, r.connected_ms - r.started_ms);
    w.literal(",\"duration_ms\":");
    w.number(uint64_t(r.ended_ms - r.started_ms));
    *w.p++ = '}';
    out.resize(size_t(w.p - out.data()));
}

std::string line(const exchange_record& r, int64_t ended_wall_ms)
{
    std::string out;
    append_line(out, r, ended_wall_ms);
    return out;
}

void write(const exchange_record& r)
{
    state& s = self();
    if (!s.queue)
        return;
    append_line(s.batch, r, wall_ms());
    s.batch += '\n';
}

uint64_t dropped() { return self().dropped; }

}  // namespace access_log
