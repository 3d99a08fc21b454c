#pragma once
#include <cstdint>

#include "serial/serialstreamerror.h"

// Runs `action` and returns the code of the SerialStreamError it throws, or
// 0 when it throws nothing.
template <typename Action>
int32_t ErrorCodeOf(Action action)
{
    try {
        action();
    } catch (const SerialStreamError& error) {
        return error.code;
    }
    return 0;
}
