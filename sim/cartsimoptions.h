#pragma once
// The command line of plemo-cartsim.
#include <cstdint>
#include <optional>
#include <string>

#include "sim/randomfaults.h"
#include "sim/replystyle.h"

namespace sim {

struct CartsimOptions
{
    std::string linkPath;          // a symlink to the serial end, removed on exit
    std::string ttyPath;           // serve this existing terminal instead of a pty
    uint32_t bootAfterHandshakes = 0;
    double bootDelaySeconds = 0.0; // boots after this long even without handshakes
    bool bootDelayGiven = false;
    uint32_t bufferSize = 4096;
    uint32_t baud = 38400;         // 0: full speed
    uint32_t adapterLatencyMs = 0; // a USB adapter's latency timer at the host's end (0: none)
    std::string dumpPath;          // the flash is written here on exit and on SIGUSR1
    std::string loadPath;          // a flash image to start with
    int fallSilentAt = -1;         // procedure number from which nothing is answered
    ReplyStyle replyStyle;         // --reply-style and its options, seeded with --seed
    int restartProcedure = -1;     // --restart-at-call PROCEDURE:N
    uint32_t restartCall = 0;
    uint32_t offForMs = 2000;      // how long a restart keeps the cartridge off
    FaultRates faults;             // random damage to the replies
    bool faultsGiven = false;      // a fault option was given: report the faults on exit
    bool silentOnDamage = false;   // no answer at all to a damaged request
    bool verbose = false;          // print every procedure call
    bool quiet = false;            // do not print the cartridge's screen
    bool help = false;
};

// False with `error` set for an unknown option or a bad value.
bool ParseCartsimOptions(int argc, char** argv, CartsimOptions& options, std::string& error);
const char* CartsimUsage();

} // namespace sim
