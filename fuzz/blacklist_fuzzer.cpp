// Blacklist files: the input is written to a file and loaded with
// load_blacklist.
//
// Invariants checked besides the sanitizers': the keys are exactly the
// distinct lines of the file (split at line feeds, a last line without one
// included), each trimmed of spaces, tabs, CR and LF; none keeps such a byte
// at either end or holds a line feed.
#include "base/hashmap.h"
#include "fuzz/check.h"
#include "main/blacklist_file.h"
#include "proxy/settings.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <set>
#include <string>
#include <unistd.h>

namespace {

std::string path;

std::set<std::string> expected_keys(const std::string& text)
{
    std::set<std::string> keys;
    const char* space = " \t\r\n";
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(start, end - start);
        size_t first = line.find_first_not_of(space);
        keys.insert(first == std::string::npos ? "" : line.substr(first, line.find_last_not_of(space) - first + 1));
        start = end;
    }
    return keys;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char name[] = "/tmp/blacklist_fuzzer.XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0) {
        perror("mkstemp");
        abort();
    }
    close(fd);
    path = name;
    // Every process removes its own file, workers of -jobs included.
    atexit([] { unlink(path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    FUZZ_CHECK(f, "cannot write the temporary file");
    FUZZ_CHECK(fwrite(data, 1, size, f) == size && fclose(f) == 0, "cannot write the temporary file");

    load_blacklist(path);

    std::set<std::string> expected = expected_keys(std::string(reinterpret_cast<const char*>(data), size));
    FUZZ_CHECK(blacklist.size() == expected.size(), "wrong number of keys");
    for (uint32_t i = 0; i < blacklist.size(); i++) {
        const std::string& key = blacklist.key_at(i);
        FUZZ_CHECK(key.empty() || (!is_space(key.front()) && !is_space(key.back())), "key not trimmed");
        FUZZ_CHECK(key.find('\n') == std::string::npos, "key spans lines");
        FUZZ_CHECK(expected.count(key) == 1, "key that is no line of the file");
        FUZZ_CHECK(blacklist.get(key), "key stored without true");
    }

    // A new empty map for the next input. Removing the keys one by one
    // would rebuild the table once per key.
    blacklist.~hashmap();
    new (&blacklist) base::hashmap<bool>();
    return 0;
}
