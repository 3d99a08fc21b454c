#include "sim/wire.h"

namespace sim {

uint16_t ByteSum(const uint8_t* bytes, size_t count)
{
    uint16_t sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum = static_cast<uint16_t>(sum + bytes[i]);
    return sum;
}

uint16_t ByteSum(const std::vector<uint8_t>& bytes)
{
    return ByteSum(bytes.data(), bytes.size());
}

void AppendU16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void AppendU32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

std::vector<uint8_t> ReplyHeaderFrame(uint8_t code, uint16_t length)
{
    std::vector<uint8_t> frame(std::begin(kSyncBytes), std::end(kSyncBytes));
    const std::vector<uint8_t> payload = {code, static_cast<uint8_t>(length),
                                          static_cast<uint8_t>(length >> 8)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    AppendU16(frame, ByteSum(payload));
    return frame;
}

std::vector<uint8_t> DataFrame(const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> frame = payload;
    AppendU16(frame, ByteSum(payload));
    return frame;
}

std::vector<uint8_t> RequestFrames(uint8_t procedure, const std::vector<uint8_t>& arguments)
{
    std::vector<uint8_t> frames = ReplyHeaderFrame(procedure, static_cast<uint16_t>(arguments.size()));
    const std::vector<uint8_t> argumentFrame = DataFrame(arguments);
    frames.insert(frames.end(), argumentFrame.begin(), argumentFrame.end());
    return frames;
}

} // namespace sim
