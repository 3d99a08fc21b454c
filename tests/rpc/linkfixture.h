#pragma once
// A link over the in-process channel to a bare simulated device, with a few
// procedures that make replies easy to tell apart.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "rpc/rpc.h"
#include "rpc/rpcmessage.h"
#include "sim/deviceengine.h"
#include "sim/inprocesschannel.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;

// Procedure numbers of the test device.
constexpr uint8_t kBufferSize = 6;    // answers 00 08 00 00 (2,048)
constexpr uint8_t kEcho = 20;         // answers its arguments followed by a serial number
constexpr uint8_t kNothing = 21;      // answers with no data (M = 0)
constexpr uint8_t kLinkRetries = 4;

class LinkTest : public ::testing::Test
{
protected:
    LinkTest()
    {
        device.SetHandler(kBufferSize, [](const Bytes&) {
            return sim::Outcome::Reply({0x00, 0x08, 0x00, 0x00});
        });
        device.SetHandler(kEcho, [this](const Bytes& arguments) {
            Bytes reply = arguments;
            reply.push_back(++served);
            return sim::Outcome::Reply(reply);
        });
        device.SetHandler(kNothing, [](const Bytes&) { return sim::Outcome::Reply(); });
    }

    // How many requests reached the device framed correctly.
    size_t RequestsHeard() const { return device.Calls().size(); }

    // Calls kEcho with one tag byte; the tag the device answered, or -1.
    // `known`: the call knows its answer begins with the tag.
    int EchoTag(uint8_t tag, int* result = nullptr, bool known = false)
    {
        CRpcMessage echo(256);
        echo.PutU8(tag);
        const int called = known ? link.CallForKnownAnswer(kEcho, echo, {tag})
                                 : link.Call(kEcho, echo);
        if (result != nullptr)
            *result = called;
        uint8_t answered = 0;
        if (called != 0 || echo.GetU8(answered) != 0)
            return -1;
        return answered;
    }

    static Bytes Unread(CRpcMessage& message)
    {
        Bytes bytes;
        uint8_t byte = 0;
        while (message.GetU8(byte) == 0)
            bytes.push_back(byte);
        return bytes;
    }

    sim::DeviceEngine device;
    sim::InProcessChannel channel{device};
    CRpc link{&channel, kLinkRetries};
    CRpcMessage message{256};
    uint8_t served = 0;
};

} // namespace linktest
