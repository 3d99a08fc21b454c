// What only the Windows build shows: the COM device names and the line the
// Win32 layer really sets up.
#include <gtest/gtest.h>

#include <windows.h>

#include "serial/portdiscovery.h"
#include "serial/serialstream.h"
#include "tests/serial/errorcode.h"
#include "tests/serial/linepeer.h"

namespace {

TEST(SerialCandidatePorts, AreComOneToFiftyInNumericOrder)
{
    const std::vector<std::string> names = GetCandidatePortNames();
    ASSERT_EQ(names.size(), 50u);
    EXPECT_EQ(names[0], "\\\\.\\com1");
    EXPECT_EQ(names[1], "\\\\.\\com2");
    EXPECT_EQ(names[9], "\\\\.\\com10");
    EXPECT_EQ(names[49], "\\\\.\\com50");
}

TEST(SerialWin32, ALargeWriteArrivesWholeAcrossItsPieces)
{
    // 2,500 bytes go out as pieces of 1,024, 1,024 and 452.
    LinePeer peer;
    CSerialStream stream;
    stream.Open(peer.PortName());
    Bytes sent(2500);
    for (std::size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i * 13 + i / 256);
    stream.Write(sent.data(), static_cast<int32_t>(sent.size()));
    EXPECT_EQ(peer.Receive(sent.size(), std::chrono::milliseconds(5000)), sent);
    EXPECT_EQ(stream.PortCalls().writes, 1);
}

TEST(SerialWin32, AnyOtherRefusalPrintsCouldNotOpen)
{
    // A path below an existing port: the system finds no such path
    // (ERROR_PATH_NOT_FOUND), which is neither "no such device" nor "held".
    LinePeer peer;
    const std::string name = peer.PortName() + "\\no\\such\\thing";
    CSerialStream stream;
    ::testing::internal::CaptureStdout();
    const int32_t code = ErrorCodeOf([&] { stream.Open(name); });
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Could not open " + name + ", error=" + std::to_string(ERROR_PATH_NOT_FOUND) + "\n");
    EXPECT_EQ(code, SerialStreamError::SystemError);
    EXPECT_FALSE(stream.IsOpen());
}

} // namespace
