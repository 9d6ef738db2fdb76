// Lines on their way to a file descriptor, written by a thread of their own
// so that a reader that stops (a paused terminal, a stuck pipe, a full disk)
// never holds up the loop: the queue grows up to `limit` bytes, and a line
// that finds it full is dropped whole, never torn. Lines keep their order.
//
// The loop's thread pushes lines; the writer thread takes everything queued
// at once and writes it. A queue may gather: once lines come, the writer
// waits up to gather_ms (or until gather_bytes are queued) before it writes,
// so that a busy log costs one wake-up and one write per gathering, not per
// turn. The descriptor can be replaced at any time (a log
// file reopened for rotation): the batch being written goes to the old one,
// every later batch to the new one, and the old one is closed after its last
// batch. Thread-safe; the object lives as long as the process (the writer
// may outlive main), so make it with new and never delete it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class log_queue {
public:
    // The writer thread starts at once, writing to fd, which the queue owns
    // (closes when replaced) unless it is standard output or error.
    log_queue(int fd, size_t limit, int gather_ms = 0);
    static constexpr size_t gather_bytes = 64 * 1024;
    log_queue(const log_queue&) = delete;
    log_queue& operator=(const log_queue&) = delete;

    // Queues `lines` (complete lines, each ending in "\n") whole, or drops
    // them whole when they do not fit; false when dropped.
    bool push(std::string_view lines);
    // Whether `bytes` more would fit now.
    bool fits(size_t bytes);

    // Writes go to fd from the next batch on.
    void replace(int fd);

    // Waits up to `seconds` for everything queued to be written (at exit).
    void drain(int seconds);

private:
    void write_batches();

    std::mutex lock;
    std::condition_variable work;
    int fd;
    std::vector<int> retired;  // replaced descriptors, closed by the writer once its batch is out
    size_t limit;
    int gather_ms;
    std::string queue;
    bool writing = false;  // the writer holds a batch it has not finished
};
