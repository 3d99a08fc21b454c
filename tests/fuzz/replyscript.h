#pragma once
// The input of the link's fuzz program: how the calls are made, and what
// the device answers to each request it hears.
//
//   byte 0   bits 0-2: the link's retry count (0-7);
//            bits 3-4: how many calls are made, less one (1-4 calls)
//   byte 1   the length of each call's arguments (0-255)
//   then     one reply per request heard, in order: a 2-byte little-endian
//            length and that many bytes, which go on the line as they are.
//            The last reply takes what is left when the length asks for
//            more; a request heard after the replies have run out is met
//            with silence.
//
// The seed generator writes the same layout with Encode().
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzzinput {

struct ReplyScript
{
    using Bytes = std::vector<uint8_t>;

    uint8_t retries = 4;
    int calls = 1;
    uint8_t argumentLength = 0;
    std::vector<Bytes> replies;

    static constexpr int kMaxCalls = 4;

    static ReplyScript Decode(const uint8_t* bytes, size_t size)
    {
        ReplyScript script;
        if (size < 2)
            return script;
        script.retries = bytes[0] & 0x07;
        script.calls = 1 + (bytes[0] >> 3 & 0x03);
        script.argumentLength = bytes[1];
        size_t at = 2;
        while (size - at >= 2) {
            const size_t stated = bytes[at] | static_cast<size_t>(bytes[at + 1]) << 8;
            at += 2;
            const size_t length = std::min(stated, size - at);
            script.replies.emplace_back(bytes + at, bytes + at + length);
            at += length;
        }
        return script;
    }

    Bytes Encode() const
    {
        Bytes out;
        out.push_back(static_cast<uint8_t>((retries & 0x07) | (calls - 1) << 3));
        out.push_back(argumentLength);
        for (const Bytes& reply : replies) {
            out.push_back(static_cast<uint8_t>(reply.size()));
            out.push_back(static_cast<uint8_t>(reply.size() >> 8));
            out.insert(out.end(), reply.begin(), reply.end());
        }
        return out;
    }
};

} // namespace fuzzinput
