#include "base/for_each_line.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A file under /tmp with the given bytes, removed again at scope end.
struct temp_file {
    std::string path;

    explicit temp_file(const std::string& bytes)
    {
        char name[] = "/tmp/for_each_line_XXXXXX";
        int fd = mkstemp(name);
        path = name;
        FILE* f = fd >= 0 ? fdopen(fd, "wb") : nullptr;
        EXPECT_TRUE(f && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size() && fclose(f) == 0);
    }
    ~temp_file() { unlink(path.c_str()); }
};

struct line {
    std::string text;
    uint64_t number;
    uint64_t offset;
    bool operator==(const line&) const = default;
};

std::vector<line> read_lines(const std::string& path)
{
    std::vector<line> out;
    base::for_each_line(path, [&out](const std::string& text, auto number, auto offset) {
        out.push_back({text, number, offset});
    });
    return out;
}

// Reads a file of the given bytes and checks what holds for any file: the
// lines put together give the file back, each but the last ends in a line
// feed and none holds another, numbers count from 1 and offsets add up.
std::vector<std::string> lines_of(const std::string& bytes)
{
    temp_file f(bytes);
    std::vector<line> got = read_lines(f.path);
    std::vector<std::string> texts;
    std::string joined;
    for (size_t i = 0; i < got.size(); i++) {
        const line& l = got[i];
        EXPECT_EQ(l.number, i + 1);
        EXPECT_EQ(l.offset, joined.size());
        EXPECT_FALSE(l.text.empty());
        size_t lf = l.text.find('\n');
        if (i + 1 < got.size())
            EXPECT_EQ(lf, l.text.size() - 1) << "line " << i + 1;
        else
            EXPECT_TRUE(lf == std::string::npos || lf == l.text.size() - 1);
        joined += l.text;
        texts.push_back(l.text);
    }
    EXPECT_EQ(joined, bytes);
    return texts;
}

using v = std::vector<std::string>;

}  // namespace

TEST(for_each_line, line_endings)
{
    EXPECT_EQ(lines_of("a.com\nb.com\n"), (v{"a.com\n", "b.com\n"}));  // no extra empty line
    EXPECT_EQ(lines_of("a.com\r\nb.com\r\n"), (v{"a.com\r\n", "b.com\r\n"}));
    EXPECT_EQ(lines_of("a.com\nb.com"), (v{"a.com\n", "b.com"}));
    EXPECT_EQ(lines_of("\n\n x \n"), (v{"\n", "\n", " x \n"}));
    EXPECT_EQ(lines_of("only"), v{"only"});
    EXPECT_EQ(lines_of(std::string("a\0b\nc", 5)), (v{std::string("a\0b\n", 4), "c"}));
    EXPECT_EQ(lines_of(""), v{});
}

TEST(for_each_line, offsets_and_numbers)
{
    temp_file f("one\r\ntwo\n\nfour");
    std::vector<line> want = {
        {"one\r\n", 1, 0},
        {"two\n", 2, 5},
        {"\n", 3, 9},
        {"four", 4, 10},
    };
    EXPECT_EQ(read_lines(f.path), want);
}

// The callback may change the line it is given (the blacklist loader trims
// it); the next line's offset must not depend on that.
TEST(for_each_line, callback_may_change_the_line)
{
    temp_file f("  a  \nb\n");
    std::vector<uint64_t> offsets;
    base::for_each_line(f.path, [&offsets](std::string& text, auto, auto offset) {
        offsets.push_back(offset);
        text.clear();
    });
    EXPECT_EQ(offsets, (std::vector<uint64_t>{0, 6}));
}

TEST(for_each_line, lines_across_chunks)
{
    // Longer than one chunk, with and without a final line feed.
    std::string huge(10000, 'x');
    EXPECT_EQ(lines_of(huge + "\nnext\n"), (v{huge + "\n", "next\n"}));
    EXPECT_EQ(lines_of("a\n" + huge), (v{"a\n", huge}));

    // A line that starts in the first chunk and ends in the second.
    std::string first(4000, 'a'), second(200, 'b');
    EXPECT_EQ(lines_of(first + "\n" + second + "\nc\n"), (v{first + "\n", second + "\n", "c\n"}));

    // A line feed as the last byte of the first chunk, and a file that is
    // exactly one chunk long: no empty line either way.
    std::string fill(4095, 'f');
    EXPECT_EQ(lines_of(fill + "\nz"), (v{fill + "\n", "z"}));
    EXPECT_EQ(lines_of(fill + "\n"), v{fill + "\n"});
    // The carriage return and line feed of one line split across chunks.
    std::string cr(4095, 'r');
    EXPECT_EQ(lines_of(cr + "\r\nz\r\n"), (v{cr + "\r\n", "z\r\n"}));
}

TEST(for_each_line, unreadable_paths_call_nothing)
{
    char dir[] = "/tmp/for_each_line_dir_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    EXPECT_TRUE(read_lines(dir).empty());
    std::string missing = std::string(dir) + "/missing";
    EXPECT_TRUE(read_lines(missing).empty());
    rmdir(dir);
}
