// "Browse for File": the real file chooser opens, and what the user picks
// or cancels ends up in the file field.
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

#include <gtest/gtest.h>

#include "tests/ui/dialog_support.h"

namespace {

// What the chooser looked like while it was open.
struct ChooserSeen
{
    bool opened = false;
    QString objectName;
    QString title;
    QString directory;
    QWidget* parent = nullptr;
    bool modal = false;
    QFileDialog::FileMode fileMode = QFileDialog::AnyFile;
    QStringList nameFilters;
    bool resolvesSymlinks = false;
    int progressWhileOpen = -2;
};

// Waits for the modal chooser the dialog opens, notes how it looks and hands
// it to `act`. A chooser that does not open, or that is still open (or has
// opened some other modal window) when the time is up, fails the test and
// is closed, so a test can never hang on it.
class ChooserDriver
{
public:
    ChooserDriver(const PlemoForm& dialog, std::function<void(QFileDialog&)> act)
        : dialog(dialog), act(std::move(act)), deadline(5000)
    {
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [this] { check(); });
        poll.start();
    }

    ChooserSeen seen;

private:
    void check()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (!seen.opened) {
            auto* chooser = qobject_cast<QFileDialog*>(modal);
            if (chooser && chooser->objectName() == "Open Plemo File") {
                note(*chooser);
                actedOn = chooser;
                // Acting may open further modal windows; this check must be
                // free to run again meanwhile, to give up on them in time.
                QTimer::singleShot(0, chooser, [this, chooser] { act(*chooser); });
            } else if (deadline.hasExpired()) {
                giveUp(modal, "no file chooser named 'Open Plemo File' opened");
            }
        } else if (!actedOn || !actedOn->isVisible()) {
            poll.stop();
        } else if (deadline.hasExpired()) {
            giveUp(modal, "the file chooser is still open");
        }
    }

    void giveUp(QWidget* modal, const char* why)
    {
        poll.stop();
        ADD_FAILURE() << why << "; modal window: " << nameOf(modal).toStdString() << " ("
                      << (modal ? modal->metaObject()->className() : "none") << ")";
        if (auto* stuck = qobject_cast<QDialog*>(modal))
            stuck->reject();
        if (actedOn)
            actedOn->reject();
    }

    void note(const QFileDialog& chooser)
    {
        seen.opened = true;
        seen.objectName = chooser.objectName();
        seen.title = chooser.windowTitle();
        seen.directory = chooser.directory().absolutePath();
        seen.parent = chooser.parentWidget();
        seen.modal = chooser.isModal();
        seen.fileMode = chooser.fileMode();
        seen.nameFilters = chooser.nameFilters();
        seen.resolvesSymlinks = !chooser.testOption(QFileDialog::DontResolveSymlinks);
        seen.progressWhileOpen = dialog.DownloadProgressBar->value();
    }

    const PlemoForm& dialog;
    std::function<void(QFileDialog&)> act;
    QDeadlineTimer deadline;
    QTimer poll;
    QPointer<QFileDialog> actedOn;
};

// Types the path into the chooser's file name field and presses Open, as a
// user does. (selectFile() leaves a focused name field alone.)
void choose(QFileDialog& chooser, const QString& path)
{
    auto* nameField = chooser.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    ASSERT_NE(nameField, nullptr) << "the chooser has no file name field";
    nameField->setText(path);
    // QFileDialog's own accept() is protected; through QDialog it is the Open button's.
    static_cast<QDialog&>(chooser).accept();
}

void cancel(QFileDialog& chooser)
{
    chooser.reject();
}

// Presses OK on the next message box that the chooser opens, as a user
// does, and keeps its text.
void answerNextMessageBox(QFileDialog& chooser, QString* text)
{
    auto* poll = new QTimer(&chooser);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, text] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            poll->stop();
            *text = box->text();
            box->accept();
        }
    });
    poll->start();
}

// A scratch folder that is also the process's current directory while the
// test runs, since the chooser starts in the current directory.
class MainDialogBrowse : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(folder.isValid());
        previousDirectory = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(folder.path()));
    }
    void TearDown() override { QDir::setCurrent(previousDirectory); }

    QString makeFile(const QString& name)
    {
        QFile file(folder.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("\x00\x09\x0f\xf0", 4);
        return QDir(folder.path()).absoluteFilePath(name);
    }

    QTemporaryDir folder;
    QString previousDirectory;
    std::unique_ptr<PlemoForm> dialog = makeDialogWithoutPorts();
};

} // namespace

TEST_F(MainDialogBrowse, ChoosingAFilePutsItsPathInTheFileField)
{
    const QString bitstream = makeFile("cartridge.bit");
    ChooserDriver driver(*dialog, [&](QFileDialog& chooser) { choose(chooser, bitstream); });
    dialog->FileBrowseButton->click();

    ASSERT_TRUE(driver.seen.opened);
    EXPECT_EQ(dialog->FilenameEdit->text(), bitstream);
}

TEST_F(MainDialogBrowse, ChooserIsModalOverTheDialogAndStartsInTheCurrentFolder)
{
    ChooserDriver driver(*dialog, cancel);
    dialog->FileBrowseButton->click();

    ASSERT_TRUE(driver.seen.opened);
    EXPECT_EQ(driver.seen.objectName, "Open Plemo File");
    EXPECT_EQ(driver.seen.title, "Choose a file to open");
    EXPECT_EQ(driver.seen.directory, QDir(folder.path()).absolutePath());
    EXPECT_EQ(driver.seen.parent, dialog.get());
    EXPECT_TRUE(driver.seen.modal);
    EXPECT_EQ(driver.seen.fileMode, QFileDialog::ExistingFile);
    EXPECT_TRUE(driver.seen.resolvesSymlinks);
}

TEST_F(MainDialogBrowse, EveryFileIsOfferedWhateverItsExtension)
{
    const QString notes = makeFile("notes.txt");
    ChooserDriver driver(*dialog, [&](QFileDialog& chooser) { choose(chooser, notes); });
    dialog->FileBrowseButton->click();

    ASSERT_TRUE(driver.seen.opened);
    ASSERT_FALSE(driver.seen.nameFilters.isEmpty());
    for (const QString& filter : driver.seen.nameFilters)
        EXPECT_TRUE(filter.contains("(*)")) << filter.toStdString();
    EXPECT_EQ(dialog->FilenameEdit->text(), notes);
}

TEST_F(MainDialogBrowse, CancellingEmptiesTheFileFieldEvenAfterAnEarlierChoice)
{
    dialog->FilenameEdit->setText(makeFile("earlier.frm"));
    ChooserDriver driver(*dialog, cancel);
    dialog->FileBrowseButton->click();

    ASSERT_TRUE(driver.seen.opened);
    EXPECT_TRUE(dialog->FilenameEdit->text().isEmpty());
}

TEST_F(MainDialogBrowse, AFileThatDoesNotExistCannotBeChosen)
{
    bool stayedOpen = false;
    QString complaint;
    ChooserDriver driver(*dialog, [&](QFileDialog& chooser) {
        answerNextMessageBox(chooser, &complaint);
        choose(chooser, QDir(folder.path()).absoluteFilePath("missing.bit"));
        stayedOpen = chooser.isVisible();
        cancel(chooser);
    });
    dialog->FileBrowseButton->click();

    ASSERT_TRUE(driver.seen.opened);
    EXPECT_TRUE(stayedOpen);
    EXPECT_TRUE(complaint.contains("missing.bit")) << complaint.toStdString();
    EXPECT_TRUE(dialog->FilenameEdit->text().isEmpty());
}

TEST_F(MainDialogBrowse, ResetsTheProgressBarToZeroWhetherChosenOrCancelled)
{
    const QString firmware = makeFile("game.frm");
    dialog->DownloadProgressBar->setValue(100);
    ChooserDriver chosen(*dialog, [&](QFileDialog& chooser) { choose(chooser, firmware); });
    dialog->FileBrowseButton->click();
    EXPECT_EQ(chosen.seen.progressWhileOpen, 0);
    EXPECT_EQ(dialog->DownloadProgressBar->value(), 0);

    dialog->DownloadProgressBar->setValue(64);
    ChooserDriver cancelled(*dialog, cancel);
    dialog->FileBrowseButton->click();
    EXPECT_EQ(cancelled.seen.progressWhileOpen, 0);
    EXPECT_EQ(dialog->DownloadProgressBar->value(), 0);
}
