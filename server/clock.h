// The clocks the server and the layers above read: monotonic milliseconds
// for time-outs and durations (never jumps with the wall clock), and the
// wall clock in milliseconds for time stamps. Both are vDSO calls, cheap
// enough for a few readings per request.
#pragma once

#include <cstdint>
#include <ctime>

inline int64_t monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

inline int64_t wall_ms()
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}
