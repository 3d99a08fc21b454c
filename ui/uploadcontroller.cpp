// The dialog's upload: what happens between a click on Upload and the
// result on the status line.
//
// The whole upload runs inside uploadFile(), on the one thread the dialog
// has, as the upload session that every front end shares
// (flash/uploadsession.h): it owns the port and the host, and brings the
// progress; the dialog shows. The dialog stays responsive because pending
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
// stays responsive: pending events are processed between handshakes, during
// every longer wait for the cartridge and on every progress report.
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
    void Progress(int percent, int64_t, int64_t) override { form.updateProgressBar(percent); }
    void UploadEnded(const CUploadSession::Result& result) override
    {
        form.DownloadStatusLabel->setText(text(StatusText(result.outcome)));
    }

private:
    // A cancel during the transfer leaves an incomplete upload: an error. A
    // port that is taken or gone must not leave the last upload's success
    // on the status line.
    static const char* StatusText(CUploadSession::Outcome outcome)
    {
        switch (outcome) {
        case CUploadSession::Outcome::Succeeded:
            return kSucceededText;
        case CUploadSession::Outcome::CancelledWaiting:
            return kCancelledText;
        case CUploadSession::Outcome::Failed:
        case CUploadSession::Outcome::PortUnavailable:
        case CUploadSession::Outcome::CancelledTransfer:
            break;
        }
        return kFailedText;
    }

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

    // The session owns the port and the host for this call; its end closes
    // the port.
    DialogFrontEnd frontEnd(*this);
    CUploadSession session(frontEnd);
    enterUploadingState(session.Host());
    session.Run(SerialPortBox->currentText().toStdString(), kind);
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
void PlemoForm::enterUploadingState(CFlashXferHost& host)
{
    disconnect(UploadButton, &QPushButton::clicked, this, &PlemoForm::uploadFile);
    connect(UploadButton, &QPushButton::clicked, this, &PlemoForm::cancelDownload);
    UploadButton->setText(text(kCancelButtonText));
    currentHost = &host;
}

void PlemoForm::leaveUploadingState()
{
    currentHost = nullptr;
    disconnect(UploadButton, &QPushButton::clicked, this, &PlemoForm::cancelDownload);
    connect(UploadButton, &QPushButton::clicked, this, &PlemoForm::uploadFile);
    UploadButton->setText(text(kUploadButtonText));
}
