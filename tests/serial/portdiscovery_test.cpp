// Finding serial ports over a list of real lines.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "serial/portdiscovery.h"
#include "tests/serial/linepeer.h"

namespace {

using std::chrono::milliseconds;

TEST(SerialPortDiscovery, ListsFreePortsInCandidateOrderAndSkipsMissingOnes)
{
    LinePeer first;
    LinePeer second;
    const std::vector<std::string> candidates = {
        LinePeer::MissingPortName(), second.PortName(), first.PortName()};

    const std::vector<SerialPortInfo> found = DiscoverSerialPorts(candidates, false);

    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name, second.PortName());
    EXPECT_EQ(found[1].name, first.PortName());
    for (const SerialPortInfo& port : found) {
        EXPECT_FALSE(port.inUse) << port.name;
        EXPECT_FALSE(port.isModem) << port.name;
    }
}

TEST(SerialPortDiscovery, SendsNothingWithoutTheModemTest)
{
    LinePeer peer;
    DiscoverSerialPorts({peer.PortName()}, false);
    EXPECT_TRUE(peer.Receive(1, milliseconds(50)).empty());
}

TEST(SerialPortDiscovery, TellsAModemFromASilentPortWhenAsked)
{
    LinePeer silent;
    LinePeer modem;
    std::thread answering([&] {
        if (!modem.Receive(6, milliseconds(3000)).empty())
            modem.Send(BytesOf("\r\nOK\r\n"));
    });
    const std::vector<SerialPortInfo> found =
        DiscoverSerialPorts({silent.PortName(), modem.PortName()}, true);
    answering.join();

    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name, silent.PortName());
    EXPECT_FALSE(found[0].isModem);
    EXPECT_EQ(found[1].name, modem.PortName());
    EXPECT_TRUE(found[1].isModem);
}

TEST(SerialPortDiscovery, AnEmptyListFindsNothing)
{
    EXPECT_TRUE(DiscoverSerialPorts(std::vector<std::string>{}, false).empty());
}

} // namespace
