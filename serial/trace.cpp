#include "serial/trace.h"

#include <cstdarg>
#include <cstdio>

#include "serial/serialstreamerror.h"

std::atomic<int32_t> traceEnabled{0};

void TraceLog(const char* format, ...)
{
    if (traceEnabled == 0)
        return;
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stderr, format, arguments);
    va_end(arguments);
}

void ThrowSerialStreamError(int32_t code, const char* source, int line)
{
    ThrowSerialStreamError(SerialStreamError{code}, source, line);
}

void ThrowSerialStreamError(const SerialStreamError& error, const char* source, int line)
{
    TraceLog("Throwing from %s:%d\n", source, line);
    throw error;
}
