#include "main/blacklist_file.h"

#include "base/for_each_line.h"

#include <cstdio>
#include <cstring>

int load_blacklist(const std::string& path, base::hashmap<bool>& into)
{
    return base::for_each_line(path, [&](const std::string& line, uint32_t, uint64_t) {
        const char* space = " \t\r\n";
        size_t first = line.find_first_not_of(space);
        if (first == std::string::npos) {
            into.set("", true);
            return;
        }
        size_t last = line.find_last_not_of(space);
        into.set(line.substr(first, last - first + 1), true);
    });
}

std::string blacklist_size_line(uint32_t count)
{
    char digits[32];
    snprintf(digits, sizeof digits, "%.0f", double(count));
    std::string text;
    size_t n = strlen(digits);
    for (size_t i = 0; i < n; i++) {
        if (i > 0 && (n - i) % 3 == 0)
            text += ',';
        text += digits[i];
    }
    return text + " domains blacklisted";
}
