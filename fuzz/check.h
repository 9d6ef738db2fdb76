// Invariant checks for the fuzz targets. A broken invariant aborts, which
// libFuzzer reports as a crash and saves the input for; the sanitizers'
// reports work the same way. Unlike assert() these stay on in every build
// type.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, what)                                                      \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, what); \
            abort();                                                                     \
        }                                                                                \
    } while (0)

// The handlers of the code under test log to standard output; at fuzzing
// speed that is only noise between libFuzzer's own lines on standard error.
inline void silence_stdout()
{
    if (!freopen("/dev/null", "w", stdout))
        fprintf(stderr, "could not silence standard output\n");
}
