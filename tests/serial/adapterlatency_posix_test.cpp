// A port whose driver cannot lower a USB adapter's latency timer (a
// pseudo-terminal has no serial flags at all) opens and serves unchanged;
// only the trace tells, in one line. (The vm stage shows the timer lowered
// and restored on a real FTDI driver.)
#include <gtest/gtest.h>

#include <string>

#include "serial/serialstream.h"
#include "tests/serial/linepeer.h"

namespace {

int CountOf(const std::string& text, const std::string& part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class SerialAdapterLatency : public ::testing::TestWithParam<int32_t>
{
};

TEST_P(SerialAdapterLatency, APortWithoutSerialFlagsOpensServesAndClosesAsBefore)
{
    LinePeer peer;
    CSerialStream stream;
    traceEnabled = GetParam();
    ::testing::internal::CaptureStderr();
    const bool opened = stream.Open(peer.PortName());
    peer.Send(BytesOf("ok"));
    char received[2] = {};
    const int32_t count = stream.Read(received, 2, 1000);
    stream.Close();
    const std::string trace = ::testing::internal::GetCapturedStderr();
    traceEnabled = 0;

    EXPECT_TRUE(opened);
    EXPECT_EQ(count, 2);
    EXPECT_FALSE(stream.IsOpen());
    const std::string line = "Low latency on " + peer.PortName() +
                             ": not available, the driver's timing stays (TIOCGSERIAL: ";
    EXPECT_EQ(CountOf(trace, line), GetParam() != 0 ? 1 : 0) << trace;
    EXPECT_EQ(CountOf(trace, "Low latency"), CountOf(trace, line)) << trace;
    EXPECT_EQ(CountOf(trace, "Throwing from"), 0) << trace;
}

INSTANTIATE_TEST_SUITE_P(TraceOffAndOn, SerialAdapterLatency, ::testing::Values(0, 1));

} // namespace
