// The server's one timer facility: for every connection, the moment it must
// be looked at next (a limit of time that may have run out: an idle or a
// stall limit, a connect's deadline or its stagger, a pooled connection's
// expiry). A binary heap ordered by that moment, intrusive in the
// connections (each knows its place), so arming, moving and cancelling a
// connection's moment cost O(log n) and finding the earliest O(1).
//
// Why a heap and not a timing wheel: a connection has one moment at most,
// re-armed only when it is served (not per byte), so operations are few;
// a heap keeps exact times (limits fire when due, not on the next slot) and
// needs no tuning of slot width or wheel size for limits from 250 ms to 600 s.
//
// Moments are lazy: a connection's moment may be earlier than its limits
// really run out (a partner's activity counts for it, say); when it comes,
// the server asks the connection and arms the next moment it names.
// Owned by turn_scheduler; loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class connection;

class timer_heap {
public:
    static constexpr int64_t never = INT64_MAX;

    // c is to be looked at `when` (monotonic ms; never: not at all).
    void arm(connection* c, int64_t when);
    void cancel(connection* c) { arm(c, never); }

    // The earliest moment armed, or never.
    int64_t next() const { return heap.empty() ? never : moment(heap[0]); }

    // Takes out and returns a connection whose moment is at or before now,
    // or null.
    connection* due(int64_t now);

    size_t size() const { return heap.size(); }

private:
    static int64_t moment(const connection* c);
    void place(size_t at, connection* c);
    void up(size_t at);
    void down(size_t at);
    void take(size_t at);

    std::vector<connection*> heap;
};
