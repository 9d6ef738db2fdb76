// Loading policy files (-p): the egress policy's rules (egress_policy.h),
// one per line.
#pragma once

#include "proxy/egress_policy.h"

#include <cstdint>
#include <string>

// Adds every rule of the file at `path` to `into`. Returns "" when the whole
// file was read; otherwise what stands after "Error! Policy not loaded: " in
// the error line, and `into` is not to be used: "PATH line N: REASON" for a
// line that cannot be read, "cannot read PATH (REASON)" for the file. Only a
// regular file is read (base::for_each_line).
std::string load_policy(const std::string& path, egress_policy& into);

// The line printed after each -p file: the number of rules of the whole
// policy, in groups of three digits, then " policy rules".
std::string policy_size_line(uint32_t rules);
