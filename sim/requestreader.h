#pragma once
// The device's receiver: takes the host's bytes one at a time and cuts them
// into requests. Hunts the sync word, reads the header (procedure, argument
// length N, checksum) and the argument frame (N bytes, checksum), and says
// after each byte whether a request has ended and how.
//
// It never stores more than `maxArgumentLength` argument bytes, whatever N the
// header claims: a request that large is read to its end, checked and refused.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

class RequestReader
{
public:
    enum class Event
    {
        None,            // more bytes needed
        Complete,        // a request with both checksums right
        BadHeaderSum,    // the header's checksum did not match
        BadArgumentSum,  // the argument frame's checksum did not match
        Oversize,        // both checksums right, but N exceeds the limit
    };

    explicit RequestReader(uint32_t maxArgumentLength);

    Event Feed(uint8_t byte);
    // Forgets a half-received request and hunts for the next sync word.
    // True when a request was in progress.
    bool Abandon();

    void SetMaxArgumentLength(uint32_t length) { maxArgumentLength = length; }

    // The request that ended with the last event.
    uint8_t Procedure() const { return procedure; }
    uint16_t ArgumentLength() const { return argumentLength; }
    const std::vector<uint8_t>& Arguments() const { return arguments; }
    // The frames of the last request as they came over the wire.
    const std::vector<uint8_t>& HeaderBytes() const { return headerBytes; }
    std::vector<uint8_t> ArgumentFrameBytes() const;
    bool ArgumentsStored() const { return argumentLength <= maxArgumentLength; }

    // Bytes skipped while hunting since the last call (at most a bounded
    // sample of them is kept; `TakeSkippedCount` has the full count).
    std::vector<uint8_t> TakeSkipped();
    uint64_t TakeSkippedCount();

private:
    enum class State
    {
        Hunting,
        Header,
        Arguments,
        ArgumentSum,
    };

    Event Hunt(uint8_t byte);
    Event TakeHeaderByte(uint8_t byte);
    Event TakeArgumentByte(uint8_t byte);
    Event TakeArgumentSumByte(uint8_t byte);
    Event BeginArgumentsOrSum();
    void StartHunting();
    void NoteSkipped(uint8_t byte);

    uint32_t maxArgumentLength;
    State state = State::Hunting;
    std::vector<uint8_t> headerBytes;
    uint8_t procedure = 0;
    uint16_t argumentLength = 0;
    uint32_t argumentsReceived = 0;
    uint16_t argumentSum = 0;
    std::vector<uint8_t> arguments;
    std::vector<uint8_t> argumentSumBytes;
    std::vector<uint8_t> huntWindow;  // the last (at most four) bytes seen while hunting
    std::vector<uint8_t> skipped;     // a sample of the skipped bytes
    uint64_t skippedCount = 0;
};

} // namespace sim
