#pragma once
// What plemo-flash needs of the console it runs in, one source per platform:
// whether the output is a terminal, Ctrl-C, and the user's way of naming a
// port.
#include <cstdio>
#include <string>

#include "cli/exitstatus.h"

namespace plemoflash {

bool IsTerminal(std::FILE* stream);

// From here on the first Ctrl-C only asks the upload to stop (see
// InterruptRequested); a second one ends the program at once with
// kCancelled, saying so on the standard error stream.
void InstallInterruptHandler();
bool InterruptRequested();

// A port as the system opens it: on Windows "COM5" becomes "\\.\com5" (the
// only form that reaches ports above COM9); elsewhere the name is a path.
std::string SystemPortName(const std::string& name);

} // namespace plemoflash
