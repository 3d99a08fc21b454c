// What only the Windows build shows: the COM device names and the line the
// Win32 layer really sets up.
#include <gtest/gtest.h>

#include <windows.h>

#include "serial/portdiscovery.h"
#include "serial/serialstream.h"
#include "tests/serial/errorcode.h"
#include "tests/serial/linepeer.h"

namespace {

bool RunningUnderWine()
{
    const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::size_t CountOf(const std::string& text, const std::string& part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

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

TEST(SerialWin32, APortWhoseDriverRefusesTheRtsToggleStillCarriesBytesWithRtsHeldOn)
{
    // Wine's serial driver refuses RTS_CONTROL_TOGGLE, as do some USB
    // adapters' drivers. The port must open and change speed all the same,
    // with RTS held on instead, and the trace must say so each time.
    LinePeer peer;
    CSerialStream stream;
    traceEnabled = 1;
    ::testing::internal::CaptureStderr();
    const int32_t code = ErrorCodeOf([&] {
        stream.Open(peer.PortName());
        stream.SetSpeed(38400);
    });
    const std::string trace = ::testing::internal::GetCapturedStderr();
    traceEnabled = 0;
    ASSERT_EQ(code, 0) << trace;
    ASSERT_TRUE(stream.IsOpen());
    EXPECT_EQ(stream.PortCalls().lineSettings, 2);

    const std::size_t fallbacks =
        CountOf(trace, peer.PortName() + ": SetCommState refused the RTS toggle");
    if (RunningUnderWine())
        EXPECT_EQ(fallbacks, 2u) << trace;
    else // a driver either takes the toggle every time or never
        EXPECT_TRUE(fallbacks == 0u || fallbacks == 2u) << trace;
    EXPECT_EQ(CountOf(trace, "Throwing from"), 0u) << trace;

    const Bytes request = {0xA5, 0x00, 0xFF, 0x13, 0x11, 0x0D};
    stream.Write(request.data(), static_cast<int32_t>(request.size()));
    EXPECT_EQ(peer.Receive(request.size(), std::chrono::milliseconds(5000)), request);
    const Bytes reply = {0x5A, 0xFE, 0x00, 0x0A, 0x7F};
    peer.Send(reply);
    Bytes received(reply.size());
    EXPECT_EQ(stream.Read(received.data(), static_cast<int32_t>(received.size()), 5000),
              static_cast<int32_t>(reply.size()));
    EXPECT_EQ(received, reply);
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

// What the system said travels with the error: GetLastError's number and
// the system's own text for it, without the line break Windows ends it with.
TEST(SerialWin32, AMissingPortKeepsTheSystemsErrorNumberAndText)
{
    CSerialStream stream;
    const SerialStreamError error = ErrorOf([&] { stream.Open(LinePeer::MissingPortName()); });
    EXPECT_EQ(error.code, SerialStreamError::PortNotFound);
    EXPECT_EQ(error.systemError, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    const std::string text = error.systemMessage;
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
}

} // namespace
