#include "base/for_each_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

using lines = std::vector<std::string>;

// Writes bytes to a fresh file and reads it back; numbers must count from 1
// and offsets add up although the callback empties each line (as the
// blacklist loader trims lines in place).
static lines lines_of(const std::string& bytes)
{
    char path[] = "/tmp/for_each_line_XXXXXX";
    int fd = mkstemp(path);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
    lines out;
    uint64_t end = 0;
    base::for_each_line(std::string(path), [&](std::string& text, uint64_t number, uint64_t offset) {
        EXPECT_EQ(number, out.size() + 1);
        EXPECT_EQ(offset, end);
        end += text.size();
        out.push_back(text);
        text.clear();
    });
    unlink(path);
    return out;
}

// Line ends (LF, CRLF, none at the end), empty lines, zero bytes, and lines
// around the 4096-byte chunks: longer than one, ending in the next, a LF or
// the CR of a CRLF as a chunk's last byte, a file of exactly one chunk.
TEST(for_each_line, splits_lines)
{
    std::string huge(10000, 'x'), first(4000, 'a'), second(200, 'b'), fill(4095, 'f');
    const std::pair<std::string, lines> cases[] = {
        {"a.com\nb.com\n", {"a.com\n", "b.com\n"}},
        {"one\r\ntwo\n\nfour", {"one\r\n", "two\n", "\n", "four"}},
        {"", {}},
        {std::string("a\0b\nc", 5), {std::string("a\0b\n", 4), "c"}},
        {huge + "\nnext\n", {huge + "\n", "next\n"}},
        {"a\n" + huge, {"a\n", huge}},
        {first + "\n" + second + "\nc\n", {first + "\n", second + "\n", "c\n"}},
        {fill + "\nz", {fill + "\n", "z"}},
        {fill + "\n", {fill + "\n"}},
        {fill + "\r\nz\r\n", {fill + "\r\n", "z\r\n"}},
    };
    for (auto& [bytes, want] : cases)
        EXPECT_EQ(lines_of(bytes), want) << bytes.size() << " bytes";
}

