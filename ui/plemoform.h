#ifndef PLEMO_UI_PLEMOFORM_H
#define PLEMO_UI_PLEMOFORM_H

#include <QDialog>

#include <string>
#include <vector>

class QComboBox;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpacerItem;

class CFlashXferHost;

// The utility's one window: the user picks a serial port and a file, starts
// or cancels an upload, follows it on the status line and the progress bar,
// and quits. The upload itself (uploadFile, updateProgressBar,
// cancelDownload) lives in uploadcontroller.cpp.
class PlemoForm : public QDialog
{
    Q_OBJECT

public:
    // The program's dialog: the port box offers the machine's own serial ports.
    explicit PlemoForm(QWidget* parent = nullptr, const char* name = nullptr, bool modal = false,
                       Qt::WindowFlags fl = {});
    // The same dialog, but the port box is filled by trying exactly these
    // device names, so that a test never touches the machine's real ports.
    PlemoForm(const std::vector<std::string>& candidatePortNames, QWidget* parent = nullptr,
              const char* name = nullptr, bool modal = false, Qt::WindowFlags fl = {});

    QPushButton* UploadButton = nullptr;
    QPushButton* QuitButton = nullptr;
    QProgressBar* DownloadProgressBar = nullptr;
    QLabel* textLabel2 = nullptr;
    QLineEdit* FilenameEdit = nullptr;
    QLabel* DownloadStatusLabel = nullptr;
    QLabel* SerialPortLabel = nullptr;
    QComboBox* SerialPortBox = nullptr;
    QPushButton* FileBrowseButton = nullptr;
    // The host of the upload in progress (its session's); null whenever no
    // upload runs.
    CFlashXferHost* currentHost = nullptr;

public slots:
    virtual void chooseFile();
    virtual void quitProgram();
    virtual void uploadFile();
    virtual void updateProgressBar(int progress);
    virtual void cancelDownload();

public:
    // Closing the window, by its close button or by Esc, stops a running
    // upload first, as "Exit Program" does.
    void reject() override;

protected:
    QGridLayout* PlemoFormLayout = nullptr;
    QHBoxLayout* layout1 = nullptr;
    QHBoxLayout* layout3 = nullptr;
    QHBoxLayout* layout28 = nullptr;
    // Takes up the spare width of the port row, left of the Browse button.
    QSpacerItem* portRowSpacer = nullptr;

protected slots:
    virtual void languageChange();

private:
    void setUp(const char* name, bool modal, const std::vector<std::string>* candidatePortNames);
    void buildLayout();
    void addButtonRow();
    void addFileRow();
    void addPortRow();
    void connectButtons();
    // candidatePortNames null: try the platform's own serial device names.
    void fillPortBox(const std::vector<std::string>* candidatePortNames);

    // The upload (uploadcontroller.cpp).
    class DialogFrontEnd;
    bool choicesAreComplete();
    void enterUploadingState(CFlashXferHost& host);
    void leaveUploadingState();
};

#endif
