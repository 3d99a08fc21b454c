#ifndef PLEMO_TESTS_UI_UPLOAD_SUPPORT_H
#define PLEMO_TESTS_UI_UPLOAD_SUPPORT_H
// What the upload tests share: a simulated cartridge behind a real
// pseudo-terminal, the real dialog with its port box given that terminal's
// name, files on disk, and ways to act and look from inside a running
// upload (at its progress reports and wherever it processes events).

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/cartridge.h"
#include "tests/support/bitfile.h"
#include "tests/support/pattern.h"
#include "tests/support/replystyles.h"
#include "sim/procedures.h"
#include "sim/ptyserver.h"
#include "tests/ui/dialog_support.h"
#include "ui/plemoform.h"

namespace uploadtest {

using Bytes = std::vector<uint8_t>;

// The dialog's texts, as a user reads them.
inline const QString kWaiting = QStringLiteral("Waiting for Gameboy to Boot...");
inline const QString kWarningRed = QStringLiteral(
    "<font color='red'>PROGRAMMING. DO NOT TURN OFF GAMEBOY OR COMPUTER!!!</font>");
inline const QString kWarningPlain =
    QStringLiteral("PROGRAMMING. DO NOT TURN OFF GAMEBOY OR COMPUTER!!!");
inline const QString kSucceeded = QStringLiteral("Programming Successful. Select Port/File.");
inline const QString kFailed =
    QStringLiteral("<font color='red'>Programming Error.</font> Select Port/File.");
inline const QString kCancelled = QStringLiteral("Programming Cancelled. Select Port/File.");
inline const QString kUpload = QStringLiteral("Upload");
inline const QString kCancelUpload = QStringLiteral("Cancel Upload");

constexpr uint32_t kFinishUploadValue = 0x08020000;
constexpr uint32_t kFirmwareMagic = sim::Cartridge::kMagicMode1;
constexpr uint32_t kBitstreamMagic = sim::Cartridge::kMagicMode2;
// The link's attempts at one handshake: a device that ignores a whole
// handshake ignores this many requests.
constexpr uint32_t kRequestsPerHandshake = 4;
// A device that stays silent for as long as any test waits.
constexpr uint32_t kNeverBoots = 1000000;

// A simulated cartridge on a pseudo-terminal, served at full speed.
class CartridgeOnPty
{
public:
    explicit CartridgeOnPty(uint32_t handshakesBeforeBoot = 0)
        : CartridgeOnPty(sim::ReplyStyle{}, handshakesBeforeBoot)
    {
    }

    // A cartridge that answers in `style`.
    explicit CartridgeOnPty(const sim::ReplyStyle& style, uint32_t handshakesBeforeBoot = 0)
    {
        cartridge.SetReplyStyle(style);
        cartridge.BootAfterHandshakes(handshakesBeforeBoot);
        std::string error;
        started = server.Start(error);
        EXPECT_TRUE(started) << error;
    }

    std::string PortName() const { return server.PortName(); }

    template <class Inspect>
    auto With(Inspect&& inspect)
    {
        return server.WithCartridge(std::forward<Inspect>(inspect));
    }

    // The magic numbers of every handshake request the cartridge heard,
    // answered or not.
    std::vector<uint32_t> HandshakeMagics()
    {
        return With([](sim::Cartridge& c) {
            std::vector<uint32_t> magics;
            for (const sim::ProcedureCall& call : c.CallsOf(sim::Procedure::kHandshake))
                magics.push_back(call.values.empty() ? 0 : call.values.front());
            return magics;
        });
    }

    std::size_t CallCount(uint8_t procedure)
    {
        return With([procedure](sim::Cartridge& c) { return c.CallsOf(procedure).size(); });
    }

    std::vector<uint32_t> FinishValues()
    {
        return With([](sim::Cartridge& c) { return c.FinishValues(); });
    }

    bool FlashHolds(uint32_t address, const Bytes& expected)
    {
        return With([&](sim::Cartridge& c) { return c.Flash().Holds(address, expected); });
    }

    bool FlashErased(uint32_t address, uint32_t length)
    {
        return With([&](sim::Cartridge& c) { return c.Flash().IsErased(address, length); });
    }

    sim::PtyServer& Server() { return server; }
    bool Started() const { return started; }

private:
    static sim::PtyServer::Options FullSpeed()
    {
        sim::PtyServer::Options options;
        options.baud = 0;
        return options;
    }

    sim::Cartridge cartridge;
    sim::PtyServer server{cartridge, FullSpeed()};
    bool started = false;
};

// What the dialog showed at one moment of an upload.
struct Sample
{
    QString status;
    QString button;
    int progress = 0;
    bool uploading = false;
};

// The real dialog, its progress slot watched: after each report (the
// dialog's own slot has run, events included) the test sees what the user
// sees, and may act, e.g. press Cancel at a chosen chunk.
class UploadDialog : public PlemoForm
{
public:
    explicit UploadDialog(const std::vector<std::string>& portNames) : PlemoForm(portNames) {}

    void updateProgressBar(int progress) override
    {
        PlemoForm::updateProgressBar(progress);
        reports.push_back(Now());
        if (afterReport)
            afterReport(static_cast<int>(reports.size()));
    }

    Sample Now() const
    {
        return {DownloadStatusLabel->text(), UploadButton->text(), DownloadProgressBar->value(),
                currentHost != nullptr};
    }

    void Choose(const std::string& path) { FilenameEdit->setText(QString::fromStdString(path)); }

    std::vector<Sample> reports;
    // Called with the report's number, 1 for the first.
    std::function<void(int)> afterReport;
};

// Runs `act` every time the application processes events, until stopped:
// inside an upload that is between handshakes and at every progress report.
class AtEveryEventPoint
{
public:
    explicit AtEveryEventPoint(std::function<void()> act) : action(std::move(act))
    {
        timer.setInterval(0);
        QObject::connect(&timer, &QTimer::timeout, [this] { action(); });
        timer.start();
    }
    void Stop() { timer.stop(); }

private:
    std::function<void()> action;
    QTimer timer;
};

// Answers the next modal warning box with OK, remembering what it said and
// whom it belonged to.
class WarningBoxAnswerer
{
public:
    WarningBoxAnswerer()
    {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this] { AnswerIfShown(); });
        timer.start();
    }

    int boxesAnswered = 0;
    QString caption;
    QString message;
    QWidget* parent = nullptr;
    QMessageBox::Icon icon = QMessageBox::NoIcon;

private:
    void AnswerIfShown()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        ++boxesAnswered;
        caption = box->windowTitle();
        message = box->text();
        parent = box->parentWidget();
        icon = box->icon();
        box->button(QMessageBox::Ok)->click();
    }

    QTimer timer;
};

// Files for one test, removed with it.
class TestFiles
{
public:
    TestFiles() { EXPECT_TRUE(dir.isValid()); }

    // `relativePath` may hold folders; they are made as needed.
    std::string Write(const std::string& relativePath, const Bytes& content)
    {
        const std::string path = dir.path().toStdString() + "/" + relativePath;
        const std::string folder = path.substr(0, path.rfind('/'));
        QDir().mkpath(QString::fromStdString(folder));
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
        return path;
    }

private:
    QTemporaryDir dir;
};

inline void ExpectIdleAndUsable(const UploadDialog& dialog)
{
    EXPECT_EQ(dialog.currentHost, nullptr);
    EXPECT_EQ(dialog.UploadButton->text(), kUpload);
    EXPECT_TRUE(dialog.UploadButton->isEnabled());
}

// Runs the application's event loop with `start` as its first act, as the
// program runs its dialog, and returns the loop's exit code. A loop still
// running after a while ends with 99.
inline int RunEventLoop(const std::function<void()>& start)
{
    QTimer first;
    first.setSingleShot(true);
    QObject::connect(&first, &QTimer::timeout, start);
    first.start(0);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QApplication::exit(99); });
    watchdog.start(20000);
    const int exitCode = QApplication::exec();
    // A closed last window also posts Qt's own quit request; in the program
    // it ends nothing more, here it would end the next test's event loop.
    QCoreApplication::removePostedEvents(qApp, QEvent::Quit);
    return exitCode;
}

using bitfile::BitReversed;
using testdata::Pattern;

} // namespace uploadtest

#endif
