#pragma once
// The one exception of the serial layer. Thrown and caught by value; it has
// no base class. Its code says what kind of failure it was; where an
// operating-system call failed, it also keeps the system's own error number
// and text, so that whoever shows the failure can say what the system said.
// It holds no pointers and allocates nothing: a copy is a plain copy of its
// bytes and cannot fail.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

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

    // Room for the system's text, the terminating zero included; a longer
    // text is cut.
    static constexpr std::size_t kMessageSize = 128;

    // A failure the operating system reported: `number` is errno on POSIX
    // systems and GetLastError() on Windows, `message` the system's text for
    // it (may be null or empty where there is none).
    static SerialStreamError FromSystem(int32_t code, uint32_t number, const char* message)
    {
        SerialStreamError error{code};
        error.systemError = number;
        std::size_t length = 0;
        while (message != nullptr && message[length] != '\0' && length + 1 < kMessageSize) {
            error.systemMessage[length] = message[length];
            ++length;
        }
        // Windows ends its texts with a line break.
        while (length > 0 && std::strchr(" \r\n", error.systemMessage[length - 1]) != nullptr)
            error.systemMessage[--length] = '\0';
        return error;
    }

    int32_t code;
    // The system's error number; 0 when no system call failed (the stream
    // itself refused: a closed port, a setting out of range).
    uint32_t systemError = 0;
    // The system's text for systemError, without a trailing line break;
    // empty when there is none.
    char systemMessage[kMessageSize] = {};
};

static_assert(std::is_trivially_copyable<SerialStreamError>::value,
              "thrown and caught by value: a copy must be a plain copy that cannot fail");
