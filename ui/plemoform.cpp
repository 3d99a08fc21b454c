#include "ui/plemoform.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpacerItem>

#include "serial/portdiscovery.h"
#include "serial/serialstreamerror.h"

namespace {

// Rows of the dialog's one-column grid, top to bottom.
constexpr int statusRow = 0;
constexpr int portRow = 1;
constexpr int fileRow = 2;
constexpr int progressRow = 3;
constexpr int buttonRow = 4;

constexpr int outerMargin = 11;
constexpr int rowMargin = 0;
constexpr int spacing = 6;

// The size the dialog starts at, unless its contents need more.
constexpr QSize startSize(483, 168);
constexpr QSize portRowSpacerSize(72, 20);

template <typename Widget>
Widget* makeChild(QWidget* parent, const char* objectName)
{
    auto* widget = new Widget(parent);
    widget->setObjectName(QString::fromLatin1(objectName));
    return widget;
}

QHBoxLayout* makeRow(const char* objectName)
{
    auto* row = new QHBoxLayout();
    row->setContentsMargins(rowMargin, rowMargin, rowMargin, rowMargin);
    row->setSpacing(spacing);
    row->setObjectName(QString::fromLatin1(objectName));
    return row;
}

} // namespace

PlemoForm::PlemoForm(QWidget* parent, const char* name, bool modal, Qt::WindowFlags fl)
    : QDialog(parent, fl)
{
    setUp(name, modal, nullptr);
}

PlemoForm::PlemoForm(const std::vector<std::string>& candidatePortNames, QWidget* parent,
                     const char* name, bool modal, Qt::WindowFlags fl)
    : QDialog(parent, fl)
{
    setUp(name, modal, &candidatePortNames);
}

void PlemoForm::setUp(const char* name, bool modal,
                      const std::vector<std::string>* candidatePortNames)
{
    const bool unnamed = name == nullptr || *name == '\0';
    setObjectName(QString::fromLatin1(unnamed ? "PlemoForm" : name));
    setModal(modal);

    buildLayout();
    languageChange();
    resize(startSize.expandedTo(minimumSizeHint()));
    connectButtons();

    currentHost = nullptr;
    fillPortBox(candidatePortNames);
}

// The widgets are created in this order on purpose: creation order is the
// keyboard focus order (Upload, Exit, file field, port box, Browse).
void PlemoForm::buildLayout()
{
    PlemoFormLayout = new QGridLayout(this);
    PlemoFormLayout->setContentsMargins(outerMargin, outerMargin, outerMargin, outerMargin);
    PlemoFormLayout->setSpacing(spacing);
    PlemoFormLayout->setObjectName(QStringLiteral("PlemoFormLayout"));

    addButtonRow();

    DownloadProgressBar = makeChild<QProgressBar>(this, "DownloadProgressBar");
    PlemoFormLayout->addWidget(DownloadProgressBar, progressRow, 0);

    addFileRow();

    DownloadStatusLabel = makeChild<QLabel>(this, "DownloadStatusLabel");
    PlemoFormLayout->addWidget(DownloadStatusLabel, statusRow, 0);

    addPortRow();
}

void PlemoForm::addButtonRow()
{
    layout1 = makeRow("layout1");
    UploadButton = makeChild<QPushButton>(this, "UploadButton");
    layout1->addWidget(UploadButton);
    QuitButton = makeChild<QPushButton>(this, "QuitButton");
    layout1->addWidget(QuitButton);
    PlemoFormLayout->addLayout(layout1, buttonRow, 0);
}

void PlemoForm::addFileRow()
{
    layout3 = makeRow("layout3");
    textLabel2 = makeChild<QLabel>(this, "textLabel2");
    layout3->addWidget(textLabel2);
    FilenameEdit = makeChild<QLineEdit>(this, "FilenameEdit");
    layout3->addWidget(FilenameEdit);
    PlemoFormLayout->addLayout(layout3, fileRow, 0);
}

void PlemoForm::addPortRow()
{
    layout28 = makeRow("layout28");
    SerialPortLabel = makeChild<QLabel>(this, "SerialPortLabel");
    layout28->addWidget(SerialPortLabel);
    SerialPortBox = makeChild<QComboBox>(this, "SerialPortBox");
    SerialPortBox->setEditable(false);
    layout28->addWidget(SerialPortBox);
    portRowSpacer = new QSpacerItem(portRowSpacerSize.width(), portRowSpacerSize.height(),
                                    QSizePolicy::Expanding, QSizePolicy::Minimum);
    layout28->addItem(portRowSpacer);
    FileBrowseButton = makeChild<QPushButton>(this, "FileBrowseButton");
    layout28->addWidget(FileBrowseButton);
    PlemoFormLayout->addLayout(layout28, portRow, 0);
}

void PlemoForm::languageChange()
{
    setWindowTitle(tr("Plemo Upload Utility 1.0.3"));
    UploadButton->setText(tr("Upload"));
    QuitButton->setText(tr("Exit Program"));
    textLabel2->setText(tr("File:"));
    DownloadStatusLabel->setText(tr("Select Port/File"));
    SerialPortLabel->setText(tr("Serial Port:"));
    FileBrowseButton->setText(tr("Browse for File"));
}

void PlemoForm::connectButtons()
{
    connect(FileBrowseButton, &QPushButton::clicked, this, &PlemoForm::chooseFile);
    connect(QuitButton, &QPushButton::clicked, this, &PlemoForm::quitProgram);
    connect(UploadButton, &QPushButton::clicked, this, &PlemoForm::uploadFile);
}

// The path is taken as chosen; whether it names a file we can upload is
// decided when the upload starts. Cancelling empties the field.
void PlemoForm::chooseFile()
{
    DownloadProgressBar->setValue(0);

    QFileDialog fileDialog(this, tr("Choose a file to open"), QStringLiteral("."));
    fileDialog.setObjectName(QStringLiteral("Open Plemo File"));
    fileDialog.setFileMode(QFileDialog::ExistingFile);
    fileDialog.setModal(true);

    QString chosenPath;
    if (fileDialog.exec() == QDialog::Accepted && !fileDialog.selectedFiles().isEmpty())
        chosenPath = fileDialog.selectedFiles().constFirst();
    FilenameEdit->setText(chosenPath);
}

void PlemoForm::quitProgram()
{
    cancelDownload();
    QApplication::quit();
}

// Closing the window ends the program, but only once a running upload has
// returned; without the cancel it would wait, hidden, for a device that may
// never answer.
void PlemoForm::reject()
{
    cancelDownload();
    QDialog::reject();
}

// Offers every port that opened, in discovery order; ports another program
// holds are left out. The first one added becomes the current item.
void PlemoForm::fillPortBox(const std::vector<std::string>* candidatePortNames)
{
    std::vector<SerialPortInfo> ports;
    try {
        ports = candidatePortNames != nullptr ? DiscoverSerialPorts(*candidatePortNames, false)
                                              : DiscoverSerialPorts(false);
    } catch (const SerialStreamError&) {
        // Only the close of the last port tried can fail here. The dialog
        // still comes up; with an empty box, Upload tells the user.
        return;
    }
    for (const SerialPortInfo& port : ports)
        if (!port.inUse)
            SerialPortBox->addItem(QString::fromStdString(port.name));
}
