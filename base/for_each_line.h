// Reads a file line by line in bounded memory.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <string>

namespace base {

// Calls fn(line, number, offset) once per line of the file at path, in file
// order. The line includes its terminating line feed when it has one; number
// counts from 1 and offset is the line's first byte in the file. A directory,
// a missing or unreadable file calls nothing and prints nothing; a read error
// ends the file like its end. The file is read in 4096-byte chunks, so only
// the current line is ever held in memory. Returns 0, or the errno value of
// what went wrong (EISDIR for a directory); the lines read before a read
// error have been passed on.
template <typename F>
int for_each_line(const std::string& path, F fn)
{
    if (DIR* dir = opendir(path.c_str())) {
        closedir(dir);
        return EISDIR;
    }
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return errno;
    std::string line;
    uint32_t number = 0;
    uint64_t offset = 0;  // of the byte that starts `line`
    char buf[4096];
    size_t n;
    do {
        n = fread(buf, 1, sizeof buf, file);
        size_t start = 0;
        for (size_t i = 0; i < n; i++) {
            if (buf[i] != '\n')
                continue;
            line.append(buf + start, i + 1 - start);
            // Taken before the call: a callback may trim the line in place.
            uint64_t next = offset + line.size();
            fn(line, ++number, offset);
            offset = next;
            line.clear();
            start = i + 1;
        }
        line.append(buf + start, n - start);
    } while (n == sizeof buf);
    int error = ferror(file) ? EIO : 0;
    if (!line.empty())
        fn(line, ++number, offset);
    fclose(file);
    return error;
}

}  // namespace base
