#include "server/log_output.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace log_output {

namespace {

struct state {
    int fd = -1;          // the real standard output
    size_t limit = 0;
    std::string printed;  // the logging thread's bytes since the last flush()

    std::mutex lock;  // guards the rest
    std::condition_variable work;
    std::string queue;    // complete lines for the writer
    uint64_t dropped = 0;  // lines that found the queue full, not reported yet
    bool writing = false;  // the writer holds a batch it has not finished
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

void write_all(int fd, const std::string& bytes)
{
    for (size_t at = 0; at < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;  // nobody reads any more: the lines have nowhere to go
        at += size_t(n);
    }
}

void writer()
{
    state& s = self();
    std::unique_lock<std::mutex> hold(s.lock);
    for (;;) {
        s.work.wait(hold, [&] { return !s.queue.empty(); });
        std::string batch;
        batch.swap(s.queue);
        s.writing = true;
        hold.unlock();
        write_all(s.fd, batch);
        hold.lock();
        s.writing = false;
        s.work.notify_all();  // for finish()
    }
}

// Writes what is queued before the process ends, unless the reader is
// stuck: then the process ends anyway, shortly.
void finish()
{
    fflush(stdout);
    flush();
    state& s = self();
    std::unique_lock<std::mutex> hold(s.lock);
    s.work.wait_for(hold, std::chrono::seconds(2), [&] { return s.queue.empty() && !s.writing; });
}

}  // namespace

void start(size_t limit)
{
    state& s = self();
    s.fd = dup(STDOUT_FILENO);
    s.limit = limit;
    FILE* stream = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, take, nullptr, nullptr});
    if (s.fd < 0 || !stream)
        return;  // stays as it was: blocking, but working
    // Each line reaches `printed` as it is completed.
    setvbuf(stream, nullptr, _IOLBF, 0);
    stdout = stream;
    std::thread(writer).detach();
    atexit(finish);
}

void flush()
{
    state& s = self();
    size_t end = s.printed.rfind('\n');
    if (end == std::string::npos && !s.dropped)
        return;
    std::lock_guard<std::mutex> hold(s.lock);
    size_t before = s.queue.size();
    auto report_gap = [&] {
        // The reader has caught up enough: the gap is told, in its place.
        char notice[96];
        snprintf(notice, sizeof notice, "Warning! %llu log lines dropped: standard output was not read.\n",
                 (unsigned long long)s.dropped);
        if (s.queue.size() + strlen(notice) > s.limit)
            return false;
        s.queue += notice;
        s.dropped = 0;
        return true;
    };
    for (size_t at = 0; end != std::string::npos && at <= end;) {
        size_t next = s.printed.find('\n', at) + 1;
        size_t length = next - at;
        if ((s.dropped && !report_gap()) || s.queue.size() + length > s.limit)
            s.dropped++;
        else
            s.queue.append(s.printed, at, length);
        at = next;
    }
    if (end != std::string::npos)
        s.printed.erase(0, end + 1);
    if (s.dropped)
        report_gap();
    if (s.queue.size() != before)
        s.work.notify_one();
}

}  // namespace log_output
