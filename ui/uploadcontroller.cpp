// The dialog's upload: what happens between a click on Upload and the
// result on the status line.
//
// The whole upload runs inside uploadFile(), on the one thread the dialog
// has. The dialog stays responsive because pending events are processed
// between handshake attempts and on every progress report; that is where a
// click on "Cancel Upload", "Exit Program" or the window's close reaches
// the host.
#include "ui/plemoform.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <cstdint>
#include <cstdio>
#include <exception>

#include "flash/flashxferhost.h"
#include "serial/pcserial.h"
#include "serial/serialstreamerror.h"

namespace {

constexpr int32_t kUploadBaud = 38400;
// The dialog's host makes one attempt per procedure sequence; the link
// underneath still repeats damaged or late exchanges on its own.
constexpr int kHostAttempts = 1;
// Short while waiting, so that a cancel is seen soon after it is pressed.
constexpr uint16_t kBootWaitTimeoutMs = 200;
constexpr uint16_t kUploadTimeoutMs = 1000;
constexpr uint32_t kFirmwareStartAddress = 0;
constexpr bool kEraseBeforeProgramming = true;
// Tells the device that the upload is over, whatever its result.
constexpr uint32_t kFinishUploadValue = 0x08020000;

// The texts are the device's and the manual's own: never translated.
constexpr char kMustSelectFileCaption[] = "Must Select File";
constexpr char kMustSelectFileMessage[] = "A file must be selected";
constexpr char kMustSelectPortCaption[] = "Must Select Serial Port";
constexpr char kMustSelectPortMessage[] = "A serial port must be selected";
constexpr char kUnknownKindText[] =
    "File must have .bit or .frm extension. Select Another Port/File.";
constexpr char kCancelButtonText[] = "Cancel Upload";
constexpr char kUploadButtonText[] = "Upload";
constexpr char kWaitingText[] = "Waiting for Gameboy to Boot...";
constexpr char kWarningRedText[] =
    "<font color='red'>PROGRAMMING. DO NOT TURN OFF GAMEBOY OR COMPUTER!!!</font>";
constexpr char kWarningPlainText[] = "PROGRAMMING. DO NOT TURN OFF GAMEBOY OR COMPUTER!!!";
constexpr char kSucceededText[] = "Programming Successful. Select Port/File.";
constexpr char kFailedText[] = "<font color='red'>Programming Error.</font> Select Port/File.";
constexpr char kCancelledText[] = "Programming Cancelled. Select Port/File.";

QString text(const char* latin1)
{
    return QString::fromLatin1(latin1);
}

} // namespace

void PlemoForm::uploadFile()
{
    if (currentHost)
        return;
    if (!choicesAreComplete())
        return;
    const UploadKind kind = uploadKindOf(FilenameEdit->text());
    if (kind == UploadKind::Unknown) {
        DownloadStatusLabel->setText(text(kUnknownKindText));
        return;
    }

    // The adapter lives for this call only; the host is deleted before it,
    // and its destruction closes the port.
    CPCSerial adapter;
    enterUploadingState(adapter);
    if (!openPort(adapter)) {
        // Nothing was processed in between: the dialog looks as before.
        leaveUploadingState();
        return;
    }
    const UploadOutcome outcome = runUploadGuarded(kind);
    showOutcome(outcome);
    if (outcome != UploadOutcome::Cancelled)
        tellDeviceUploadEnded();
    leaveUploadingState();
}

void PlemoForm::updateProgressBar(int progress)
{
    // Each report flips the warning between red and plain, so it flashes at
    // the pace of the chunks; the first one after the wait is red.
    const bool redShown = DownloadStatusLabel->text().startsWith(QLatin1Char('<'));
    DownloadStatusLabel->setText(text(redShown ? kWarningPlainText : kWarningRedText));
    DownloadProgressBar->setValue(progress);
    QApplication::processEvents();
}

// Only asks: the running uploadFile() sees the request through the host's
// results and ends itself.
void PlemoForm::cancelDownload()
{
    if (currentHost)
        currentHost->Cancel();
}

PlemoForm::~PlemoForm()
{
    delete currentHost;
}

// The kind is told by the name alone, anywhere in the path and in this
// order, as the files have always been told apart.
PlemoForm::UploadKind PlemoForm::uploadKindOf(const QString& path)
{
    if (path.contains(QLatin1String(".bit"), Qt::CaseSensitive))
        return UploadKind::Bitstream;
    if (path.contains(QLatin1String(".frm"), Qt::CaseSensitive))
        return UploadKind::Firmware;
    return UploadKind::Unknown;
}

// A missing file is reported before a missing port, one box at a time.
bool PlemoForm::choicesAreComplete()
{
    if (FilenameEdit->text().isEmpty()) {
        QMessageBox::warning(this, text(kMustSelectFileCaption), text(kMustSelectFileMessage));
        return false;
    }
    if (SerialPortBox->currentText().isEmpty()) {
        QMessageBox::warning(this, text(kMustSelectPortCaption), text(kMustSelectPortMessage));
        return false;
    }
    return true;
}

// From here on the button cancels, and a click can only reach the host.
void PlemoForm::enterUploadingState(CPCSerial& adapter)
{
    disconnect(UploadButton, &QPushButton::clicked, this, &PlemoForm::uploadFile);
    connect(UploadButton, &QPushButton::clicked, this, &PlemoForm::cancelDownload);
    UploadButton->setText(text(kCancelButtonText));

    currentHost = new CFlashXferHost(&adapter, kHostAttempts);
    connect(currentHost, &CFlashXferHost::UpdateProgressBar, this, &PlemoForm::updateProgressBar);
}

void PlemoForm::leaveUploadingState()
{
    disconnect(currentHost, &CFlashXferHost::UpdateProgressBar, this,
               &PlemoForm::updateProgressBar);
    delete currentHost;
    currentHost = nullptr;

    disconnect(UploadButton, &QPushButton::clicked, this, &PlemoForm::cancelDownload);
    connect(UploadButton, &QPushButton::clicked, this, &PlemoForm::uploadFile);
    UploadButton->setText(text(kUploadButtonText));
}

// A port that cannot be opened ends the upload quietly: the serial layer
// has already said why on the standard output.
bool PlemoForm::openPort(CPCSerial& adapter)
{
    try {
        adapter.Open(SerialPortBox->currentText().toStdString(), kUploadBaud);
        return true;
    } catch (...) {
        return false;
    }
}

// Once the port is open, a line that fails (the cable pulled out during the
// wait or the transfer) ends the upload as a failed one instead of leaving
// the dialog stuck in its uploading state.
PlemoForm::UploadOutcome PlemoForm::runUploadGuarded(UploadKind kind)
{
    try {
        return runUpload(kind);
    } catch (const SerialStreamError&) {
        return UploadOutcome::Failed;
    } catch (const std::exception&) {
        return UploadOutcome::Failed;
    }
}

PlemoForm::UploadOutcome PlemoForm::runUpload(UploadKind kind)
{
    DownloadStatusLabel->setText(text(kWaitingText));
    // Shown at once: the first look at events comes only after the first
    // unanswered handshake (two for firmware), up to 1.6 s away. Painting
    // runs no slot, so nothing can happen in between.
    repaint();
    std::fflush(stdout);
    currentHost->SetTimeout(kBootWaitTimeoutMs);
    if (!waitForDevice(kind))
        return UploadOutcome::Cancelled;

    currentHost->SetTimeout(kUploadTimeoutMs);
    std::fflush(stdout);
    return transferFile(kind) < 0 ? UploadOutcome::Failed : UploadOutcome::Succeeded;
}

// Waits, without a limit of its own, until the device answers (true) or a
// cancel is seen (false). The opening handshake announces a bitstream for
// both kinds; a device that is still booting ignores it.
bool PlemoForm::waitForDevice(UploadKind kind)
{
    const int rc = currentHost->Handshake(CFlashXferHost::kBitstreamMode);
    return kind == UploadKind::Bitstream ? waitForBitstreamDevice(rc) : waitForFirmwareDevice(rc);
}

bool PlemoForm::waitForBitstreamDevice(int rc)
{
    while (rc < 0) {
        QApplication::processEvents();
        if (rc == CFlashXferHost::kCancelled)
            return false;
        rc = currentHost->Handshake(CFlashXferHost::kBitstreamMode);
    }
    return true;
}

// Two firmware handshakes per cycle. A cancel pressed while events are
// processed is consumed by the second one, whose result the next cycle
// tests, so a cancel is never lost between the two.
bool PlemoForm::waitForFirmwareDevice(int rc)
{
    for (;;) {
        if (currentHost->Handshake(CFlashXferHost::kFirmwareMode) >= 0)
            return true;
        QApplication::processEvents();
        if (rc == CFlashXferHost::kCancelled)
            return false;
        rc = currentHost->Handshake(CFlashXferHost::kFirmwareMode);
    }
}

// The path is read again: it may have been edited while the device booted.
// The host opens it from UTF-8, so that a name in any script is found. An
// edit that turned it into a file of the other kind is refused before
// anything is written: a bitstream must never land where the firmware
// lives, nor firmware in the bitstream's image.
int PlemoForm::transferFile(UploadKind kind)
{
    const QString path = FilenameEdit->text();
    if (uploadKindOf(path) != kind)
        return -1;
    const QByteArray utf8Path = path.toUtf8();
    if (kind == UploadKind::Bitstream)
        return currentHost->UploadBitstream(utf8Path.constData());
    return currentHost->UploadFirmware(kFirmwareStartAddress, utf8Path.constData(),
                                       kEraseBeforeProgramming);
}

void PlemoForm::showOutcome(UploadOutcome outcome)
{
    switch (outcome) {
    case UploadOutcome::Succeeded:
        DownloadStatusLabel->setText(text(kSucceededText));
        break;
    case UploadOutcome::Failed:
        DownloadStatusLabel->setText(text(kFailedText));
        break;
    case UploadOutcome::Cancelled:
        DownloadStatusLabel->setText(text(kCancelledText));
        break;
    }
}

// Sent after a success and after a failure alike; its result tells nothing
// the status line does not already say. When the line is gone there is
// nobody to tell.
void PlemoForm::tellDeviceUploadEnded()
{
    std::fflush(stdout);
    try {
        currentHost->FinishUpload(kFinishUploadValue);
    } catch (const SerialStreamError&) {
    }
    std::fflush(stdout);
}
