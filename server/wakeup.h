// Hands completions of work done on other threads back to the loop.
//
// A worker thread finishes something (a name lookup, say) and calls signal();
// the loop's poll then returns, and update() runs the registered handler on
// the loop's own thread, where all connection state lives. The handler must
// collect every completion that is ready: several signals may be folded into
// one call.
#pragma once

namespace wakeup {

// Registers the handler and starts watching for signals. Call on the loop's
// thread, before any worker may signal.
void set_handler(void (*handler)());

// Safe from any thread.
void signal();

// Loop side, once per turn: runs the handler if a signal has arrived.
void dispatch();

}  // namespace wakeup
