#pragma once
#include <cstdint>

#include "serial/serialstreamerror.h"

// Runs `action` and returns the SerialStreamError it throws, or one of code
// 0 when it throws nothing.
template <typename Action>
SerialStreamError ErrorOf(Action action)
{
    try {
        action();
    } catch (const SerialStreamError& error) {
        return error;
    }
    return SerialStreamError{0};
}

// The code alone.
template <typename Action>
int32_t ErrorCodeOf(Action action)
{
    return ErrorOf(action).code;
}
