// Drives a connection as the server does, without a socket. Input: byte 0
// flags (low bits per target, high four the on_send cap), bytes 1-4 chunk
// sizes used in turn (0: the rest at once), then the client's bytes.
#pragma once

#include "fuzz/check.h"
#include "server/connection.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace fuzz {

// Feeds the client bytes (input of at least 5 bytes) in its chunking, each
// chunk in a buffer of its exact size, or at once with the full cap when
// `whole`; after each chunk asks on_send for output while it has some.
inline std::string run(connection& c, const std::string& input, bool whole)
{
    static const int small_caps[4] = {1, 7, 64, 4096};
    static std::unique_ptr<char[]> buf(new char[connection::buffer_size + 64]);
    int choice = uint8_t(input[0]) >> 4;
    int cap = whole || choice < 12 ? connection::buffer_size : small_caps[choice - 12];
    std::string out;
    for (size_t at = 5, turn = 0; at < input.size(); turn++) {
        size_t n = input.size() - at, size = uint8_t(input[1 + turn % 4]);
        n = whole || size == 0 ? n : std::min(n, size);
        std::unique_ptr<char[]> chunk(new char[n]);
        memcpy(chunk.get(), input.data() + at, n);
        c.on_recv(chunk.get(), int(n));
        at += n;
        for (int len = 1, more = 1; len > 0 && more;) {
            memset(buf.get() + cap, 0xA5, 64);
            len = -1;  // the server passes 0: shows whether on_send stores a length on every path
            more = c.on_send(buf.get(), cap, &len);
            FUZZ_CHECK(len >= 0 && len <= cap, "on_send reported a length outside 0..cap");
            FUZZ_CHECK(std::count(buf.get() + cap, buf.get() + cap + 64, char(0xA5)) == 64, "on_send wrote past cap");
            out.append(buf.get(), size_t(len));
        }
    }
    return out;
}

}  // namespace fuzz
