// Loading blacklist files.
#pragma once

#include "base/hashmap.h"

#include <cstdint>
#include <string>
#include <string_view>

// Adds every line of the file, trimmed of spaces, tabs, CR and LF, as a key
// of `into` in the form blacklist_entry() gives it. Returns 0, or why the
// file could not be read, as base::for_each_line gives it (an errno value,
// EISDIR for a directory, or base::not_regular_file for a FIFO or a device,
// which are never waited on); base::read_error_text() words it. Lines read
// before a read error stay added.
int load_blacklist(const std::string& path, base::hashmap<bool>& into);

// The key for one trimmed line of a list. Hosts are compared in their
// canonical form only (canonical_host.h), so the entries are in it too:
// "Example.COM." blocks example.com, "0177.0.0.2" and "::ffff:7f00:2" block
// 127.0.0.2. An entry of fewer than four numbers ("0.1.1") stays the tail of
// the addresses it blocks. A line that is no host stays as written (a blank
// line gives the empty key, which no host matches).
std::string blacklist_entry(std::string_view line);

// The line printed after each -b file: the size of the whole blacklist with
// "," between groups of three digits, then " domains blacklisted".
std::string blacklist_size_line(uint32_t count);
