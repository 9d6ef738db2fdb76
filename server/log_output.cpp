#include "server/log_output.h"

#include "server/log_queue.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace log_output {

namespace {

struct state {
    log_queue* out = nullptr;  // to the real standard output
    std::vector<void (*)()> hooks;
    std::string printed;       // the logging thread's bytes since the last flush()
    uint64_t dropped = 0;      // lines that found the queue full, not reported yet
    uint64_t dropped_ever = 0;
};

state& self()
{
    static state* s = new state;  // the writer thread may outlive main
    return *s;
}

ssize_t take(void*, const char* bytes, size_t size)
{
    self().printed.append(bytes, size);
    return ssize_t(size);
}

// Writes what is queued before the process ends, unless the reader is
// stuck: then the process ends anyway, shortly.
void finish()
{
    fflush(stdout);
    flush();
    if (self().out)
        self().out->drain(2);
}

// The gap is told in its place once the reader has caught up enough.
bool report_gap(state& s)
{
    char notice[96];
    snprintf(notice, sizeof notice, "Warning! %llu log lines dropped: standard output was not read.\n",
             (unsigned long long)s.dropped);
    if (!s.out->push(notice))
        return false;
    s.dropped = 0;
    return true;
}

}  // namespace

void start(size_t limit)
{
    state& s = self();
    int fd = dup(STDOUT_FILENO);
    FILE* stream = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, take, nullptr, nullptr});
    if (fd < 0 || !stream)
        return;  // stays as it was: blocking, but working
    // Each line reaches `printed` as it is completed.
    setvbuf(stream, nullptr, _IOLBF, 0);
    stdout = stream;
    s.out = new log_queue(fd, limit);
    atexit(finish);
}

void on_flush(void (*hook)()) { self().hooks.push_back(hook); }

void flush()
{
    state& s = self();
    for (void (*hook)() : s.hooks)
        hook();
    if (!s.out)
        return;
    size_t end = s.printed.rfind('\n');
    if (end == std::string::npos && !s.dropped)
        return;
    // Nearly always every line fits: one hand-over for all of them.
    if (!s.dropped && s.out->push(std::string_view(s.printed).substr(0, end + 1))) {
        s.printed.erase(0, end + 1);
        return;
    }
    for (size_t at = 0; end != std::string::npos && at <= end;) {
        size_t next = s.printed.find('\n', at) + 1;
        if ((s.dropped && !report_gap(s)) || !s.out->push(std::string_view(s.printed).substr(at, next - at))) {
            s.dropped++;
            s.dropped_ever++;
        }
        at = next;
    }
    if (end != std::string::npos)
        s.printed.erase(0, end + 1);
    if (s.dropped)
        report_gap(s);
}

uint64_t dropped() { return self().dropped_ever; }

}  // namespace log_output
