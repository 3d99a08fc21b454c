#include "sim/requestreader.h"

#include <algorithm>
#include <iterator>

#include "sim/wire.h"

namespace sim {

namespace {

// Enough of the skipped bytes to see what they were; the count covers all.
constexpr size_t kMaxSkippedSample = 4096;
constexpr size_t kHeaderFrameLength = sizeof kSyncBytes + kHeaderPayloadLength + kChecksumLength;

uint16_t LittleEndian16(uint8_t low, uint8_t high)
{
    return static_cast<uint16_t>(low | high << 8);
}

} // namespace

RequestReader::RequestReader(uint32_t maxArgumentLength)
    : maxArgumentLength(maxArgumentLength)
{
    headerBytes.reserve(kHeaderFrameLength);
}

RequestReader::Event RequestReader::Feed(uint8_t byte)
{
    switch (state) {
    case State::Hunting:
        return Hunt(byte);
    case State::Header:
        return TakeHeaderByte(byte);
    case State::Arguments:
        return TakeArgumentByte(byte);
    case State::ArgumentSum:
        return TakeArgumentSumByte(byte);
    }
    return Event::None;
}

bool RequestReader::Abandon()
{
    if (state == State::Hunting)
        return false;
    StartHunting();
    return true;
}

void RequestReader::StartHunting()
{
    state = State::Hunting;
    huntWindow.clear();
}

void RequestReader::NoteSkipped(uint8_t byte)
{
    ++skippedCount;
    if (skipped.size() < kMaxSkippedSample)
        skipped.push_back(byte);
}

RequestReader::Event RequestReader::Hunt(uint8_t byte)
{
    if (huntWindow.size() == sizeof kSyncBytes) {
        NoteSkipped(huntWindow.front());
        huntWindow.erase(huntWindow.begin());
    }
    huntWindow.push_back(byte);
    if (!std::equal(huntWindow.begin(), huntWindow.end(), std::begin(kSyncBytes),
                    std::end(kSyncBytes)))
        return Event::None;
    headerBytes.assign(std::begin(kSyncBytes), std::end(kSyncBytes));
    arguments.clear();
    argumentSumBytes.clear();
    state = State::Header;
    return Event::None;
}

RequestReader::Event RequestReader::TakeHeaderByte(uint8_t byte)
{
    headerBytes.push_back(byte);
    if (headerBytes.size() < kHeaderFrameLength)
        return Event::None;

    const uint8_t* payload = headerBytes.data() + sizeof kSyncBytes;
    const uint8_t* sum = payload + kHeaderPayloadLength;
    procedure = payload[0];
    argumentLength = LittleEndian16(payload[1], payload[2]);
    if (ByteSum(payload, kHeaderPayloadLength) != LittleEndian16(sum[0], sum[1])) {
        // The length cannot be trusted: whatever follows is hunted through.
        StartHunting();
        return Event::BadHeaderSum;
    }
    return BeginArgumentsOrSum();
}

RequestReader::Event RequestReader::BeginArgumentsOrSum()
{
    argumentsReceived = 0;
    argumentSum = 0;
    if (ArgumentsStored())
        arguments.reserve(argumentLength);
    state = argumentLength == 0 ? State::ArgumentSum : State::Arguments;
    return Event::None;
}

RequestReader::Event RequestReader::TakeArgumentByte(uint8_t byte)
{
    argumentSum = static_cast<uint16_t>(argumentSum + byte);
    if (ArgumentsStored())
        arguments.push_back(byte);
    if (++argumentsReceived == argumentLength)
        state = State::ArgumentSum;
    return Event::None;
}

RequestReader::Event RequestReader::TakeArgumentSumByte(uint8_t byte)
{
    argumentSumBytes.push_back(byte);
    if (argumentSumBytes.size() < kChecksumLength)
        return Event::None;
    StartHunting();
    if (LittleEndian16(argumentSumBytes[0], argumentSumBytes[1]) != argumentSum)
        return Event::BadArgumentSum;
    return ArgumentsStored() ? Event::Complete : Event::Oversize;
}

std::vector<uint8_t> RequestReader::ArgumentFrameBytes() const
{
    std::vector<uint8_t> frame = arguments;
    frame.insert(frame.end(), argumentSumBytes.begin(), argumentSumBytes.end());
    return frame;
}

std::vector<uint8_t> RequestReader::TakeSkipped()
{
    std::vector<uint8_t> taken;
    taken.swap(skipped);
    return taken;
}

uint64_t RequestReader::TakeSkippedCount()
{
    const uint64_t count = skippedCount;
    skippedCount = 0;
    return count;
}

} // namespace sim
