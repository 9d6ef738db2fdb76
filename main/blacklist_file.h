// Loading blacklist files.
#pragma once

#include "base/hashmap.h"

#include <cstdint>
#include <string>

// Adds every line of the file, trimmed of spaces, tabs, CR and LF, as a key
// of `into` (case kept; a blank line adds the empty key). Returns 0, or the
// errno value of why the file could not be read (a directory: EISDIR); lines
// read before a read error stay added.
int load_blacklist(const std::string& path, base::hashmap<bool>& into);

// The line printed after each -b file: the size of the whole blacklist with
// "," between groups of three digits, then " domains blacklisted".
std::string blacklist_size_line(uint32_t count);
