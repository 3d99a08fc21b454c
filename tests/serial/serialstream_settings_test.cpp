// Opening and closing, line settings, errors and the modem probe of a
// CSerialStream over a real line.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "serial/serialstream.h"
#include "tests/serial/errorcode.h"
#include "tests/serial/linepeer.h"

namespace {

using std::chrono::milliseconds;

TEST(SerialStreamErrors, ReadOnAClosedStreamIsNotOpenAndWriteIsInvalid)
{
    CSerialStream stream;
    uint8_t byte = 0;
    EXPECT_EQ(ErrorCodeOf([&] { stream.Read(&byte, 1, 0); }), SerialStreamError::NotOpen);
    EXPECT_EQ(ErrorCodeOf([&] { stream.Write(&byte, 1); }), SerialStreamError::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { stream.Close(); }), 0);
    EXPECT_FALSE(stream.IsOpen());
}

TEST(SerialStreamErrors, AMissingDeviceIsPortNotFoundAndPrintsNothing)
{
    CSerialStream stream;
    ::testing::internal::CaptureStdout();
    const int32_t code = ErrorCodeOf([&] { stream.Open(LinePeer::MissingPortName()); });
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(code, SerialStreamError::PortNotFound);
    EXPECT_FALSE(stream.IsOpen());
}

TEST(SerialStreamErrors, NegativeLengthsAreRejectedWithoutTouchingThePort)
{
    LinePeer peer;
    CSerialStream stream;
    stream.Open(peer.PortName());
    uint8_t byte = 0;
    EXPECT_EQ(ErrorCodeOf([&] { stream.Read(&byte, -1, 0); }), SerialStreamError::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { stream.Write(&byte, -1); }), SerialStreamError::InvalidArgument);
    EXPECT_EQ(stream.PortCalls().reads, 0);
    EXPECT_EQ(stream.PortCalls().writes, 0);
    EXPECT_TRUE(stream.IsOpen());
}

TEST(SerialStreamErrors, ReopeningDropsBytesBufferedFromThePreviousPort)
{
    LinePeer first;
    LinePeer second;
    CSerialStream stream;
    stream.Open(first.PortName());
    first.Send(BytesOf("stale bytes"));
    first.WaitUntilArrived(11);
    uint8_t byte = 0;
    ASSERT_EQ(stream.Read(&byte, 1, 0), 1); // the rest now waits in the ring buffer

    stream.Open(second.PortName());
    uint8_t received[16];
    EXPECT_EQ(stream.Read(received, sizeof received, 0), 0);
    // The first port was closed: somebody else may open it now.
    CSerialStream other;
    EXPECT_EQ(ErrorCodeOf([&] { other.Open(first.PortName()); }), 0);
}

class SerialLineSettings : public ::testing::Test
{
protected:
    void SetUp() override { stream.Open(peer.PortName()); }

    int64_t PortAccesses() const { return stream.PortCalls().lineSettings; }

    LinePeer peer;
    CSerialStream stream;
};

TEST_F(SerialLineSettings, OutOfRangeFormatsAreRefusedAndChangeNothing)
{
    const int64_t before = PortAccesses();
    EXPECT_EQ(ErrorCodeOf([&] { stream.SetLineFormat(9, 'n', 1); }),
              SerialStreamError::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { stream.SetLineFormat(3, 'n', 1); }),
              SerialStreamError::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { stream.SetLineFormat(8, 'x', 1); }),
              SerialStreamError::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { stream.SetLineFormat(8, '\0', 1); }),
              SerialStreamError::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { stream.SetLineFormat(8, 'n', 0); }),
              SerialStreamError::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { stream.SetLineFormat(8, 'n', 3); }),
              SerialStreamError::InvalidArgument);
    // Still 8-n-1: asking for it again is no change.
    stream.SetLineFormat(8, 'n', 1);
    EXPECT_EQ(PortAccesses(), before);
}

TEST(SerialLineFormat, AcceptsEveryParityLetterInEitherCase)
{
    CSerialStream stream; // closed: the check alone, no port that may lack parity
    for (char letter : {'e', 'M', 's', 'O', 'N', 'E', 'm', 'S', 'o', 'n'})
        EXPECT_EQ(ErrorCodeOf([&] { stream.SetLineFormat(8, letter, 1); }), 0) << letter;
    EXPECT_EQ(stream.PortCalls().lineSettings, 0);
}

TEST_F(SerialLineSettings, RepeatingTheCurrentSettingsDoesNotTouchThePort)
{
    const int64_t before = PortAccesses();
    stream.SetSpeed(9600);
    stream.SetLineFormat(8, 'n', 1);
    EXPECT_EQ(PortAccesses(), before);

    stream.SetLineFormat(8, 'N', 1); // another letter is a change
    stream.SetSpeed(38400);
    stream.SetSpeed(38400);
    EXPECT_EQ(PortAccesses(), before + 2);
}

TEST_F(SerialLineSettings, ANonPositiveSpeedIsRefused)
{
    const int64_t before = PortAccesses();
    EXPECT_EQ(ErrorCodeOf([&] { stream.SetSpeed(0); }), SerialStreamError::InvalidArgument);
    EXPECT_EQ(ErrorCodeOf([&] { stream.SetSpeed(-38400); }), SerialStreamError::InvalidArgument);
    stream.SetSpeed(9600);
    EXPECT_EQ(PortAccesses(), before);
}

TEST(SerialLineSettingsWhileClosed, WaitForTheNextOpen)
{
    LinePeer peer;
    CSerialStream stream;
    stream.SetSpeed(38400);
    stream.SetLineFormat(8, 'o', 2);
    EXPECT_EQ(stream.PortCalls().lineSettings, 0);
    stream.Open(peer.PortName());
    EXPECT_EQ(stream.PortCalls().lineSettings, 1);
}

// A device that answers the probe's first "AT" with `answer`.
class SerialModemProbe : public ::testing::Test
{
protected:
    void AnswerFirstCommandWith(const std::string& answer)
    {
        device = std::thread([this, answer] {
            if (peer.Receive(6, milliseconds(2000)) == BytesOf("\r\nAT\r\n"))
                peer.Send(BytesOf(answer));
        });
    }

    void TearDown() override
    {
        if (device.joinable())
            device.join();
    }

    LinePeer peer;
    CSerialStream stream;
    std::thread device;
};

TEST_F(SerialModemProbe, FindsOkAfterTheEchoedCommand)
{
    stream.Open(peer.PortName());
    AnswerFirstCommandWith("\r\nAT\r\n\r\nOK\r\n");
    EXPECT_TRUE(stream.ProbeModem());
}

TEST_F(SerialModemProbe, IsNotFooledByALoneOAtTheEnd)
{
    stream.Open(peer.PortName());
    AnswerFirstCommandWith("\r\nAT\r\nO");
    EXPECT_FALSE(stream.ProbeModem());
}

TEST_F(SerialModemProbe, SendsThreeCommandsAndGivesUpOnASilentPort)
{
    stream.Open(peer.PortName());
    EXPECT_FALSE(stream.ProbeModem());
    EXPECT_EQ(peer.Receive(18, milliseconds(1000)), BytesOf("\r\nAT\r\n\r\nAT\r\n\r\nAT\r\n"));
}

TEST_F(SerialModemProbe, IgnoresWhatArrivedBeforeTheCommand)
{
    stream.Open(peer.PortName());
    peer.Send(BytesOf("OK from an earlier life"));
    peer.WaitUntilArrived(23);
    EXPECT_FALSE(stream.ProbeModem());
}

} // namespace
