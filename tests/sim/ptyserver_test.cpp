// The cartridge behind a real pseudo-terminal, reached through the host's
// own serial adapter: sessions, closing and reopening, a pulled cable, a
// paced line.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "rpc/rpc.h"
#include "rpc/rpcmessage.h"
#include "serial/pcserial.h"
#include "serial/serialstreamerror.h"
#include "sim/cartridge.h"
#include "sim/ptyserver.h"
#include "tests/support/replystyles.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using sim::Cartridge;
using sim::PtyServer;
namespace Procedure = sim::Procedure;

constexpr int32_t kBaud = 38400;
constexpr uint16_t kReplyTimeoutMs = 1000;

PtyServer::Options FullSpeed()
{
    PtyServer::Options options;
    options.baud = 0;
    return options;
}

// Waits, for a bounded time, until `condition` holds.
template <class Condition>
bool Eventually(Condition condition)
{
    const auto limit = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// One host session: the serial adapter on the server's port and a link.
struct Host
{
    explicit Host(const std::string& port)
    {
        serial.Open(port, kBaud);
        link.SetTimeout(kReplyTimeoutMs);
    }

    uint32_t BufferSize()
    {
        CRpcMessage message(256);
        EXPECT_EQ(link.Call(Procedure::kGetBufferSize, message), 0);
        uint32_t size = 0;
        message.GetU32(size);
        return size;
    }

    int Call(uint8_t procedure, CRpcMessage& message) { return link.Call(procedure, message); }

    CPCSerial serial;
    CRpc link{&serial, 4};
};

class PtyServerTest : public ::testing::Test
{
protected:
    void StartServer(PtyServer::Options options)
    {
        server = std::make_unique<PtyServer>(cartridge, options);
        std::string error;
        ASSERT_TRUE(server->Start(error)) << error;
    }

    Cartridge cartridge;
    std::unique_ptr<PtyServer> server;
};

TEST_F(PtyServerTest, HostReachesTheCartridgeThroughThePort)
{
    StartServer(FullSpeed());
    Host host(server->PortName());
    EXPECT_EQ(host.BufferSize(), Cartridge::kDefaultBufferSize);
}

// The server's reply style option reaches the cartridge's replies.
class PtyServerStyled : public PtyServerTest, public ::testing::WithParamInterface<std::string>
{
};

TEST_P(PtyServerStyled, WhatTheHostProgramsIsInTheFlash)
{
    PtyServer::Options options = FullSpeed();
    options.replyStyle = styletest::Style(GetParam());
    StartServer(options);
    Host host(server->PortName());
    const Bytes data = {0xDE, 0xAD, 0xBE, 0xEF, 0x0D, 0x11, 0x13, 0x7F};
    CRpcMessage message(256);
    message.PutU32(0x100);
    message.PutU32(8);
    ASSERT_EQ(host.Call(Procedure::kOpenRange, message), 0);
    message.Reset();
    message.PutU32(0);
    message.PutBytes(data.data(), 8);
    ASSERT_EQ(host.Call(Procedure::kLoadBuffer, message), 0);
    message.Reset();
    message.PutU32(0x100);
    message.PutU32(8);
    ASSERT_EQ(host.Call(Procedure::kProgramRange, message), 0);

    EXPECT_TRUE(server->WithCartridge([&](Cartridge& c) { return c.Flash().Holds(0x100, data); }))
        << "every byte value, line-discipline characters included, must cross unchanged";
    EXPECT_EQ(server->WithCartridge([](Cartridge& c) { return c.GetReplyStyle().extraMax; }),
              options.replyStyle->extraMax);
}

PLEMO_FOR_PTY_REPLY_STYLES(PtyServerStyled);

TEST_F(PtyServerTest, PortClosedAndOpenedAgainIsServedAgain)
{
    StartServer(FullSpeed());
    {
        Host first(server->PortName());
        EXPECT_EQ(first.BufferSize(), Cartridge::kDefaultBufferSize);
    }
    EXPECT_TRUE(Eventually([&] { return server->GetStats().hostCloses == 1; }));
    Host second(server->PortName());
    EXPECT_EQ(second.BufferSize(), Cartridge::kDefaultBufferSize);
    EXPECT_EQ(server->GetStats().hostOpens, 2u);
}

TEST_F(PtyServerTest, RepliesTheLastHostLeftUnreadDoNotGreetTheNext)
{
    StartServer(FullSpeed());
    const Bytes request = {0x78, 0x5A, 0x3C, 0x1E, 0x06, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00};
    int port = open(server->PortName().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(port, 0);
    ASSERT_EQ(write(port, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    ASSERT_TRUE(Eventually([&] { return server->GetStats().bytesToHost > 0; }));
    close(port);
    ASSERT_TRUE(Eventually([&] { return server->GetStats().hostCloses == 1; }));

    port = open(server->PortName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(port, 0);
    pollfd readable{port, POLLIN, 0};
    EXPECT_EQ(poll(&readable, 1, 100), 0) << "the old reply must be gone";
    close(port);
}

// A port drains its output on close: a cancelled upload's FinishUpload,
// written just before the port is closed, is still heard.
TEST_F(PtyServerTest, WhatTheHostWroteBeforeClosingStillReachesTheCartridge)
{
    PtyServer::Options slowLine;
    slowLine.baud = 1200; // the request needs 160 ms on the wire
    StartServer(slowLine);
    const Bytes finishUpload = {0x78, 0x5A, 0x3C, 0x1E, 0x09, 0x04, 0x00, 0x0D, 0x00,
                                0x00, 0x00, 0x02, 0x08, 0x0A, 0x00};
    int port = open(server->PortName().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(port, 0);
    ASSERT_TRUE(Eventually([&] { return server->GetStats().hostOpens == 1; }));
    ASSERT_EQ(write(port, finishUpload.data(), finishUpload.size()),
              static_cast<ssize_t>(finishUpload.size()));
    close(port);
    ASSERT_TRUE(Eventually([&] { return server->GetStats().hostCloses == 1; }));

    EXPECT_EQ(server->WithCartridge([](Cartridge& c) { return c.FinishValues(); }),
              std::vector<uint32_t>{0x08020000});
    port = open(server->PortName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(port, 0);
    pollfd readable{port, POLLIN, 0};
    EXPECT_EQ(poll(&readable, 1, 300), 0) << "its answer must not greet the next opener";
    close(port);
}

TEST_F(PtyServerTest, PulledCableMidTransferEndsTheCallWithAnError)
{
    PtyServer::Options options = FullSpeed();
    options.pullCableAfterBytes = 1000;
    StartServer(options);
    Host host(server->PortName());
    const Bytes chunk(2048, 0x5A);
    CRpcMessage message(256);
    message.PutU32(0);
    message.PutBytes(chunk.data(), 2048);
    try {
        host.Call(Procedure::kLoadBuffer, message);
        FAIL() << "a call over a pulled cable must not return";
    } catch (const SerialStreamError& error) {
        EXPECT_EQ(error.code, SerialStreamError::SystemError);
    }
    EXPECT_EQ(server->GetStats().cablePulls, 1u);
    EXPECT_TRUE(server->WithCartridge([](Cartridge& c) { return c.CallsOf(0).empty(); }));
}

TEST_F(PtyServerTest, CablePluggedBackInServesANewSession)
{
    StartServer(FullSpeed());
    {
        Host host(server->PortName());
        EXPECT_EQ(host.BufferSize(), Cartridge::kDefaultBufferSize);
        server->PullCable();
        CRpcMessage message(256);
        EXPECT_THROW(host.Call(Procedure::kGetBufferSize, message), SerialStreamError);
    }
    std::string error;
    ASSERT_TRUE(server->PlugCableIn(error)) << error;
    Host host(server->PortName());
    EXPECT_EQ(host.BufferSize(), Cartridge::kDefaultBufferSize);
}

TEST_F(PtyServerTest, LateReplyThroughThePortIsNotTakenForTheResend)
{
    PtyServer::Options options = FullSpeed();
    StartServer(options);
    Host host(server->PortName());
    host.link.SetTimeout(100);
    server->WithCartridge([](Cartridge& c) { c.Engine().InjectFault(sim::Fault::Late(150ms)); });
    EXPECT_EQ(host.BufferSize(), Cartridge::kDefaultBufferSize);
    // The resend's answer, still on its way, must carry the old size: only
    // then would a link that took it for the next call's reply be caught.
    // The cartridge answers a request as it hears it.
    ASSERT_TRUE(Eventually([&] {
        return server->WithCartridge([](Cartridge& c) {
                   return c.CallsOf(Procedure::kGetBufferSize).size();
               }) == host.link.LinkStats().requests;
    }));
    server->WithCartridge([](Cartridge& c) { c.ReportBufferSize(1234); });
    EXPECT_EQ(host.BufferSize(), 1234u) << "the second call must read its own reply";
}

TEST_F(PtyServerTest, PacedLineTakesAtLeastTheWireTimeOfTheRequest)
{
    StartServer(PtyServer::Options{});
    Host host(server->PortName());
    const Bytes text(199, 'x');
    CRpcMessage message(256);
    message.PutBytes(text.data(), static_cast<uint16_t>(text.size()));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(host.Call(Procedure::kPrintText, message), 0);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // 9 + 201 + 2 request bytes and 11 reply bytes at 3,840 bytes a second.
    EXPECT_GE(elapsed, sim::LineSpeed().WireTime(9 + 201 + 2 + 11));
}

} // namespace
