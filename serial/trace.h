#pragma once
// The serial layer's diagnostic trace, shared with port discovery.
//
// The trace is off: every construction of a CSerialStream sets the switch to
// 0 and nothing in the program sets it otherwise. A developer chasing a line
// problem turns it on in a debugger or a test to see every byte on the wire.
#include <atomic>
#include <cstdint>

// Process-wide switch; 0 means off. Atomic: uploads on several ports read it
// from their own threads while a new port's stream is made.
extern std::atomic<int32_t> traceEnabled;

#if defined(__GNUC__)
#define PLEMO_PRINTF_FORMAT(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define PLEMO_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

// Writes the formatted text to the standard error stream while the switch is
// on, exactly as formatted: no newline or time stamp is added. One call is
// one write, never split by another thread's.
void TraceLog(const char* format, ...) PLEMO_PRINTF_FORMAT(1, 2);

struct SerialStreamError;

// Traces "Throwing from <source>:<line>" and throws SerialStreamError{code}
// (or `error` as it is). Every throw of the serial layer goes through here,
// so that the trace always tells which statement gave up.
[[noreturn]] void ThrowSerialStreamError(int32_t code, const char* source, int line);
[[noreturn]] void ThrowSerialStreamError(const SerialStreamError& error, const char* source,
                                         int line);
