// Drives one http_connection the way the server does, without a socket: the
// stream goes to on_recv in chunks whose sizes come from the fuzzer's input,
// and after every chunk on_send is asked for output until it has none, as the
// server's second pass does while the send buffer is empty.
//
// Fuzz input layout shared by the connection targets:
//     byte 0      flags (each target gives the low bits its own meaning; the
//                 high four bits choose the on_send cap, see send_cap())
//     bytes 1-4   chunk sizes, used in turn; 0 means "the rest at once"
//     bytes 5-    the byte stream a client sends
#pragma once

#include "fuzz/check.h"
#include "http/http_connection.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace fuzz {

struct stream_input {
    uint8_t flags = 0;
    uint8_t sizes[4] = {};
    std::string bytes;

    // False when the input is too short to carry the header.
    bool parse(const uint8_t* data, size_t size)
    {
        if (size < 5)
            return false;
        flags = data[0];
        memcpy(sizes, data + 1, 4);
        bytes.assign(reinterpret_cast<const char*>(data + 5), size - 5);
        return true;
    }

    // Mostly the server's full buffer; sometimes a small cap, so pieces are
    // handed over in many calls and split at odd offsets.
    int send_cap() const
    {
        static const int small[4] = {1, 7, 64, 4096};
        int choice = flags >> 4;
        return choice < 12 ? connection::buffer_size : small[choice - 12];
    }
};

// Bytes after the cap that on_send must leave alone.
constexpr int guard_size = 64;

// One shared send buffer, like the server's per-connection one, plus a guard.
inline char* send_buffer()
{
    static std::unique_ptr<char[]> buffer(new char[connection::buffer_size + guard_size]);
    return buffer.get();
}

// Asks for output until there is none; appends it to `out`. Returns false
// once on_send has said that nothing more will follow.
inline bool drain(connection& c, int cap, std::string& out)
{
    char* buf = send_buffer();
    for (;;) {
        memset(buf + cap, 0xA5, guard_size);
        // The server passes its send_length, which is 0 then; a value it
        // never passes shows whether on_send stores the length every time,
        // as the connection contract says.
        int len = -1;
        bool more = c.on_send(buf, cap, &len);
        FUZZ_CHECK(len >= 0 && len <= cap, "on_send reported a length outside 0..cap");
        for (int i = 0; i < guard_size; i++)
            FUZZ_CHECK(uint8_t(buf[cap + i]) == 0xA5, "on_send wrote past cap");
        out.append(buf, size_t(len));
        if (!more)
            return false;
        if (len == 0)
            return true;
        // Each call either hands bytes over or reports the end, so the output
        // is finite; this bound only turns a runaway into a report.
        FUZZ_CHECK(out.size() < (size_t(64) << 20), "on_send keeps producing output");
    }
}

// Feeds `bytes` in the chunking the sizes describe (whole when `whole`),
// draining after every chunk, and stops where the server would end the
// connection (then *ended is set, and the rest of the stream is not fed).
// Each chunk lives in a buffer of exactly its size, so a read past the chunk
// is an AddressSanitizer report. Returns the output.
inline std::string run(connection& c, const stream_input& in, bool whole, bool* ended)
{
    *ended = false;
    std::string out;
    int cap = in.send_cap();
    size_t at = 0;
    for (size_t turn = 0; at < in.bytes.size(); turn++) {
        size_t n = in.bytes.size() - at;
        uint8_t size = in.sizes[turn % 4];
        if (!whole && size != 0 && size < n)
            n = size;
        std::unique_ptr<char[]> chunk(new char[n]);
        memcpy(chunk.get(), in.bytes.data() + at, n);
        c.on_recv(chunk.get(), int(n));
        at += n;
        if (!drain(c, cap, out)) {
            *ended = true;
            return out;
        }
    }
    return out;
}

}  // namespace fuzz
