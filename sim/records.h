#pragma once
// What the simulated device keeps of its traffic, for tests to inspect.
#include <cstdint>
#include <vector>

#include "sim/fault.h"

namespace sim {

enum class Direction
{
    HostToDevice,
    DeviceToHost,
};

enum class FrameKind
{
    RequestHeader,    // sync word, procedure, N, checksum
    RequestArguments, // N bytes and checksum
    Skipped,          // host bytes passed over while hunting for a sync word
    ReplyHeader,      // sync word, code, M, checksum
    ReplyData,        // M bytes and checksum
    Noise,            // device bytes that belong to no frame
};

struct FrameRecord
{
    Direction direction;
    FrameKind kind;
    std::vector<uint8_t> bytes; // as on the wire, sync word and checksum included
    bool intact = true;         // false: a checksum that does not match its payload
};

// One request that arrived framed correctly, and what became of it.
struct CallRecord
{
    uint8_t procedure = 0;
    uint16_t argumentLength = 0;       // N as the header stated it
    std::vector<uint8_t> arguments;    // empty when N exceeded what the device accepts
    Fault::Kind fault = Fault::Kind::None;
    bool carriedOut = false;           // the handler ran
    bool answered = false;             // a reply went out on the line
    uint8_t replyCode = 0;             // meaningful when answered
    std::vector<uint8_t> reply;        // the reply data sent
};

// The faults that changed what went out on the line, one count for each
// reply they changed (a fault kept for a later reply counts once, there).
struct FaultCounts
{
    uint64_t damagedHeaderSums = 0;
    uint64_t damagedDataSums = 0;
    uint64_t noiseBursts = 0;
    uint64_t noiseBytes = 0;   // bytes of all the bursts
    uint64_t droppedReplies = 0;
    uint64_t askedAgain = 0;   // 0xFE answered by a fault (not for a damaged request)
    uint64_t unknownCodes = 0;
    uint64_t lateReplies = 0;
    uint64_t silenced = 0;     // requests never heard
};

struct EngineStats
{
    uint64_t requests = 0;          // framed correctly
    uint64_t badHeaderSums = 0;     // answered 0xFE
    uint64_t badArgumentSums = 0;   // answered 0xFE
    uint64_t oversizeRequests = 0;  // refused unread
    uint64_t abandonedRequests = 0; // the line fell quiet mid-frame
    uint64_t skippedBytes = 0;      // host bytes outside any frame
    uint64_t replies = 0;           // reply headers sent
    uint64_t unheardBytes = 0;      // fed while the device had no power
    FaultCounts faults;
};

} // namespace sim
