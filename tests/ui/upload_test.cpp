// Uploads from the real dialog to the simulated cartridge over a real
// pseudo-terminal: what lands in the cartridge's flash, what the user sees
// on the way, and how the choices are checked before anything is opened.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/support/bitfile.h"
#include "tests/ui/upload_support.h"

using namespace uploadtest;

namespace {

constexpr uint32_t kImageAddress = 0x3C0000;
constexpr uint32_t kImageSize = 0x20000;
constexpr uint32_t kImageDataOffset = 0x380;
constexpr uint32_t kRecordSize = 88;

bitfile::Fields SmallDesign()
{
    bitfile::Fields fields;
    fields.data = Pattern(300, 7);
    return fields;
}

// The parts of the 128 KiB image a ".bit" upload must leave: erased up to
// the data, the data bit-reversed, erased after it up to the header record,
// the record ending in its marker.
void ExpectBitstreamImage(CartridgeOnPty& cartridge, const bitfile::Fields& fields)
{
    const Bytes data = BitReversed(fields.data);
    const uint32_t dataEnd = kImageDataOffset + static_cast<uint32_t>(data.size());
    const uint32_t recordStart = kImageSize - kRecordSize;
    EXPECT_TRUE(cartridge.FlashErased(kImageAddress, kImageDataOffset));
    EXPECT_TRUE(cartridge.FlashHolds(kImageAddress + kImageDataOffset, data));
    EXPECT_TRUE(cartridge.FlashErased(kImageAddress + dataEnd, recordStart - dataEnd));
    EXPECT_TRUE(cartridge.FlashHolds(kImageAddress + recordStart, fields.designName));
    EXPECT_TRUE(cartridge.FlashHolds(kImageAddress + kImageSize - 2, {0xFE, 0xCA}));
}

void ExpectIdle(const UploadDialog& dialog)
{
    EXPECT_EQ(dialog.currentHost, nullptr);
    EXPECT_EQ(dialog.UploadButton->text(), kUpload);
}

std::vector<uint32_t> Repeated(uint32_t magic, std::size_t count)
{
    return std::vector<uint32_t>(count, magic);
}

// Uploads over a pty run against a few reply styles, each in real time.
class UploadFromTheDialog : public styletest::StyledTest
{
};
class UploadFileKind : public styletest::StyledTest
{
};

} // namespace

// --- Uploads that succeed -----------------------------------------------------

TEST_P(UploadFromTheDialog, FirmwareLandsUnchangedFromAddressZero)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    const Bytes firmware = Pattern(10000);
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("game.frm", firmware));

    dialog.UploadButton->click();

    EXPECT_TRUE(cartridge.FlashHolds(0, firmware));
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kSucceeded);
    EXPECT_EQ(dialog.DownloadProgressBar->value(), 100);
    ExpectIdle(dialog);
    // One bitstream handshake opens every wait; firmware is then announced.
    EXPECT_EQ(cartridge.HandshakeMagics(), (std::vector<uint32_t>{kBitstreamMagic, kFirmwareMagic}));
    EXPECT_EQ(cartridge.FinishValues(), std::vector<uint32_t>{kFinishUploadValue});
}

TEST_P(UploadFromTheDialog, BitstreamBecomesTheImageAtItsFlashAddress)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    const bitfile::Fields design = SmallDesign();
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("design.bit", bitfile::File(design)));

    dialog.UploadButton->click();

    ExpectBitstreamImage(cartridge, design);
    EXPECT_TRUE(cartridge.FlashErased(0, kImageAddress));
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kSucceeded);
    EXPECT_EQ(dialog.DownloadProgressBar->value(), 100);
    ExpectIdle(dialog);
    EXPECT_EQ(cartridge.HandshakeMagics(), std::vector<uint32_t>{kBitstreamMagic});
    EXPECT_EQ(cartridge.FinishValues(), std::vector<uint32_t>{kFinishUploadValue});
}

TEST_P(UploadFromTheDialog, WarningFlashesRedThenPlainWithEveryChunk)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("game.frm", Pattern(9000)));

    dialog.UploadButton->click();

    ASSERT_EQ(dialog.reports.size(), 5u) << "9,000 bytes go out in 2,048-byte chunks";
    for (std::size_t i = 0; i < dialog.reports.size(); ++i) {
        const Sample& report = dialog.reports[i];
        EXPECT_EQ(report.status, i % 2 == 0 ? kWarningRed : kWarningPlain) << "chunk " << i;
        EXPECT_EQ(report.button, kCancelUpload);
        EXPECT_TRUE(report.uploading);
        if (i > 0) {
            EXPECT_GT(report.progress, dialog.reports[i - 1].progress);
        }
    }
    EXPECT_EQ(dialog.reports.back().progress, 100);
}

TEST_P(UploadFromTheDialog, BitstreamProgressRunsToOneHundredAsTheWarningFlashes)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("design.bit", bitfile::File(SmallDesign())));

    dialog.UploadButton->click();

    ASSERT_EQ(dialog.reports.size(), kImageSize / 2048);
    EXPECT_EQ(dialog.reports.front().status, kWarningRed);
    EXPECT_EQ(dialog.reports[1].status, kWarningPlain);
    EXPECT_LE(dialog.reports.front().progress, 2);
    EXPECT_EQ(dialog.reports.back().progress, 100);
    EXPECT_EQ(dialog.DownloadProgressBar->value(), 100);
}

// The dialog's states as the user meets them, looked at wherever the upload
// lets the dialog breathe: waiting for a cartridge still booting, then
// programming, then back to idle with the result.
TEST_P(UploadFromTheDialog, DialogGoesFromWaitingThroughProgrammingBackToIdle)
{
    CartridgeOnPty cartridge(Style(), kRequestsPerHandshake);
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("design.bit", bitfile::File(SmallDesign())));
    std::vector<Sample> seen;
    AtEveryEventPoint watch([&] { seen.push_back(dialog.Now()); });

    dialog.UploadButton->click();
    watch.Stop();

    ASSERT_FALSE(seen.empty());
    const Sample& waiting = seen.front();
    EXPECT_EQ(waiting.status, kWaiting);
    EXPECT_EQ(waiting.button, kCancelUpload);
    EXPECT_TRUE(waiting.uploading);
    // Then programming, then (while the cartridge is told, on a slow
    // machine) the result: never back.
    const auto programming = [](const Sample& s) {
        return s.status == kWarningRed || s.status == kWarningPlain;
    };
    const auto firstProgramming = std::find_if(seen.begin(), seen.end(), programming);
    ASSERT_NE(firstProgramming, seen.end()) << "a look during programming";
    EXPECT_TRUE(std::all_of(seen.begin(), firstProgramming,
                            [](const Sample& s) { return s.status == kWaiting; }));
    const auto afterProgramming = std::find_if_not(firstProgramming, seen.end(), programming);
    EXPECT_TRUE(std::all_of(afterProgramming, seen.end(),
                            [](const Sample& s) { return s.status == kSucceeded; }));
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](const Sample& s) { return s.uploading; }));
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kSucceeded);
    ExpectIdle(dialog);
    EXPECT_EQ(cartridge.HandshakeMagics(),
              Repeated(kBitstreamMagic, kRequestsPerHandshake + 1));
}

namespace {

// The texts the status line had whenever it was painted on screen.
class PaintedTexts : public QObject
{
public:
    explicit PaintedTexts(QLabel* label) : label(label) { label->installEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == label && event->type() == QEvent::Paint)
            texts.push_back(label->text());
        return false;
    }
    std::vector<QString> texts;

private:
    QLabel* label;
};

} // namespace

// A cartridge that answers at once leaves the upload no moment to look at
// events before programming; the user still sees that it waited.
TEST_P(UploadFromTheDialog, WaitingIsOnScreenAsSoonAsThePortIsOpen)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("game.frm", Pattern(100)));
    showAndActivate(dialog);
    PaintedTexts painted(dialog.DownloadStatusLabel);

    dialog.UploadButton->click();

    ASSERT_FALSE(painted.texts.empty());
    EXPECT_EQ(painted.texts.front(), kWaiting);
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kSucceeded);
}

// The host opens the path as UTF-8: names in any script are found.
TEST_P(UploadFromTheDialog, FileNamedInAnotherScriptIsFound)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    const Bytes firmware = Pattern(3000, 5);
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("固件 Łódź.frm", firmware));

    dialog.UploadButton->click();

    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kSucceeded);
    EXPECT_TRUE(cartridge.FlashHolds(0, firmware));
}

TEST_P(UploadFromTheDialog, UploadWorksAgainAfterASuccess)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    const Bytes first = Pattern(5000, 1);
    const Bytes second = Pattern(5000, 2);
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("first.frm", first));
    dialog.UploadButton->click();
    ASSERT_EQ(dialog.DownloadStatusLabel->text(), kSucceeded);

    dialog.Choose(files.Write("second.frm", second));
    dialog.UploadButton->click();

    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kSucceeded);
    EXPECT_TRUE(cartridge.FlashHolds(0, second));
    EXPECT_EQ(cartridge.FinishValues().size(), 2u);
}

// --- The kind of file -----------------------------------------------------------

TEST_P(UploadFileKind, DotBitInAFolderNameMakesABitstream)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    const bitfile::Fields design = SmallDesign();
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("builds.bit/latest.frm", bitfile::File(design)));

    dialog.UploadButton->click();

    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kSucceeded);
    ExpectBitstreamImage(cartridge, design);
    EXPECT_TRUE(cartridge.FlashErased(0, kImageAddress));
    EXPECT_EQ(cartridge.HandshakeMagics(), std::vector<uint32_t>{kBitstreamMagic});
}

TEST_P(UploadFileKind, CapitalExtensionIsRejectedWithoutTouchingThePort)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("GAME.FRM", Pattern(100)));
    const uint64_t opensBefore = cartridge.Server().GetStats().hostOpens;
    WarningBoxAnswerer boxes;

    dialog.UploadButton->click();

    EXPECT_EQ(dialog.DownloadStatusLabel->text(),
              QStringLiteral("File must have .bit or .frm extension. Select Another Port/File."));
    EXPECT_EQ(boxes.boxesAnswered, 0);
    EXPECT_EQ(cartridge.Server().GetStats().hostOpens, opensBefore);
    ExpectIdle(dialog);
}

TEST_P(UploadFileKind, OtherExtensionIsRejectedOnTheStatusLine)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("game.bin", Pattern(100)));

    dialog.UploadButton->click();

    EXPECT_EQ(dialog.DownloadStatusLabel->text(),
              QStringLiteral("File must have .bit or .frm extension. Select Another Port/File."));
    EXPECT_TRUE(cartridge.HandshakeMagics().empty());
}

// The kind is decided when Upload is pressed; a path edited while the
// cartridge boots into a file of the other kind must not be written where
// the first kind belongs (a bitstream over the firmware).
TEST_P(UploadFileKind, PathEditedToTheOtherKindWhileWaitingIsNotWritten)
{
    CartridgeOnPty cartridge(Style(), 2 * kRequestsPerHandshake);
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("game.frm", Pattern(4000)));
    const std::string bitstream = files.Write("design.bit", bitfile::File(SmallDesign()));
    bool edited = false;
    AtEveryEventPoint editOnce([&] {
        if (!edited && dialog.DownloadStatusLabel->text() == kWaiting) {
            dialog.Choose(bitstream);
            edited = true;
        }
    });

    dialog.UploadButton->click();
    editOnce.Stop();

    ASSERT_TRUE(edited);
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kFailed);
    EXPECT_EQ(cartridge.CallCount(sim::Procedure::kLoadBuffer), 0u);
    EXPECT_TRUE(cartridge.FlashErased(0, 0x400000));
    EXPECT_EQ(cartridge.FinishValues(), std::vector<uint32_t>{kFinishUploadValue});
    ExpectIdle(dialog);
}

TEST_P(UploadFileKind, MissingFileEndsOnTheErrorPath)
{
    CartridgeOnPty cartridge(Style());
    TestFiles files;
    UploadDialog dialog({cartridge.PortName()});
    dialog.Choose(files.Write("there.frm", {}) + ".gone.frm");

    dialog.UploadButton->click();

    EXPECT_EQ(dialog.DownloadStatusLabel->text(), kFailed);
    EXPECT_EQ(cartridge.FinishValues(), std::vector<uint32_t>{kFinishUploadValue});
    ExpectIdle(dialog);
}

// --- Choices missing ------------------------------------------------------------

TEST(UploadChoices, NoFileAsksForOneBeforeAnythingElse)
{
    UploadDialog dialog(std::vector<std::string>{});
    WarningBoxAnswerer boxes;

    dialog.UploadButton->click();

    EXPECT_EQ(boxes.boxesAnswered, 1) << "with no port either, only the file is asked for";
    EXPECT_EQ(boxes.caption, QStringLiteral("Must Select File"));
    EXPECT_EQ(boxes.message, QStringLiteral("A file must be selected"));
    EXPECT_EQ(boxes.parent, &dialog);
    EXPECT_EQ(boxes.icon, QMessageBox::Warning);
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), QStringLiteral("Select Port/File"));
    ExpectIdle(dialog);
}

TEST(UploadChoices, NoPortAsksForOne)
{
    TestFiles files;
    UploadDialog dialog(std::vector<std::string>{});
    dialog.Choose(files.Write("game.frm", Pattern(100)));
    WarningBoxAnswerer boxes;

    dialog.UploadButton->click();

    EXPECT_EQ(boxes.boxesAnswered, 1);
    EXPECT_EQ(boxes.caption, QStringLiteral("Must Select Serial Port"));
    EXPECT_EQ(boxes.message, QStringLiteral("A serial port must be selected"));
    EXPECT_EQ(boxes.parent, &dialog);
    EXPECT_EQ(dialog.DownloadStatusLabel->text(), QStringLiteral("Select Port/File"));
    ExpectIdle(dialog);
}

PLEMO_FOR_PTY_REPLY_STYLES(UploadFromTheDialog);
PLEMO_FOR_PTY_REPLY_STYLES(UploadFileKind);
