// The dialog's upload: what happens between a click on Upload and the
// result on the status line.
//
// The whole upload runs inside uploadFile(), on the one thread the dialog
// has, as the upload session that every front end shares
// (flash/uploadsession.h). The dialog stays responsive because pending
// events are processed between handshake attempts, during every longer wait
// for the cartridge and on every progress report; that is where a click on
// "Cancel Upload", "Exit Program" or the window's close reaches the host.
#include "ui/plemoform.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

#include <string>

#include "flash/flashxferhost.h"
#include "flash/uploadsession.h"
#include "serial/pcserial.h"
#include "serial/serialstreamerror.h"
#include "serial/trace.h"

namespace {

// The texts are the device's and the manual's own: never translated.
constexpr char kMustSelectFileCaption[] = "Must Select File";
constexpr char kMustSelectFileMessage[] = "A file must be selected";
constexpr char kMustSelectPortCaption[] = "Must Select Serial Port";
constexpr char kMustSelectPortMessage[] = "A serial port must be selected";
constexpr char kUnknownKindText[] =
    "File must have .bit or .frm extension. Select Another Port/File.";
constexpr char kCancelButtonText[] = "Cancel Upload";
constexpr char kUploadButtonText[] = "Upload";
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

// What the upload shows in the dialog while it runs, and where the dialog
// stays responsive: pending events are processed between handshakes and
// during every longer wait for the cartridge.
class PlemoForm::DialogFrontEnd : public CUploadSession::IFrontEnd
{
public:
    explicit DialogFrontEnd(PlemoForm& form) : form(form) {}

    void WaitingForDevice() override
    {
        form.DownloadStatusLabel->setText(text(CUploadSession::kWaitingText));
        // Shown at once: the first look at events comes only once the first
        // wait has lasted a while. Painting runs no slot, so nothing can
        // happen in between.
        form.repaint();
    }
    void WhileWaiting() override { QApplication::processEvents(); }
    // Read again: the field may have been edited while the cartridge booted.
    std::string PathToTransfer() override { return form.FilenameEdit->text().toUtf8().toStdString(); }
    void UploadEnded(const CUploadSession::Result& result) override
    {
        // The status line says only how it ended; the trace says why.
        if (result.failure.Failed())
            TraceLog("upload: %s\n", DescribeFailure(result.failure).c_str());
        switch (result.outcome) {
        case CUploadSession::Outcome::Succeeded:
            form.DownloadStatusLabel->setText(text(kSucceededText));
            break;
        case CUploadSession::Outcome::Failed:
            form.DownloadStatusLabel->setText(text(kFailedText));
            break;
        case CUploadSession::Outcome::Cancelled:
            form.DownloadStatusLabel->setText(text(kCancelledText));
            break;
        }
    }

private:
    PlemoForm& form;
};

void PlemoForm::uploadFile()
{
    if (currentHost)
        return;
    if (!choicesAreComplete())
        return;
    const CUploadSession::Kind kind =
        CUploadSession::KindOf(FilenameEdit->text().toUtf8().toStdString());
    if (kind == CUploadSession::Kind::Unknown) {
        DownloadStatusLabel->setText(text(kUnknownKindText));
        return;
    }

    // The adapter lives for this call only; the host is deleted before it,
    // and its destruction closes the port.
    CPCSerial adapter;
    enterUploadingState(adapter);
    if (openPort(adapter)) {
        DialogFrontEnd frontEnd(*this);
        CUploadSession(*currentHost, frontEnd, adapter).Run(kind);
    } else {
        // A port that is taken or gone: nothing was sent. The trace says
        // why; the status line must not go on showing the last upload's
        // success.
        DownloadStatusLabel->setText(text(kFailedText));
    }
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

    currentHost = new CFlashXferHost(&adapter, CUploadSession::kHostAttempts);
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

bool PlemoForm::openPort(CPCSerial& adapter)
{
    try {
        adapter.Open(SerialPortBox->currentText().toStdString(), CUploadSession::kUploadBaud);
        return true;
    } catch (const SerialStreamError& error) {
        TraceLog("upload: cannot open %s (serial error %d, system error %u: %s)\n",
                 SerialPortBox->currentText().toStdString().c_str(), static_cast<int>(error.code),
                 static_cast<unsigned>(error.systemError), error.systemMessage);
        return false;
    } catch (...) {
        return false;
    }
}
