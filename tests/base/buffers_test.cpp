// The byte queue behind every send and receive path, and the line reader of
// the blacklist loader.
#include "base/byte_queue.h"
#include "base/for_each_line.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// Everything left, read piece by piece through front() and consume().
static std::string drain(base::byte_queue& q)
{
    std::string out;
    size_t n;
    while (const char* p = q.front(&n)) {
        out.append(p, n);
        q.consume(n);
    }
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(q.empty());
    return out;
}

// Bytes without a period that lines up with the block sizes.
static std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char('a' + (i * 7 + i / 977) % 26);
    return s;
}

// Order across blocks; front() bytes stay put while more is appended (a
// reader sends straight from them). Receiving in place across blocks; space
// offered but not committed holds nothing.
TEST(byte_queue, keeps_bytes_in_order_and_in_place)
{
    base::byte_queue q;
    q.append("first part");
    size_t n;
    const char* p = q.front(&n);
    std::string big = pattern(3 * base::byte_queue::large_block + 12345), sent;
    q.append(big);
    EXPECT_EQ(q.size(), big.size() + 10);
    EXPECT_EQ(std::string(p, 10), "first part");
    q.consume(6);
    EXPECT_EQ(drain(q), "part" + big);

    for (int i = 0; i < 5; i++) {
        char* at = q.back_space(&n);
        ASSERT_GT(n, 0u);
        std::string piece = pattern(std::min<size_t>(n, 70000));
        memcpy(at, piece.data(), piece.size());
        q.commit(piece.size());
        sent += piece;
    }
    EXPECT_EQ(drain(q), sent);
    q.back_space(&n);
    EXPECT_TRUE(q.empty());
}

// Line ends (LF, CRLF, none at the end), empty lines, zero bytes, and lines
// around the 4096-byte chunks: longer than one, ending in the next, a LF or
// the CR of a CRLF as a chunk's last byte, a file of exactly one chunk.
// Numbers count from 1 and offsets add up although the callback empties each
// line (as the blacklist loader trims lines in place).
TEST(for_each_line, splits_lines)
{
    using lines = std::vector<std::string>;
    std::string huge(10000, 'x'), first(4000, 'a'), second(200, 'b'), fill(4095, 'f');
    const std::pair<std::string, lines> cases[] = {
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
    for (auto& [bytes, want] : cases) {
        char path[] = "/tmp/for_each_line_XXXXXX";
        int fd = mkstemp(path);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
        close(fd);
        lines got;
        uint64_t end = 0;
        base::for_each_line(std::string(path), [&](std::string& text, uint64_t number, uint64_t offset) {
            EXPECT_EQ(number, got.size() + 1);
            EXPECT_EQ(offset, end);
            end += text.size();
            got.push_back(text);
            text.clear();
        });
        unlink(path);
        EXPECT_EQ(got, want) << bytes.size() << " bytes";
    }
}

// Only regular files are read. A FIFO without a writer held the reader in
// open() for good, and a device such as /dev/zero never ends; both are
// refused at once without a line, and a directory still says EISDIR.
TEST(for_each_line, refuses_what_is_not_a_regular_file)
{
    int lines = 0;
    auto count = [&](std::string&, uint64_t, uint64_t) { lines++; };
    char dir[] = "/tmp/for_each_line_XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto reading = std::async(std::launch::async, [&] { return base::for_each_line(fifo, count); });
    if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
        close(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets a reader stuck in open() go, to fail below
    EXPECT_EQ(reading.get(), base::not_regular_file);
    EXPECT_EQ(base::for_each_line(dir, count), EISDIR);
    // /dev/null first: a reader that took devices for files would end there,
    // and never reach the endless one.
    ASSERT_EQ(base::for_each_line("/dev/null", count), base::not_regular_file);
    EXPECT_EQ(base::for_each_line("/dev/zero", count), base::not_regular_file);
    EXPECT_EQ(lines, 0);
    unlink(fifo.c_str());
    rmdir(dir);
}
