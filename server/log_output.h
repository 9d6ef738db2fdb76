// Standard output that never holds up the loop.
//
// Log lines are written with printf and puts as everywhere; once start() has
// run, standard output is a stream whose bytes go into a queue in memory
// (log_queue.h), and a thread of its own writes the queue to the real
// standard output. The
// loop hands the lines over once per turn (flush()), so a reader that keeps
// up sees each line within a turn, in order. A reader that stops (a paused
// terminal, a stuck pipe) only stops that thread: the queue grows up to
// `limit` bytes, further lines are dropped whole, and once there is room
// again one line says how many were lost before the lines go on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace log_output {

// Puts the queue in front of standard output. Call once, on the thread that
// logs, before anything is printed. At exit, what is queued is written out
// (as long as the reader takes it).
void start(size_t limit = 4u << 20);

// Hands the complete lines printed since the last call to the writer,
// after running the hooks (on_flush()).
void flush();

// Runs `hook` at the start of every flush(), once a turn: for other logs
// that hand their lines over in one batch per turn too (the access log).
void on_flush(void (*hook)());

// Lines dropped since start(), all told.
uint64_t dropped();

}  // namespace log_output
