// Re-reading the block lists and the policy files on SIGHUP while the proxy
// goes on serving.
//
// The files are read on a thread of their own into a new list and a new
// policy, which the loop's thread then puts in force together between two
// turns by swapping them with the settings' (settings.h): a request head parsed
// before the swap was checked against the old ones, every one parsed after
// it against the new ones, and none against half of each. No turn waits for
// the files, and the old list is freed off the loop's thread too. A file
// that cannot be read, or a policy line that cannot, keeps everything
// previous in force; one line says which and why. Signals that arrive while
// a reload runs ask for one more after it.
#pragma once

#include "proxy/settings.h"

#include <string>
#include <vector>

namespace settings_reload {

// The files given with -b and -p, each in their order; from now on SIGHUP
// reloads them. Without policy files the policy in force now (none, or the
// default for a proxy on every adapter) is kept at every reload. Call on the
// loop's thread before the loop runs.
void on_sighup(std::vector<std::string> lists, std::vector<std::string> policies, settings& target);

}  // namespace settings_reload
