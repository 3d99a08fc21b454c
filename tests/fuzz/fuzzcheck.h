#pragma once
// What a fuzz program does when a property that must hold for every input
// does not: say which, and abort, so that libFuzzer keeps the input as a
// crash and prints how to replay it.
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__,    \
                         #condition);                                                     \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)
