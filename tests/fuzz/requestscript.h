#pragma once
// The input of the simulated cartridge's fuzz program: how the host's
// traffic reaches the device, and the traffic itself.
//
//   byte 0   bit 0: 0 = the rest is raw host traffic, fed as it is;
//                   1 = the rest is a list of requests, each a procedure
//                       number, a 2-byte little-endian N and N argument
//                       bytes (N cut short at the end of the input), framed
//                       here with the sync word and both checksums right
//            bits 1-2: the pieces the traffic arrives in: all at once, one
//                   byte, 7 bytes or 61 bytes at a time
//            bit 3: the line falls quiet between pieces
//            bits 4-7: k, the largest argument length the device stores:
//                   16 x k, or its default for k = 0
//   byte 1   the cartridge's transfer buffer: 16 x (byte + 1) bytes
//   then     the traffic
//
// The seed generator writes the same layout with Encode().
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/wire.h"

namespace fuzzinput {

struct RequestScript
{
    using Bytes = std::vector<uint8_t>;

    struct Request
    {
        uint8_t procedure = 0;
        Bytes arguments;
    };

    bool framedHere = false;
    int pieceMode = 0; // 0..3, see kPieceSizes
    bool quietBetweenPieces = false;
    uint32_t maxArgumentLength = 0; // 0: the device's default
    uint32_t bufferSize = 4096;
    Bytes traffic;                  // raw traffic (framedHere false)
    std::vector<Request> requests;  // framedHere true

    static constexpr size_t kPieceSizes[4] = {0, 1, 7, 61}; // 0: all at once

    static RequestScript Decode(const uint8_t* bytes, size_t size)
    {
        RequestScript script;
        if (size < 2)
            return script;
        script.framedHere = bytes[0] & 0x01;
        script.pieceMode = bytes[0] >> 1 & 0x03;
        script.quietBetweenPieces = bytes[0] & 0x08;
        script.maxArgumentLength = 16u * (bytes[0] >> 4);
        script.bufferSize = 16u * (bytes[1] + 1u);
        if (!script.framedHere) {
            script.traffic.assign(bytes + 2, bytes + size);
            return script;
        }
        size_t at = 2;
        while (size - at >= 3) {
            Request request;
            request.procedure = bytes[at];
            const size_t stated = bytes[at + 1] | static_cast<size_t>(bytes[at + 2]) << 8;
            at += 3;
            const size_t length = std::min(stated, size - at);
            request.arguments.assign(bytes + at, bytes + at + length);
            at += length;
            script.requests.push_back(std::move(request));
        }
        return script;
    }

    // The requests as a host puts them on the line: a header frame with the
    // sync word and an argument frame, each with its checksum right.
    static Bytes Frame(const std::vector<Request>& requests)
    {
        Bytes line;
        for (const Request& request : requests) {
            Bytes header = {request.procedure};
            sim::AppendU16(header, static_cast<uint16_t>(request.arguments.size()));
            line.insert(line.end(), std::begin(sim::kSyncBytes), std::end(sim::kSyncBytes));
            AppendWithSum(line, header);
            AppendWithSum(line, request.arguments);
        }
        return line;
    }

    Bytes Encode() const
    {
        Bytes out;
        out.push_back(static_cast<uint8_t>((framedHere ? 0x01 : 0) | (pieceMode & 0x03) << 1 |
                                           (quietBetweenPieces ? 0x08 : 0) |
                                           (maxArgumentLength / 16 & 0x0F) << 4));
        out.push_back(static_cast<uint8_t>(bufferSize / 16 - 1));
        if (!framedHere) {
            out.insert(out.end(), traffic.begin(), traffic.end());
            return out;
        }
        for (const Request& request : requests) {
            out.push_back(request.procedure);
            out.push_back(static_cast<uint8_t>(request.arguments.size()));
            out.push_back(static_cast<uint8_t>(request.arguments.size() >> 8));
            out.insert(out.end(), request.arguments.begin(), request.arguments.end());
        }
        return out;
    }

private:
    static void AppendWithSum(Bytes& line, const Bytes& payload)
    {
        line.insert(line.end(), payload.begin(), payload.end());
        sim::AppendU16(line, sim::ByteSum(payload));
    }
};

} // namespace fuzzinput
