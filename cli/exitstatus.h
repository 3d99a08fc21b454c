#pragma once
// plemo-flash's exit statuses, for scripts and build rules.
namespace plemoflash {

enum ExitStatus : int
{
    kSucceeded = 0,
    kProgrammingError = 1, // the upload failed: the cartridge may hold part of the file
    kBadUsage = 2,         // bad options, or a file that cannot be read or is refused (no port touched)
    kPortUnavailable = 3,  // the port could not be opened
    kCancelled = 4,        // Ctrl-C, or the wait for the cartridge ran out
};

} // namespace plemoflash
