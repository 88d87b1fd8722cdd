// Shared by the fuzz targets: a broken invariant must stop the process, so that the
// fuzzer records the input and the replay test fails, whatever the build type.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                         \
            std::fflush(stderr);                                                                                       \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

// The readers print capacity messages and the parser prints usage lines on standard
// output; at millions of inputs that output would only slow the run down.
inline void silence_stdout()
{
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
}
