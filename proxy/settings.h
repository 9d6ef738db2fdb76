// The proxy's process-wide policy, set from the command line before the
// server starts and only read afterwards.
#pragma once

#include "base/hashmap.h"

#include <string>

// "username:password" for Basic proxy authentication; empty: none demanded.
extern std::string auth;

// Blocked domains as keys (the values are always true). A host is blocked
// when it, or any parent domain of it, is a key.
extern base::hashmap<bool> blacklist;
