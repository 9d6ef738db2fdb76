// The proxy's process-wide policy, set from the command line before the
// server starts. The loop's thread only reads it afterwards, except that a
// reload (SIGHUP) swaps in a new blacklist between two turns; the list is
// built on another thread and never shared while it is being built.
#pragma once

#include "base/hashmap.h"

#include <string>

// "username:password" for Basic proxy authentication; empty: none demanded.
extern std::string auth;

// Blocked domains as keys in canonical form (the values are always true). A
// host is blocked when it, or any parent domain of it, is a key; an address
// a name resolves to is looked up the same way.
extern base::hashmap<bool> blacklist;
