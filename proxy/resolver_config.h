// What the resolver reads from the system's configuration itself; c-ares
// reads the rest. Pure functions of the files' text, so tests can feed them.
#pragma once

#include <string>
#include <string_view>

namespace resolver_config {

// Whether the hosts line of nsswitch.conf (the last one, as glibc reads it)
// names a source other than "files" and "dns", the two that c-ares covers;
// action items such as [NOTFOUND=return] are no sources. No hosts line:
// glibc's default, "dns files", so no.
bool names_other_sources(std::string_view nsswitch_conf);

// How long to wait for a server and how many rounds of tries to make, as
// glibc reads them: "options" lines of resolv.conf, then RES_OPTIONS (null
// when unset), each later setting winning; timeout:n in seconds (at most 30),
// attempts:n (at most 5); by default 5 seconds and 2 attempts. c-ares 1.18
// reads neither word (it knows only its own retrans: and retry:), so the
// resolver passes these to it.
struct timing {
    int timeout_ms = 5000;
    int attempts = 2;
};
timing resolv_timing(std::string_view resolv_conf, const char* res_options);

// The file's text, or "" when it cannot be read; configuration files only,
// so the text is capped at 1 MiB.
std::string read_file(const char* path);

}  // namespace resolver_config
