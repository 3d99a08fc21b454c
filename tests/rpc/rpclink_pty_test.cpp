// The link over the real serial stack, a pseudo-terminal and the simulated
// cartridge paced at 38,400 baud behind it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "rpc/rpc.h"
#include "rpc/rpcmessage.h"
#include "serial/pcserial.h"
#include "sim/cartridge.h"
#include "sim/fault.h"
#include "sim/procedures.h"
#include "sim/ptyserver.h"

namespace {

using namespace std::chrono_literals;
using sim::Fault;

constexpr uint8_t kLinkRetries = 4;

// Linux's write() returns as soon as
// the kernel has the bytes, but the simulated cartridge behind its
// pseudo-terminal hears a request only at line speed. A 4 KiB text spends
// 1.07 s on the line; the cartridge then takes half a second to answer,
// well within the 1,000 ms it is given, and far past a time-out counted
// from the write (the margins are half a second either way).
TEST(LinkOnAPacedLine, ReplyTimeOutCountsFromTheMomentTheRequestHasLeft)
{
    sim::Cartridge cartridge;
    sim::PtyServer server(cartridge); // 38,400 baud
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;
    CPCSerial serial;
    serial.Open(server.PortName(), 38400);
    CRpc link(&serial, kLinkRetries);
    link.SetTimeout(1000);

    server.WithCartridge([](sim::Cartridge& c) { c.Engine().InjectFault(Fault::Late(500ms)); });
    const std::string text(4089, 'x');
    CRpcMessage message(256);
    ASSERT_EQ(message.PutBytes(text.c_str(), static_cast<uint16_t>(text.size() + 1)), 0);
    EXPECT_EQ(link.Call(sim::Procedure::kPrintText, message), CRpc::Ok);
    EXPECT_EQ(link.LinkStats().requests, 1u) << "the answer came in time: nothing was sent again";
}

} // namespace
