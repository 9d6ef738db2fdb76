#include "main/blacklist_file.h"

#include "base/for_each_line.h"
#include "base/text.h"

#include <cstdio>
#include <cstring>

int load_blacklist(const std::string& path, base::hashmap<bool>& into)
{
    return base::for_each_line(path, [&](const std::string& line, uint32_t, uint64_t) {
        into.set(std::string(base::trim(line, " \t\r\n")), true);
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
