// Bytes through a CSerialStream over a real line: exactness, the ring
// buffer, the three time-out rules and the traffic trace.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <regex>
#include <thread>

#include "serial/serialstream.h"
#include "tests/serial/linepeer.h"
#include "tests/support/pattern.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPatience{3000};

long long MillisecondsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

Bytes AllByteValues()
{
    Bytes bytes(256);
    for (int value = 0; value < 256; ++value)
        bytes[value] = static_cast<uint8_t>(value);
    return bytes;
}

// One "Read:<name>: [0x..]...\n" line per transfer out of the ring buffer:
// how many bytes each carried.
std::vector<std::size_t> BytesPerReadTraceLine(const std::string& trace)
{
    std::vector<std::size_t> counts;
    const std::regex line("Read:[^:]*: ((\\[0x[0-9A-F]{2}\\])*)\n");
    for (auto it = std::sregex_iterator(trace.begin(), trace.end(), line);
         it != std::sregex_iterator(); ++it)
        counts.push_back((*it)[1].length() / 6);
    return counts;
}

class SerialTransfer : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(stream.Open(peer.PortName())); }

    Bytes ReadBytes(int32_t length, int32_t timeoutMs)
    {
        Bytes bytes(length);
        bytes.resize(stream.Read(bytes.data(), length, timeoutMs));
        return bytes;
    }

    // A read the device will not end: no more bytes come. Should it still
    // wait after kPatience, it gets all it asked for, so that it ends, and
    // the test fails.
    Bytes ReadThatOnlyItsTimeoutCanEnd(int32_t length, int32_t timeoutMs)
    {
        auto read = std::async(std::launch::async, [=] { return ReadBytes(length, timeoutMs); });
        if (read.wait_for(kPatience) != std::future_status::ready) {
            ADD_FAILURE() << "the read still waits for bytes that never come";
            peer.Send(Bytes(length, 0));
        }
        return read.get();
    }

    LinePeer peer;
    CSerialStream stream;
};

TEST_F(SerialTransfer, EveryByteValueReachesTheDeviceUnchanged)
{
    const Bytes all = AllByteValues();
    stream.Write(all.data(), static_cast<int32_t>(all.size()));
    EXPECT_EQ(peer.Receive(all.size(), kPatience), all);
}

TEST_F(SerialTransfer, EveryByteValueFromTheDeviceArrivesUnchanged)
{
    Bytes all = AllByteValues();
    peer.Send(all);
    EXPECT_EQ(ReadBytes(256, 3000), all);
    // And once more backwards, so that no pair of bytes (CR LF, XOFF XON)
    // is only ever seen in one order.
    std::reverse(all.begin(), all.end());
    peer.Send(all);
    EXPECT_EQ(ReadBytes(256, 3000), all);
}

TEST_F(SerialTransfer, BytesBeyondTheRingBufferStayInOrderAcrossReads)
{
    const Bytes sent = testdata::Pattern(600);
    peer.Send(sent);
    peer.WaitUntilArrived(600);

    traceEnabled = 1;
    ::testing::internal::CaptureStderr();
    const Bytes first = ReadBytes(10, 0);
    const Bytes rest = ReadBytes(600, 0);
    const std::string trace = ::testing::internal::GetCapturedStderr();
    traceEnabled = 0;

    ASSERT_EQ(first.size(), 10u);
    ASSERT_EQ(rest.size(), 590u);
    EXPECT_EQ(first, Bytes(sent.begin(), sent.begin() + 10));
    EXPECT_EQ(rest, Bytes(sent.begin() + 10, sent.end()));
    // The first poll took 512 bytes: 10 delivered, 502 kept. The second read
    // delivered those 502 from memory, then 88 that its own poll found.
    EXPECT_EQ(BytesPerReadTraceLine(trace), (std::vector<std::size_t>{10, 502, 88}));
    EXPECT_EQ(stream.PortCalls().reads, 2);
}

TEST_F(SerialTransfer, OneByteReadsAreServedFromMemoryAfterOnePoll)
{
    const Bytes sent = testdata::Pattern(100);
    peer.Send(sent);
    peer.WaitUntilArrived(100);

    Bytes received;
    for (int i = 0; i < 100; ++i) {
        uint8_t byte = 0;
        ASSERT_EQ(stream.Read(&byte, 1, 200), 1);
        received.push_back(byte);
    }
    EXPECT_EQ(received, sent);
    EXPECT_EQ(stream.PortCalls().reads, 1);

    uint8_t more = 0;
    EXPECT_EQ(stream.Read(&more, 1, 0), 0);
    EXPECT_EQ(stream.PortCalls().reads, 2);
}

TEST_F(SerialTransfer, BufferedBytesComeFirstAndOnlyTheMissingOnesAreAwaited)
{
    peer.Send(BytesOf("abcde"));
    peer.WaitUntilArrived(5);
    EXPECT_EQ(ReadBytes(1, 0), BytesOf("a"));

    std::thread late([&] {
        std::this_thread::sleep_for(milliseconds(30));
        peer.Send(BytesOf("fgh"));
    });
    const Bytes received = ReadBytes(7, 2000);
    late.join();
    EXPECT_EQ(received, BytesOf("bcdefgh"));
}

TEST_F(SerialTransfer, EmptyReadsAndWritesTouchNothing)
{
    traceEnabled = 1;
    ::testing::internal::CaptureStderr();
    uint8_t byte = 0;
    EXPECT_EQ(stream.Read(&byte, 0, 100), 0);
    stream.Write(&byte, 0);
    const std::string trace = ::testing::internal::GetCapturedStderr();
    traceEnabled = 0;

    EXPECT_EQ(trace, "");
    EXPECT_EQ(stream.PortCalls().reads, 0);
    EXPECT_EQ(stream.PortCalls().writes, 0);
    EXPECT_TRUE(peer.Receive(1, milliseconds(20)).empty());
}

// The time-outs are told apart by what the reads return, not by how long
// they take: a loaded machine may stretch any wait. Only "not before the
// time-out" is a bound on the clock, and waits only ever come out longer.
using SerialReadTimeout = SerialTransfer;

TEST_F(SerialReadTimeout, ZeroReturnsAtOnceWhenNothingHasArrived)
{
    EXPECT_TRUE(ReadThatOnlyItsTimeoutCanEnd(10, 0).empty());
}

TEST_F(SerialReadTimeout, ExpiryReturnsWhatHasComeSoFar)
{
    peer.Send(BytesOf("123"));
    peer.WaitUntilArrived(3);
    const auto start = Clock::now();
    EXPECT_EQ(ReadThatOnlyItsTimeoutCanEnd(5, 100), BytesOf("123"));
    EXPECT_GE(MillisecondsSince(start), 95);
}

TEST_F(SerialReadTimeout, IsOneDeadlineForTheWholeReadNotOnePerByte)
{
    // A device that trickles a byte every 40 ms for as long as the read
    // lasts would keep a per-byte time-out of 100 ms alive until all 200
    // bytes had come, eight seconds later; one deadline ends the read with
    // a few of them.
    constexpr int32_t kWanted = 200;
    peer.Send(Bytes{0});
    peer.WaitUntilArrived(1);
    std::atomic<bool> reading{true};
    std::thread trickle([&] {
        for (int i = 1; reading && i < kWanted; ++i) {
            std::this_thread::sleep_for(milliseconds(40));
            peer.Send(Bytes{static_cast<uint8_t>(i)});
        }
    });
    const auto start = Clock::now();
    const Bytes received = ReadBytes(kWanted, 100);
    const long long elapsed = MillisecondsSince(start);
    reading = false;
    trickle.join();
    EXPECT_GE(received.size(), 1u);
    EXPECT_LT(received.size(), static_cast<std::size_t>(kWanted));
    EXPECT_GE(elapsed, 95);
}

TEST_F(SerialReadTimeout, NegativeWaitsUntilEveryByteHasCome)
{
    std::thread slowDevice([&] {
        peer.Send(BytesOf("12"));
        std::this_thread::sleep_for(milliseconds(150));
        peer.Send(BytesOf("345"));
    });
    const Bytes received = ReadBytes(5, -1);
    slowDevice.join();
    EXPECT_EQ(received, BytesOf("12345"));
}

TEST(SerialTrace, ShowsEveryByteOnTheWireAndEveryThrow)
{
    LinePeer peer;
    CSerialStream stream;
    traceEnabled = 1;
    ::testing::internal::CaptureStderr();
    stream.SetSpeed(38400);
    stream.Open(peer.PortName());
    stream.Write("\x01\xAB", 2);
    peer.Send(Bytes{0x00, 0xFF});
    peer.WaitUntilArrived(2);
    uint8_t received[2];
    stream.Read(received, 2, 1000);
    try {
        stream.SetSpeed(0);
    } catch (const SerialStreamError&) {
    }
    const std::string trace = ::testing::internal::GetCapturedStderr();
    traceEnabled = 0;

    const std::string name = peer.PortName();
    EXPECT_NE(trace.find("Change  speed to 38400 baud\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Write:" + name + ": [0x01][0xAB]\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Read:" + name + ": [0x00][0xFF]\n"), std::string::npos) << trace;
    EXPECT_TRUE(std::regex_search(trace, std::regex("Throwing from serialstream:[0-9]+\n")))
        << trace;
}

TEST(SerialTrace, IsSwitchedOffByEveryNewStream)
{
    traceEnabled = 1;
    CSerialStream stream;
    EXPECT_EQ(traceEnabled.load(), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_THROW(stream.SetSpeed(-1), SerialStreamError);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

} // namespace
