// Blacklist files, read in 4096-byte pieces: the keys must be exactly the
// distinct entries of the lines (a last one without "\n" too), trimmed of
// " \t\r\n".
#include "base/hashmap.h"
#include "fuzz/check.h"
#include "main/blacklist_file.h"
#include "base/hashmap.h"

#include <new>
#include <set>
#include <sstream>
#include <string>
#include <sys/mman.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A file in memory, gone with the process.
    static const std::string path = "/proc/self/fd/" + std::to_string(memfd_create("blacklist", 0));
    FILE* f = fopen(path.c_str(), "wb");
    FUZZ_CHECK(f && fwrite(data, 1, size, f) == size && fclose(f) == 0, "cannot write the file");
    static base::hashmap<bool> blacklist;
    load_blacklist(path, blacklist);

    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    std::set<std::string> lines, keys;
    for (std::string line; std::getline(text, line);) {
        size_t first = line.find_first_not_of(" \t\r");
        lines.insert(blacklist_entry(
            first == std::string::npos ? "" : line.substr(first, line.find_last_not_of(" \t\r") - first + 1)));
    }
    for (uint32_t i = 0; i < blacklist.size(); i++)
        keys.insert(blacklist.key_at(i));
    FUZZ_CHECK(keys == lines && keys.size() == blacklist.size(), "keys are not the trimmed lines of the file");

    blacklist.~hashmap();  // empty for the next input, without a rebuild per removed key
    new (&blacklist) base::hashmap<bool>();
    return 0;
}
