// Reads a file line by line in bounded memory.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace base {

// What for_each_line returns for a path that names neither a regular file
// nor a directory: a FIFO, a device, a socket. Errno values are positive.
constexpr int not_regular_file = -1;

// The reason for a result of for_each_line, as a log line gives it:
// strerror's text for an errno value.
inline const char* read_error_text(int error)
{
    return error == not_regular_file ? "not a regular file" : strerror(error);
}

// Calls fn(line, number, offset) once per line of the file at path, in file
// order. The line includes its terminating line feed when it has one; number
// counts from 1 and offset is the line's first byte in the file. The file is
// read in 4096-byte chunks, so only the current line is ever held in memory.
// Returns 0, or why the file could not be read: an errno value (EISDIR for a
// directory), or not_regular_file. Only a regular file is read: a FIFO would
// hold the caller until a writer came, and a device may never end, so
// neither is waited on nor read. A read error ends the file like its end;
// the lines read before it have been passed on. Nothing is printed.
template <typename F>
int for_each_line(const std::string& path, F fn)
{
    // O_NONBLOCK: opening a FIFO without a writer (or some devices) would
    // block otherwise; regular files ignore it. O_NOCTTY: a terminal named
    // by mistake must not become the process's controlling terminal.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno;
    struct stat info;
    int error = 0;
    if (fstat(fd, &info) != 0)
        error = errno;
    else if (S_ISDIR(info.st_mode))
        error = EISDIR;
    else if (!S_ISREG(info.st_mode))
        error = not_regular_file;
    if (error) {
        close(fd);
        return error;
    }
    std::string line;
    uint32_t number = 0;
    uint64_t offset = 0;  // of the byte that starts `line`
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        size_t start = 0;
        for (size_t i = 0; i < size_t(n); i++) {
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
        line.append(buf + start, size_t(n) - start);
    }
    if (!line.empty())
        fn(line, ++number, offset);
    close(fd);
    return error;
}

}  // namespace base
