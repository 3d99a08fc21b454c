// Ending an upload before its end: "Cancel Upload" while the cartridge does
// not answer and while it is being programmed, "Exit Program" and a window
// close during both, a cable pulled out, a port that will not open. Every
// way ends with the dialog idle and usable, and the program quits only once
// the upload has returned.
#include <gtest/gtest.h>

#include "tests/ui/upload_support.h"

using namespace uploadtest;
namespace Procedure = sim::Procedure;

namespace {

// Firmware large enough for many chunks, so that a stop in the middle shows.
constexpr std::size_t kFirmwareSize = 40000;
constexpr std::size_t kChunksOfFirmware = (kFirmwareSize + 2047) / 2048;

// Clicks `button` the first time events are processed inside the upload.
class ClickAtFirstEventPoint
{
public:
    ClickAtFirstEventPoint(const UploadDialog& dialog, QPushButton* button)
        : watch([this, &dialog, button] {
              if (clicks == 0 && dialog.currentHost != nullptr) {
                  ++clicks;
                  button->click();
              }
          })
    {
    }
    int clicks = 0;

private:
    AtEveryEventPoint watch;
};

class CancelUpload : public styletest::StyledTest
{
};
class ExitDuringUpload : public styletest::StyledTest
{
};
class LineFails : public styletest::StyledTest
{
};

} // namespace

// --- Cancel while the cartridge does not answer --------------------------------
// (It never answers: its reply style plays no part.)

// The click comes while a handshake waits for its answer: that handshake's
// request, already sent, is the last one the cartridge hears.
TEST(CancelWhileWaiting, ForABitstreamEndsCancelledWithoutFinishing)
{
    CartridgeOnPty cartridge(kNeverBoots);
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("design.bit", Pattern(1000)));
    std::size_t heardAtClick = 0;
    // Once a whole handshake has gone unanswered.
    AtEveryEventPoint cancelOnce([&] {
        const std::size_t heard = cartridge.HandshakeMagics().size();
        if (heardAtClick == 0 && heard >= kRequestsPerHandshake) {
            heardAtClick = heard;
            dialog.UploadButton->click();
        }
    });

    dialog.UploadButton->click();
    cancelOnce.Stop();

    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kCancelled);
    ExpectIdleAndUsable(dialog);
    EXPECT_EQ(cartridge.CallCount(Procedure::kFinishUpload), 0u) << "not even unanswered";
    const std::vector<uint32_t> magics = cartridge.HandshakeMagics();
    EXPECT_LE(magics.size(), heardAtClick + 1) << "no request after the one the click cut";
    EXPECT_EQ(magics, std::vector<uint32_t>(magics.size(), kBitstreamMagic));
}

TEST(CancelWhileWaiting, ForFirmwareEndsCancelledAfterTheBitstreamHandshake)
{
    CartridgeOnPty cartridge(kNeverBoots);
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("game.frm", Pattern(1000)));
    const std::size_t h = kRequestsPerHandshake;
    std::size_t heardAtClick = 0;
    // Once the opening bitstream handshake and a firmware one have gone
    // unanswered.
    AtEveryEventPoint cancelOnce([&] {
        const std::size_t heard = cartridge.HandshakeMagics().size();
        if (heardAtClick == 0 && heard >= 2 * h) {
            heardAtClick = heard;
            dialog.UploadButton->click();
        }
    });

    dialog.UploadButton->click();
    cancelOnce.Stop();

    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kCancelled);
    ExpectIdleAndUsable(dialog);
    EXPECT_EQ(cartridge.CallCount(Procedure::kFinishUpload), 0u) << "not even unanswered";
    const std::vector<uint32_t> magics = cartridge.HandshakeMagics();
    EXPECT_LE(magics.size(), heardAtClick + 1) << "no request after the one the click cut";
    ASSERT_GE(magics.size(), 2 * h);
    std::vector<uint32_t> expected(h, kBitstreamMagic);
    expected.insert(expected.end(), magics.size() - h, kFirmwareMagic);
    EXPECT_EQ(magics, expected) << "one bitstream handshake, then firmware ones";
}

// --- Cancel while the cartridge is programmed -----------------------------------

TEST_P(CancelUpload, DuringProgrammingIsAnErrorAndTheCartridgeIsStillTold)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("game.frm", Pattern(kFirmwareSize)));
    dialog.afterReport = [&](int report) {
        if (report == 2)
            dialog.UploadButton->click();
    };

    dialog.UploadButton->click();

    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kFailed);
    EXPECT_EQ(dialog.reports.size(), 2u) << "no chunk goes out after the cancel";
    EXPECT_EQ(cartridge.CallCount(Procedure::kProgramRange), 0u);
    EXPECT_EQ(cartridge.FinishValues(), std::vector<uint32_t>{kFinishUploadValue});
    ExpectIdleAndUsable(dialog);
}

// A second click on Upload cannot start a second upload inside the first:
// the button cancels while an upload runs.
TEST_P(CancelUpload, ButtonPressedTwiceDuringProgrammingCancelsOnlyOnce)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("game.frm", Pattern(kFirmwareSize)));
    dialog.afterReport = [&](int report) {
        if (report == 1) {
            dialog.UploadButton->click();
            dialog.UploadButton->click();
        }
    };

    dialog.UploadButton->click();

    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kFailed);
    EXPECT_EQ(cartridge.HandshakeMagics().size(), 2u) << "one upload's handshakes only";
    EXPECT_EQ(cartridge.FinishValues().size(), 1u);
}

// --- Exit and close during an upload -------------------------------------------

TEST_P(ExitDuringUpload, WhileWaitingCancelsAndQuitsOnceTheUploadReturned)
{
    CartridgeOnPty cartridge(Style(), kNeverBoots);
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("design.bit", Pattern(1000)));
    ClickAtFirstEventPoint exitProgram(dialog, dialog.QuitButton);
    bool uploadReturned = false;

    const int exitCode = RunEventLoop([&] {
        dialog.UploadButton->click();
        uploadReturned = true;
    });

    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(uploadReturned);
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kCancelled);
    EXPECT_EQ(cartridge.CallCount(Procedure::kFinishUpload), 0u) << "not even unanswered";
    ExpectIdleAndUsable(dialog);
}

TEST_P(ExitDuringUpload, WhileProgrammingEndsOnTheErrorPathThenQuits)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("game.frm", Pattern(kFirmwareSize)));
    dialog.afterReport = [&](int report) {
        if (report == 2)
            dialog.QuitButton->click();
    };
    bool uploadReturned = false;

    const int exitCode = RunEventLoop([&] {
        dialog.UploadButton->click();
        uploadReturned = true;
    });

    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(uploadReturned);
    EXPECT_EQ(dialog.reports.size(), 2u);
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kFailed);
    EXPECT_EQ(cartridge.FinishValues(), std::vector<uint32_t>{kFinishUploadValue});
    ExpectIdleAndUsable(dialog);
}

// The program ties its end to the last window closing, as main() does.
TEST_P(ExitDuringUpload, ClosingTheWindowWhileProgrammingStopsTheUploadThenQuits)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("game.frm", Pattern(kFirmwareSize)));
    const QMetaObject::Connection quitOnClose =
        QObject::connect(qApp, &QGuiApplication::lastWindowClosed, qApp, &QCoreApplication::quit);
    showAndActivate(dialog);
    dialog.afterReport = [&](int report) {
        if (report == 2)
            dialog.close();
    };
    bool uploadReturned = false;

    const int exitCode = RunEventLoop([&] {
        dialog.UploadButton->click();
        uploadReturned = true;
    });
    QObject::disconnect(quitOnClose);

    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(uploadReturned);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_LT(dialog.reports.size(), kChunksOfFirmware);
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kFailed);
    EXPECT_EQ(cartridge.FinishValues(), std::vector<uint32_t>{kFinishUploadValue});
}

// --- The line fails --------------------------------------------------------------

// The user plugs the cartridge in again, where it gets a new port, and
// uploads once more from the same dialog.
TEST_P(LineFails, CablePulledWhileProgrammingEndsOnTheErrorPathAndUploadWorksAgain)
{
    CartridgeOnPty pulled(Style());
    CartridgeOnPty pluggedAgain(Style());
    TestFiles files;
    const Bytes firmware = Pattern(kFirmwareSize);
    UploadDialog dialog({pulled.PortName(), pluggedAgain.PortName()});
    ASSERT_EQ(dialog.SerialPortBox->count(), 2);
    dialog.Choose(files.Write("game.frm", firmware));
    dialog.afterReport = [&](int report) {
        if (report == 3)
            pulled.Server().PullCable();
    };

    dialog.UploadButton->click();

    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kFailed);
    EXPECT_LT(dialog.reports.size(), kChunksOfFirmware);
    ExpectIdleAndUsable(dialog);

    dialog.afterReport = nullptr;
    dialog.SerialPortBox->setCurrentIndex(1);
    dialog.UploadButton->click();

    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kSucceeded);
    EXPECT_TRUE(pluggedAgain.FlashHolds(0, firmware));
    ExpectIdleAndUsable(dialog);
}

TEST_P(LineFails, CablePulledWhileWaitingEndsOnTheErrorPath)
{
    CartridgeOnPty cartridge(Style(), kNeverBoots);
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("game.frm", Pattern(1000)));
    bool pulled = false;
    AtEveryEventPoint pullOnce([&] {
        if (!pulled) {
            pulled = true;
            cartridge.Server().PullCable();
        }
    });

    dialog.UploadButton->click();
    pullOnce.Stop();

    EXPECT_TRUE(pulled);
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kFailed);
    ExpectIdleAndUsable(dialog);
}

// Nothing was processed in between, so the user sees nothing change.
TEST_P(LineFails, PortThatCannotBeOpenedIsAnErrorAndLeavesTheDialogUsable)
{
    auto gone = std::make_unique<CartridgeOnPty>(Style());
    TestFiles files;
    UploadDialog dialog({gone->PortName()});
    ASSERT_EQ(dialog.SerialPortBox->count(), 1);
    gone.reset();
    dialog.Choose(files.Write("game.frm", Pattern(1000)));

    dialog.UploadButton->click();

    // Said in the window, where a user looks (a windowed program on Windows
    // has no console for the serial layer's own line).
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kFailed);
    ExpectIdleAndUsable(dialog);
    // The button starts uploads again: with no file it asks for one.
    dialog.Choose("");
    WarningBoxAnswerer boxes;
    dialog.UploadButton->click();
    EXPECT_EQ(boxes.boxesAnswered, 1);
    EXPECT_EQ(boxes.caption, QStringLiteral("Must Select File"));
}

PLEMO_FOR_PTY_REPLY_STYLES(CancelUpload);
PLEMO_FOR_PTY_REPLY_STYLES(ExitDuringUpload);
PLEMO_FOR_PTY_REPLY_STYLES(LineFails);
