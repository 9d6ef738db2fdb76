// Invariant checks for the fuzz targets: a broken one aborts, which libFuzzer
// reports as a crash and saves the input for. On in every build type.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(ok, what) \
    ((ok) ? void() : (fprintf(stderr, "invariant broken at %s:%d: %s\n", __FILE__, __LINE__, what), abort()))

// Once per process (`static bool quiet = silence_stdout();`): logs are noise here.
inline bool silence_stdout() { return freopen("/dev/null", "w", stdout) != nullptr; }
