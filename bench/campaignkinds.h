#pragma once
// The faults of the campaign, one table row each: what is armed on a fresh
// simulated cartridge before the upload starts.
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/campaign.h"
#include "sim/ptyserver.h"

namespace bench {

// A row run in process: the host's own code over the in-process channel.
struct InProcessKind
{
    std::string name;
    std::string rate;
    // Whether the protocol's checksums and statuses can see every instance
    // of the fault: if so, a silent corruption is a defect of the host.
    bool visibleToProtocol = true;
    std::function<void(RunSetup&)> arm;
};

// A row run through a real pseudo-terminal with the serial adapter.
struct PtyKind
{
    std::string name;
    std::string rate;
    bool visibleToProtocol = true;
    uint32_t baud = 0; // 0: full speed
    // Sets the server's options, the cartridge's faults and what the user
    // does before the start. `cleanBytesOut`: what a fault-free run of the
    // same upload sends.
    std::function<void(sim::PtyServer::Options&, sim::Cartridge&, std::mt19937&,
                       uint64_t cleanBytesOut, UserPlan&)>
        arm;
    int leastRuns = 0; // runs the row needs whatever the campaign's count
};

std::vector<InProcessKind> InProcessKinds();
std::vector<PtyKind> PtyKinds();

} // namespace bench
