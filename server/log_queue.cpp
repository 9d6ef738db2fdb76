#include "server/log_queue.h"

#include <cerrno>
#include <chrono>
#include <thread>
#include <unistd.h>

namespace {

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

bool owned(int fd) { return fd > STDERR_FILENO; }

}  // namespace

log_queue::log_queue(int descriptor, size_t size, int gather) : fd(descriptor), limit(size), gather_ms(gather)
{
    std::thread([this] { write_batches(); }).detach();
}

bool log_queue::fits(size_t bytes)
{
    std::lock_guard<std::mutex> hold(lock);
    return queue.size() + bytes <= limit;
}

bool log_queue::push(std::string_view lines)
{
    std::lock_guard<std::mutex> hold(lock);
    if (queue.size() + lines.size() > limit)
        return false;
    bool was_empty = queue.empty();
    bool was_small = queue.size() < gather_bytes;
    queue.append(lines);
    if (was_empty || (was_small && queue.size() >= gather_bytes))
        work.notify_one();
    return true;
}

void log_queue::replace(int descriptor)
{
    std::lock_guard<std::mutex> hold(lock);
    retired.push_back(fd);
    fd = descriptor;
    work.notify_one();
}

void log_queue::drain(int seconds)
{
    std::unique_lock<std::mutex> hold(lock);
    work.wait_for(hold, std::chrono::seconds(seconds), [&] { return queue.empty() && !writing; });
}

void log_queue::write_batches()
{
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
        work.wait(hold, [&] { return !queue.empty() || !retired.empty(); });
        // No batch is being written now: the replaced descriptors are done with.
        for (int old : retired)
            if (owned(old))
                close(old);
        retired.clear();
        if (queue.empty())
            continue;
        if (gather_ms > 0)
            work.wait_for(hold, std::chrono::milliseconds(gather_ms),
                          [&] { return queue.size() >= gather_bytes || !retired.empty(); });
        std::string batch;
        batch.swap(queue);
        int to = fd;
        writing = true;
        hold.unlock();
        write_all(to, batch);
        hold.lock();
        writing = false;
        work.notify_all();  // for drain()
    }
}
