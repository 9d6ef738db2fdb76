// The input format of the connection fuzzers: byte 0 flags (low bits per
// target, high four the on_send cap), bytes 1-4 chunk sizes used in turn (0:
// the rest at once), then the client's bytes. The driving itself is shared
// with the http unit tests (tests/http/drive.h).
#pragma once

#include "fuzz/check.h"
#include "tests/http/drive.h"

namespace fuzz {

// Delivers the client bytes of `input` (at least 5 bytes) in its chunking
// and with its cap, or at once with the full cap when `whole`; returns the
// output.
inline std::string run(connection& c, const std::string& input, bool whole)
{
    static const int small_caps[4] = {1, 7, 64, 4096};
    int choice = uint8_t(input[0]) >> 4;
    std::vector<size_t> sizes;
    for (int i = 1; i <= 4 && !whole; i++)
        sizes.push_back(uint8_t(input[i]));
    return ::run(c, input.substr(5), sizes, whole || choice < 12 ? connection::buffer_size : small_caps[choice - 12]);
}

}  // namespace fuzz
