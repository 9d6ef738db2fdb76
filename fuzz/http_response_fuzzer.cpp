// An origin's answers on one connection, read by response_reader in random
// chunkings. Input: byte 0 flags (bit 0 the first request is HEAD, bit 1 it
// asks to upgrade, bit 2 the origin closes after the last byte, bit 3 more
// requests follow, each read once the answer before ended reusably, bit 4
// the first 0x7f byte of the stream stands for `pad` bytes "a", which lets
// short inputs reach the head limit, bit 5 the first request's client speaks
// HTTP/1.0 and takes no interim answers, bit 6 so do the later requests'
// clients); byte 1 the HEAD and upgrade bits of requests 2 to 5, two each;
// bytes 2-3 the seed of the piece sizes; bytes 4-5 `pad`, little-endian;
// then the origin's bytes.
//
// Invariants: the stream fed whole, one byte at a time, in random pieces,
// or in random pieces with the body bytes that raw_run() allows skipped
// (passed on unread, as the proxy splices them), gives the same bytes passed
// on, the same count taken and the same final state, and after any number
// of bytes taken the same state as byte by byte; the bytes passed on are the
// stream's own, up to where the answer ends, never part of a head that
// turned out unreadable, nor an interim head for a client that takes none;
// and where the answers end, how they end, why one failed, whether any of
// the last one was heard and whether the connection may carry another
// exchange agree with an independent reading (reference_answers.h).
#include "fuzz/check.h"
#include "fuzz/reference_answers.h"
#include "http/response_reader.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using state = response_reader::state;
using failure = response_reader::failure;

// What one run made of the stream.
struct result {
    std::string passed;  // the bytes appended or skipped, in order
    size_t taken = 0;
    state at = state::head;
    failure why = failure::none;
    bool reusable = false, ends_connection = false, heard = false, started = false, final_head = false;
    size_t held = 0;  // while at == head
    int status = 0;   // when final_head

    bool operator==(const result&) const = default;
};

// Small deterministic generator for piece sizes and skip choices.
struct dice {
    uint32_t x;
    uint32_t next()
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    }
};

enum class chunking { whole, bytewise, pieces, pieces_skipping };

// What a reader says once it has taken the first k bytes of the stream and
// seen none after them: a function of those k bytes alone, however they
// came. (A byte it refused was seen: that state is the final one, compared
// apart.)
struct point {
    state at = state::failed;
    failure why = failure::none;
    uint64_t raw_run = 0;
    size_t passed = 0;
    size_t held = 0;  // while at == head
    bool heard = false, started = false, final_head = false;
    bool reached = false;  // a run has taken these bytes

    bool operator==(const point&) const = default;
};

// Feeds the stream to a reader in the chunking given, the requests in turn.
// Byte by byte it writes the points after every byte taken to `points`;
// otherwise it checks its own against them.
result run(const std::string& stream, const std::vector<reference_answers::request>& requests, bool closed,
           chunking how, uint32_t seed, std::vector<point>& points)
{
    dice d{seed | 1};
    response_reader reader;
    base::byte_queue out;
    size_t next = 0;  // the request whose answer is being read
    reader.expect(requests[0].head, requests[0].upgrade, requests[0].interim);
    size_t at = 0;
    bool stopped = false;
    auto here = [&] {
        point p{.at = reader.at(),
                .why = reader.why(),
                .raw_run = reader.raw_run(),
                .passed = out.size(),
                .held = reader.at() == state::head ? reader.held() : 0,
                .heard = reader.heard(),
                .started = reader.started(),
                .final_head = reader.final_head(),
                .reached = true};
        if (how == chunking::bytewise)
            points[at] = p;
        else
            FUZZ_CHECK(points[at] == p, "the state after some bytes depends on how they came");
    };
    here();
    while (at < stream.size() && !stopped) {
        size_t piece = stream.size() - at;
        if (how == chunking::bytewise)
            piece = 1;
        else if (how != chunking::whole) {
            uint32_t r = d.next();
            size_t most = r % 8 == 0 ? 4096 : r % 2 ? 8 : 64;
            piece = std::min(piece, size_t(1 + (r >> 8) % most));
        }
        size_t end = at + piece;
        while (at < end) {
            if (reader.done() && reader.reusable() && next + 1 < requests.size()) {
                next++;
                reader.expect(requests[next].head, requests[next].upgrade, requests[next].interim);
            }
            uint64_t raw = reader.raw_run();
            if (how == chunking::pieces_skipping && raw > 0) {
                // Passed on unread, mostly as much as allowed (as the proxy
                // splices): the bytes go out as the reader would have
                // appended them.
                uint64_t k = std::min<uint64_t>({raw, end - at, d.next() % 4 ? UINT64_MAX : 1 + d.next() % 16});
                out.append(stream.data() + at, size_t(k));
                reader.skip(k);
                at += size_t(k);
                here();
                continue;
            }
            size_t took = reader.feed(stream.data() + at, end - at, out);
            FUZZ_CHECK(took <= end - at, "took more than it was given");
            bool short_piece = took < end - at;
            at += took;
            if (!short_piece)
                here();
            else {
                FUZZ_CHECK(reader.done() || reader.failed(), "took fewer bytes while the answer goes on");
                if (!(reader.done() && reader.reusable() && next + 1 < requests.size())) {
                    stopped = true;
                    break;
                }
            }
        }
    }
    if (closed)
        reader.finish();

    result r;
    size_t n;
    while (const char* p = out.front(&n)) {
        r.passed.append(p, n);
        out.consume(n);
    }
    r.taken = at;
    r.at = reader.at();
    r.why = reader.why();
    r.reusable = reader.reusable();
    r.ends_connection = reader.ends_connection();
    r.heard = reader.heard();
    r.held = reader.at() == state::head ? reader.held() : 0;
    r.started = reader.started();
    r.final_head = reader.final_head();
    r.status = reader.final_head() ? reader.status() : 0;
    return r;
}

state from_reference(reference_answers::ending e)
{
    using ending = reference_answers::ending;
    switch (e) {
    case ending::head:
        return state::head;
    case ending::sized:
        return state::sized;
    case ending::chunked:
        return state::chunked;
    case ending::until_close:
        return state::until_close;
    case ending::tunnel:
        return state::tunnel;
    case ending::done:
        return state::done;
    case ending::failed:
        break;
    }
    return state::failed;
}

failure from_reference(reference_answers::failure f)
{
    using ref = reference_answers::failure;
    switch (f) {
    case ref::none:
        return failure::none;
    case ref::closed:
        return failure::closed;
    case ref::unreadable:
        return failure::unreadable;
    case ref::too_many_interim:
        break;
    }
    return failure::too_many_interim;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 6)
        return 0;
    uint8_t flags = data[0];
    std::vector<reference_answers::request> requests{{bool(flags & 1), bool(flags & 2), !(flags & 32)}};
    for (int i = 0; i < 4 && (flags & 8); i++)
        requests.push_back({bool((data[1] >> (2 * i)) & 1), bool((data[1] >> (2 * i)) & 2), !(flags & 64)});
    bool all_interim = std::all_of(requests.begin(), requests.end(), [](const auto& r) { return r.interim; });
    bool closed = flags & 4;
    uint32_t seed = uint32_t(data[2]) | uint32_t(data[3]) << 8;
    std::string stream(reinterpret_cast<const char*>(data) + 6, size - 6);
    size_t marker = stream.find('\x7f');
    if ((flags & 16) && marker != std::string::npos)
        stream.replace(marker, 1, size_t(data[4]) | size_t(data[5]) << 8, 'a');

    std::vector<point> points(stream.size() + 1);
    result bytewise = run(stream, requests, closed, chunking::bytewise, seed, points);
    result whole = run(stream, requests, closed, chunking::whole, seed, points);
    FUZZ_CHECK(bytewise == whole, "one byte at a time reads otherwise than whole");
    FUZZ_CHECK(run(stream, requests, closed, chunking::pieces, seed, points) == whole,
               "random pieces read otherwise than whole");
    FUZZ_CHECK(run(stream, requests, closed, chunking::pieces_skipping, seed, points) == whole,
               "skipping body bytes reads otherwise than feeding them");

    // Where every client takes interim answers, nothing taken is left out
    // but a head held: bytes taken and not passed on are one still
    // incomplete, or one that turned out unreadable.
    FUZZ_CHECK(whole.taken >= whole.passed.size(), "passed on more than it took");
    FUZZ_CHECK(!all_interim || stream.compare(0, whole.passed.size(), whole.passed) == 0,
               "passed on bytes the stream does not hold");
    FUZZ_CHECK(!all_interim || whole.taken == whole.passed.size() ||
                   ((whole.at == state::head || whole.at == state::failed) && whole.taken > whole.passed.size()),
               "took bytes it neither passed on nor held as a head");
    FUZZ_CHECK(whole.at == state::failed || whole.why == failure::none, "a reason for an answer that did not fail");
    FUZZ_CHECK(whole.at != state::failed || whole.why != failure::none, "an answer failed for no reason");

    reference_answers::outcome ref = reference_answers::read(stream, requests, closed);
    FUZZ_CHECK(whole.passed == ref.passed, "passed on other bytes than the reference");
    FUZZ_CHECK(whole.taken == ref.taken, "took up to another byte than the reference");
    FUZZ_CHECK(whole.at == from_reference(ref.at), "ended in another state than the reference");
    FUZZ_CHECK(whole.why == from_reference(ref.why), "failed for another reason than the reference");
    FUZZ_CHECK(whole.heard == ref.heard, "heard the last answer otherwise than the reference");
    FUZZ_CHECK(whole.at != state::head || whole.held == ref.held, "held another part of a head than the reference");
    FUZZ_CHECK(whole.reusable == ref.reusable, "reusable otherwise than the reference");
    FUZZ_CHECK(whole.ends_connection == ref.ends_connection, "ends the connection otherwise than the reference");
    FUZZ_CHECK(whole.started == ref.started && whole.final_head == ref.final_head,
               "passed on heads otherwise than the reference");
    FUZZ_CHECK(whole.status == ref.status, "read another status than the reference");
    return 0;
}
