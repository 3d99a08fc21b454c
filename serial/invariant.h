#pragma once
// Internal invariants that stay checked in every build, release included: a
// violation is a programming error, and carrying on would corrupt memory or
// the device's flash. Prints the condition's text and stops the program.
#include <cstdio>
#include <cstdlib>

#define PLEMO_INVARIANT(condition) PLEMO_INVARIANT_SAYING(condition, #condition)

// The same, naming the condition in words of its own: where the message a
// violation prints is fixed, whatever the code's names.
#define PLEMO_INVARIANT_SAYING(condition, text)                                           \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "%s:%d: Assertion `%s' failed.\n", __FILE__, __LINE__,   \
                         text);                                                           \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)
