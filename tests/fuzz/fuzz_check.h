// A property that fails in a fuzz target stops the run with the input's story: the
// sanitizers' and libFuzzer's way of reporting a finding.
#pragma once
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition, ...)                                                                                     \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "fuzz check failed: %s: ", #condition);                                               \
            std::fprintf(stderr, __VA_ARGS__);                                                                         \
            std::fprintf(stderr, "\n");                                                                                \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)
