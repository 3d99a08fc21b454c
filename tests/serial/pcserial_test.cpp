// The serial port as an upload's byte channel.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "serial/pcserial.h"
#include "tests/serial/errorcode.h"
#include "tests/serial/linepeer.h"

namespace {

using std::chrono::milliseconds;
constexpr int32_t kTransferSpeed = 38400;

// True when a stream of our own can open the port, i.e. nobody holds it.
bool PortIsFree(const std::string& portName)
{
    CSerialStream probe;
    return ErrorCodeOf([&] { probe.Open(portName); }) == 0;
}

TEST(SerialChannel, CarriesBytesBothWaysAtTheTransferSpeed)
{
    LinePeer peer;
    CPCSerial serial;
    ASSERT_EQ(serial.Open(peer.PortName(), kTransferSpeed), 0);
    IComm& channel = serial;

    // What was written reaches the port at the latest when the channel is
    // read: a reply is never awaited before the request has gone out.
    EXPECT_EQ(channel.Write("pi", 2, 1000), 2);
    EXPECT_EQ(channel.Write("ng", 2, 1000), 2);
    char reply[8] = {};
    EXPECT_EQ(channel.Read(reply, 4, 0), 0);
    EXPECT_EQ(peer.Receive(4, milliseconds(2000)), BytesOf("ping"));

    peer.Send(BytesOf("pong"));
    EXPECT_EQ(channel.Read(reply, 4, 2000), 4);
    EXPECT_EQ(std::string(reply), "pong");
}

TEST(SerialChannel, EmptyTransfersReturnZero)
{
    LinePeer peer;
    CPCSerial serial;
    serial.Open(peer.PortName(), kTransferSpeed);
    char byte = 0;
    EXPECT_EQ(serial.Write(&byte, 0, 100), 0);
    EXPECT_EQ(serial.Read(&byte, 0, 100), 0);
    EXPECT_TRUE(peer.Receive(1, milliseconds(20)).empty());
}

TEST(SerialChannel, ALongTimeOutIsNeverTakenAsWaitingForever)
{
    // 0xFFFF ms must stay a (long) time-out, not wrap to "no limit".
    LinePeer peer;
    CPCSerial serial;
    serial.Open(peer.PortName(), kTransferSpeed);
    peer.Send(BytesOf("ab"));
    char reply[2] = {};
    EXPECT_EQ(serial.Read(reply, 2, 0xFFFF), 2);
    EXPECT_EQ(serial.Read(reply, 1, 50), 0);
}

TEST(SerialChannel, SpeedZeroIsRefusedBeforeThePortIsOpened)
{
    LinePeer peer;
    auto serial = std::make_unique<CPCSerial>();
    EXPECT_EQ(ErrorCodeOf([&] { serial->Open(peer.PortName(), 0); }),
              SerialStreamError::InvalidArgument);
    EXPECT_TRUE(PortIsFree(peer.PortName()));

    char byte = 0;
    EXPECT_EQ(ErrorCodeOf([&] { serial->Write(&byte, 1, 100); }),
              SerialStreamError::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { serial->Read(&byte, 1, 100); }), SerialStreamError::NotOpen);
    EXPECT_EQ(ErrorCodeOf([&] { serial.reset(); }), 0);
}

TEST(SerialChannel, AMissingPortIsReportedAsNotFound)
{
    CPCSerial serial;
    EXPECT_EQ(ErrorCodeOf([&] { serial.Open(LinePeer::MissingPortName(), kTransferSpeed); }),
              SerialStreamError::PortNotFound);
}

TEST(SerialChannel, EndingTheUploadGivesThePortBack)
{
    LinePeer peer;
    {
        CPCSerial serial;
        serial.Open(peer.PortName(), kTransferSpeed);
    }
    EXPECT_TRUE(PortIsFree(peer.PortName()));
}

} // namespace
