// Hands completions of work done on other threads, and signals, back to the
// loop.
//
// A worker thread finishes something (a name lookup, a list loaded) and
// calls signal(); the loop's poll then returns, and update() runs the
// registered handlers on the loop's own thread, where all connection state
// lives. A handler must collect every completion that is ready: several
// signals may be folded into one call, and every handler runs on every
// wake-up, so each checks whether it has anything to do.
#pragma once

namespace wakeup {

// Registers a handler and starts watching for signals. Call on the loop's
// thread, before any worker may signal.
void add_handler(void (*handler)());

// Safe from any thread, and from a signal handler.
void signal();

// Runs handler on the loop's thread, in the turn after the process receives
// the signal signo. The signal handler itself only sets a flag and wakes the
// loop, so it is async-signal-safe.
void on_signal(int signo, void (*handler)());

// The descriptor the loop watches: readable once signal() has been called
// (-1 if the system had none to give).
int descriptor();

// Loop side, when descriptor() was reported readable: runs the handlers.
void dispatch();

}  // namespace wakeup
