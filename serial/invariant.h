#pragma once
// Internal invariants that stay checked in every build, release included: a
// violation is a programming error, and carrying on would corrupt memory or
// the device's flash. Prints the condition's text and stops the program.
#include <cstdio>
#include <cstdlib>

#define PLEMO_INVARIANT(condition)                                                        \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "%s:%d: Assertion `%s' failed.\n", __FILE__, __LINE__,   \
                         #condition);                                                     \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)
