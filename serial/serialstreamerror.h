#pragma once
// The one exception of the serial layer. Thrown and caught by value; it has
// no base class and no text, only a code.
#include <cstdint>

struct SerialStreamError
{
    enum Code : int32_t
    {
        NotOpen = 1,         // a read on a stream whose port is not open
        SystemError = 2,     // an operating-system call on the port failed
        InvalidArgument = 3, // a line setting out of range, or a write while closed
        PortNotFound = 4,    // no device of that name
        AccessDenied = 5,    // the device exists but opening it was refused
    };

    int32_t code;
};
