// Loading blacklist files into the process-wide blacklist.
#pragma once

#include <cstdint>
#include <string>

// Adds every line of the file, trimmed of spaces, tabs, CR and LF, as a key
// of `blacklist` (case kept; a blank line adds the empty key). A directory or
// an unreadable file adds nothing, silently.
void load_blacklist(const std::string& path);

// The line printed after each -b option: the size of the whole blacklist with
// "," between groups of three digits, then " domains blacklisted".
std::string blacklist_size_line(uint32_t count);
