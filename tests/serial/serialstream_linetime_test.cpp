// When written bytes have left the line, and how long a write may take,
// over a real line whose far end takes the bytes no faster than a serial
// line carries them, or more slowly still.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ostream>
#include <thread>

#include "serial/serialstream.h"
#include "tests/serial/errorcode.h"
#include "tests/serial/linepeer.h"
#include "tests/support/pattern.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

double MillisecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A device behind a UART: byte i (from 0) is in its hands no earlier than
// i character times after the first, as on a line at `baud` with
// `bitsPerCharacter` bits for each byte. It holds its last piece back
// until the writer says its write has returned (or kWriterPatience has
// passed): a write that waited for the device to take everything shows,
// whatever the machine's load.
//
// Its pacing is its own: the wait before a piece may end late on a loaded
// machine, or early where a sleep rounds to the system's timer; it is
// repeated until the clock says the time has come, and lineDoneAt records
// when the line it plays would have delivered the last byte, for a test
// that compares with it.
class PacedDevice
{
public:
    static constexpr std::chrono::seconds kWriterPatience{5};

    PacedDevice(LinePeer& peer, int32_t baud, int bitsPerCharacter, std::size_t expected)
        : characterTime(nanoseconds(int64_t{1000000000} * bitsPerCharacter / baud)),
          worker([this, &peer, expected] { Listen(peer, expected); })
    {
    }
    ~PacedDevice() { Join(); }
    PacedDevice(const PacedDevice&) = delete;
    PacedDevice& operator=(const PacedDevice&) = delete;

    void WriteReturned() { writeReturned = true; }
    void Join()
    {
        if (worker.joinable())
            worker.join();
    }

    const nanoseconds characterTime;
    std::size_t received = 0;
    Clock::time_point firstAt{};
    Clock::time_point lineDoneAt{}; // firstAt and a character time for each later byte
    Clock::time_point lastAt{};

private:
    static void WaitUntil(Clock::time_point moment)
    {
        while (Clock::now() < moment)
            std::this_thread::sleep_until(moment);
    }

    void Listen(LinePeer& peer, std::size_t expected)
    {
        constexpr std::size_t kPiece = 64;
        if (peer.Receive(1, milliseconds(5000)).empty())
            return;
        firstAt = Clock::now();
        lineDoneAt = firstAt + characterTime * (expected - 1);
        received = 1;
        while (received < expected) {
            const std::size_t piece = std::min(kPiece, expected - received);
            WaitUntil(firstAt + characterTime * (received + piece - 1));
            if (received + piece == expected) {
                const auto giveUp = Clock::now() + kWriterPatience;
                while (!writeReturned && Clock::now() < giveUp)
                    std::this_thread::sleep_for(milliseconds(1));
            }
            const Bytes got = peer.Receive(piece, milliseconds(2000));
            if (got.empty())
                break;
            received += got.size();
        }
        lastAt = Clock::now();
    }

    std::atomic<bool> writeReturned{false};
    std::thread worker; // last: starts once everything it fills is there
};

struct LineFormat
{
    int32_t dataBits;
    char parity;
    int32_t stopBits;
    int bitsPerCharacter; // start, data, parity, stop
};

void PrintTo(const LineFormat& format, std::ostream* out)
{
    *out << format.dataBits << '-' << format.parity << '-' << format.stopBits;
}

class SerialLineTime : public ::testing::TestWithParam<LineFormat>
{
};

TEST_P(SerialLineTime, ARequestHasLeftOnlyItsLineTimeAfterTheWriteBegan)
{
    // A full LoadBuffer chunk in its frame: 2,065 bytes, 538 ms at 38,400
    // baud and 8-N-1. The write returns long before the device has it.
    constexpr int32_t kBaud = 38400;
    constexpr std::size_t kRequest = 2065;
    const LineFormat format = GetParam();
    LinePeer peer;
    CSerialStream stream;
    stream.SetSpeed(kBaud);
    stream.SetLineFormat(format.dataBits, format.parity, format.stopBits);
    stream.Open(peer.PortName());
    const Bytes request = testdata::Pattern(kRequest);
    const microseconds lineTime(int64_t{kRequest} * format.bitsPerCharacter * 1000000 / kBaud);

    PacedDevice device(peer, kBaud, format.bitsPerCharacter, kRequest);
    const auto began = Clock::now();
    stream.Write(request.data(), static_cast<int32_t>(request.size()));
    const auto returned = Clock::now();
    device.WriteReturned();
    const auto doneAt = stream.OutputDoneAt();
    device.Join();

    ASSERT_EQ(device.received, kRequest);
    EXPECT_LT(returned, device.lastAt) << "the write waited for the device to take it all";
    // Not before the line could have carried the bytes; not after the
    // device had them all, nor after its line would have delivered them,
    // whichever is later: the stream's clock started before the first
    // byte left, the device's once it had arrived.
    EXPECT_GE(doneAt, began + lineTime);
    EXPECT_LE(doneAt, std::max(device.lastAt, device.lineDoneAt) + device.characterTime);
    std::printf("write returned after %.2f ms; done %.2f ms after it; the device had the "
                "last byte %.2f ms after the write began, its line would have delivered it "
                "after %.2f ms (line time %.2f ms)\n",
                MillisecondsBetween(began, returned), MillisecondsBetween(returned, doneAt),
                MillisecondsBetween(began, device.lastAt),
                MillisecondsBetween(began, device.lineDoneAt),
                std::chrono::duration<double, std::milli>(lineTime).count());
}

INSTANTIATE_TEST_SUITE_P(Formats, SerialLineTime,
                         ::testing::Values(LineFormat{8, 'n', 1, 10}, LineFormat{8, 'E', 2, 12}),
                         [](const ::testing::TestParamInfo<LineFormat>& info) {
                             return info.param.stopBits == 1 ? "EightNoneOne" : "EightEvenTwo";
                         });

TEST(SerialWriteDeadline, AFarEndSlowerThanTheLineCannotKeepAWriteGoing)
{
    // The far end takes 4 KiB every 50 ms, a fifth of what the line
    // carries: each wait for room is short, but the write as a whole is
    // over its line time plus the allowance long before the far end has
    // taken it all.
    constexpr int32_t kFastLine = 4000000;
    constexpr int32_t kLength = 128 * 1024;
    LinePeer peer;
    CSerialStream stream;
    stream.SetSpeed(kFastLine);
    stream.SetWriteStallAllowance(milliseconds(100));
    stream.Open(peer.PortName());
    std::atomic<bool> writing{true};
    std::thread slowDevice([&] {
        while (writing) {
            peer.Receive(4096, milliseconds(10));
            std::this_thread::sleep_for(milliseconds(50));
        }
    });

    const Bytes block = testdata::Pattern(kLength);
    const auto began = Clock::now();
    const int32_t code = ErrorCodeOf([&] { stream.Write(block.data(), kLength); });
    writing = false;
    slowDevice.join();

    EXPECT_EQ(code, SerialStreamError::SystemError);
    // Any of the bytes may have reached the device: a reply cannot come
    // before they all could have left.
    EXPECT_GE(stream.OutputDoneAt(), began + stream.TransferTime(kLength));
    EXPECT_TRUE(stream.IsOpen());
}

} // namespace
