#include "proxy/resolver_config.h"

#include <algorithm>
#include <cstdio>

namespace resolver_config {

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Calls each(word) for the words of line. In nsswitch.conf, a comment may
// start anywhere and a bracketed action item is no word; in resolv.conf,
// only whole lines are comments.
template <class Each>
void for_each_word(std::string_view line, bool nsswitch, Each each)
{
    size_t at = 0;
    while (at < line.size()) {
        char c = line[at];
        if (blank(c)) {
            at++;
        } else if (nsswitch && c == '#') {
            return;
        } else if (nsswitch && c == '[') {
            size_t close = line.find(']', at);
            at = close == std::string_view::npos ? line.size() : close + 1;
        } else {
            size_t end = at;
            while (end < line.size() && !blank(line[end]) && !(nsswitch && (line[end] == '#' || line[end] == '[')))
                end++;
            each(line.substr(at, end - at));
            at = end;
        }
    }
}

template <class Each>
void for_each_line(std::string_view text, Each each)
{
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        size_t start = 0;
        while (start < line.size() && blank(line[start]))
            start++;
        each(line.substr(start));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
}

// glibc's atoi() of the digits after a prefix, within [low, high].
int number_after(std::string_view word, size_t prefix, int low, int high)
{
    long n = 0;
    for (size_t i = prefix; i < word.size() && word[i] >= '0' && word[i] <= '9' && n <= high; i++)
        n = n * 10 + (word[i] - '0');
    return int(std::clamp<long>(n, low, high));
}

void read_options(std::string_view words, timing& t)
{
    for_each_word(words, false, [&](std::string_view w) {
        if (w.starts_with("timeout:"))
            t.timeout_ms = 1000 * number_after(w, 8, 1, 30);  // 0 waits a second in glibc too
        else if (w.starts_with("attempts:"))
            t.attempts = number_after(w, 9, 1, 5);
    });
}

}  // namespace

bool names_other_sources(std::string_view nsswitch_conf)
{
    bool others = false;
    for_each_line(nsswitch_conf, [&](std::string_view line) {
        // Each hosts line replaces the one before, as in glibc.
        if (!line.starts_with("hosts"))
            return;
        std::string_view rest = line.substr(5);
        size_t colon = 0;
        while (colon < rest.size() && blank(rest[colon]))
            colon++;
        if (colon == rest.size() || rest[colon] != ':')
            return;
        others = false;
        for_each_word(rest.substr(colon + 1), true,
                      [&](std::string_view source) { others = others || (source != "files" && source != "dns"); });
    });
    return others;
}

timing resolv_timing(std::string_view resolv_conf, const char* res_options)
{
    timing t;
    for_each_line(resolv_conf, [&](std::string_view line) {
        if (line.starts_with("options") && line.size() > 7 && blank(line[7]))
            read_options(line.substr(7), t);
    });
    if (res_options)
        read_options(res_options, t);
    return t;
}

std::string read_file(const char* path)
{
    std::string text;
    FILE* f = fopen(path, "re");
    if (!f)
        return text;
    char block[4096];
    size_t n;
    while (text.size() < (1u << 20) && (n = fread(block, 1, sizeof block, f)) > 0)
        text.append(block, n);
    fclose(f);
    return text;
}

}  // namespace resolver_config
