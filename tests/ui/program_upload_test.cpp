// The real program uploads to the real cartridge simulator program, in a
// real (virtual) X window, driven by the keyboard as a user drives it
// (run-upload-under-x.sh). The cartridge appears under a USB serial device
// name the program looks for; what it holds afterwards is compared with the
// file.
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/bitfile.h"
#include "tests/ui/upload_support.h"

using uploadtest::Bytes;

namespace {

// The driver script's own exit code for "cannot run on this machine".
constexpr int kCannotRunHere = 77;
constexpr uint32_t kImageAddress = 0x3C0000;
constexpr uint32_t kImageSize = 0x20000;
constexpr uint32_t kImageDataOffset = 0x380;

struct DriverRun
{
    int exitCode = -1;
    std::string output;
};

bool toolsAvailable()
{
    for (const char* tool : {"Xvfb", "xdotool", "import", "flock"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            return false;
    return true;
}

DriverRun uploadWithTheProgram(const std::string& file, const std::string& dump,
                               const QString& baud, const QString& mode, const std::string& style)
{
    QProcess driver;
    driver.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PLEMO_REPLY_STYLE"), QString::fromStdString(style));
    driver.setProcessEnvironment(environment);
    driver.start(QStringLiteral(PLEMO_RUN_UPLOAD_UNDER_X),
                 {QStringLiteral(PLEMO_UPLOAD_PROGRAM), QStringLiteral(PLEMO_CARTSIM_PROGRAM),
                  QString::fromStdString(file), QString::fromStdString(dump), baud, mode});
    DriverRun run;
    if (!driver.waitForFinished(100000)) {
        // Ended by its own signal handler, so that its cleanup still runs.
        driver.terminate();
        driver.waitForFinished();
        run.output = "the driver script did not finish within 100 s";
        return run;
    }
    run.exitCode = driver.exitStatus() == QProcess::NormalExit ? driver.exitCode() : -1;
    run.output = driver.readAll().toStdString();
    return run;
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t length)
{
    if (from + length > bytes.size())
        return {};
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + length));
}

bool erased(const Bytes& bytes, std::size_t from, std::size_t length)
{
    return slice(bytes, from, length) == Bytes(length, 0xFF);
}

// The real program meets a cartridge whose ignored replies carry a status,
// and one whose every reply length is drawn at random.
class RealProgramUpload : public ::testing::TestWithParam<std::string>
{
protected:
    void SetUp() override
    {
        if (!toolsAvailable())
            GTEST_SKIP() << "Xvfb, xdotool and ImageMagick are needed (tools/install-deps.sh gui)";
        ASSERT_TRUE(dir.isValid());
    }

    // Runs the upload; false when the machine cannot host it (then skipped).
    bool upload(const Bytes& content, const std::string& name, const QString& baud,
                const QString& mode = QStringLiteral("upload"))
    {
        const std::string file = dir.path().toStdString() + "/" + name;
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(content.data()),
                   static_cast<std::streamsize>(content.size()));
        const std::string dumpPath = dir.path().toStdString() + "/flash.bin";
        const DriverRun run = uploadWithTheProgram(file, dumpPath, baud, mode, GetParam());
        if (run.exitCode == kCannotRunHere)
            return false;
        EXPECT_EQ(run.exitCode, 0) << run.output;
        output = run.output;
        flash = readFile(dumpPath);
        return true;
    }

    QTemporaryDir dir;
    Bytes flash;
    std::string output;
};

} // namespace

TEST_P(RealProgramUpload, FirmwareTypedIntoTheFileFieldLandsInTheCartridge)
{
    const Bytes firmware = uploadtest::Pattern(16000, 3);
    if (!upload(firmware, "game.frm", QStringLiteral("38400")))
        GTEST_SKIP() << "needs root and a free /dev/ttyACM name";
    ASSERT_EQ(flash.size(), 4u << 20);
    EXPECT_EQ(slice(flash, 0, firmware.size()), firmware);
    EXPECT_TRUE(erased(flash, firmware.size(), flash.size() - firmware.size()));
}

TEST_P(RealProgramUpload, BitstreamTypedIntoTheFileFieldBecomesTheImage)
{
    bitfile::Fields design;
    design.data = uploadtest::Pattern(5000, 4);
    // A faster line: the whole 128 KiB image crosses it.
    if (!upload(bitfile::File(design), "design.bit", QStringLiteral("460800")))
        GTEST_SKIP() << "needs root and a free /dev/ttyACM name";
    ASSERT_EQ(flash.size(), 4u << 20);
    EXPECT_TRUE(erased(flash, 0, kImageAddress + kImageDataOffset));
    EXPECT_EQ(slice(flash, kImageAddress + kImageDataOffset, design.data.size()),
              uploadtest::BitReversed(design.data));
    EXPECT_EQ(slice(flash, kImageAddress + kImageSize - 88, design.designName.size()),
              design.designName);
    EXPECT_EQ(slice(flash, kImageAddress + kImageSize - 2, 2), (Bytes{0xFE, 0xCA}));
}

// A cartridge that dies as the first block is committed no longer freezes
// the window: a second later "Cancel Upload" is pressed, and the upload
// ends on its error path, the cartridge still told (the script measures the
// click to the cartridge hearing FinishUpload, which comes after the status
// line shows the error; a frozen window took 57 s). The click comes about a
// second into the commit's reply time-out of 10 s, and must end the wait
// well before that time-out could have (a cancel seen only when the wait's
// attempt ends would take some 9 s). How soon it ends it, within half a
// second, is the upload session's test to show, on the simulated clock,
// where no loaded X server stretches the time.
TEST_P(RealProgramUpload, CancelWhileTheCartridgeIsSilentDuringACommitIsTakenAtOnce)
{
    const Bytes firmware = uploadtest::Pattern(16000, 5);
    if (!upload(firmware, "game.frm", QStringLiteral("38400"), QStringLiteral("cancel-when-silent")))
        GTEST_SKIP() << "needs root and a free /dev/ttyACM name";
    const std::string said = "cancel took effect in ";
    const std::size_t at = output.find(said);
    ASSERT_NE(at, std::string::npos) << output;
    const int milliseconds = std::stoi(output.substr(at + said.size()));
    constexpr int kCommitTimeoutMs = 10000;
    EXPECT_LT(milliseconds, kCommitTimeoutMs / 2) << "ended by the click, not by the time-out: "
                                                  << output;
    ASSERT_EQ(flash.size(), 4u << 20);
    EXPECT_TRUE(erased(flash, 0, flash.size())) << "nothing was programmed";
}

INSTANTIATE_TEST_SUITE_P(Styles, RealProgramUpload,
                         ::testing::Values(std::string("status"), std::string("random")),
                         styletest::ParamName);
