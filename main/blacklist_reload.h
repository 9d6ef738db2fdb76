// Re-reading the blacklist files on SIGHUP while the proxy goes on serving.
//
// The files are read on a thread of their own into a new list, which the
// loop's thread then puts in force between two turns by swapping it with
// `blacklist`: a request head parsed before the swap was checked against the
// old list, every one parsed after it against the new one, and no turn waits
// for the files. The old list is freed off the loop's thread too. A file that
// cannot be read keeps the whole previous list in force; one line says which
// and why. Signals that arrive while a reload runs ask for one more after it.
#pragma once

#include <string>
#include <vector>

namespace blacklist_reload {

// The files given with -b, in their order; from now on SIGHUP reloads them.
// Call on the loop's thread before the loop runs.
void on_sighup(std::vector<std::string> files);

}  // namespace blacklist_reload
