// Ending the program from the dialog: every way out asks a running upload
// to stop first, so the program never lingers hidden behind a closed
// window, waiting for a device that does not answer.
#include <QCloseEvent>
#include <QKeyEvent>
#include <QPushButton>

#include <gtest/gtest.h>

#include "tests/ui/dialog_support.h"

namespace {

// The dialog with its cancel slot counted: the slot is where a running
// upload is told to stop.
class CountingCancels : public PlemoForm
{
public:
    CountingCancels() : PlemoForm(std::vector<std::string>{}) {}
    void cancelDownload() override { ++cancels; }
    int cancels = 0;
};

} // namespace

TEST(MainDialogClosing, ClosingTheWindowAsksARunningUploadToStop)
{
    CountingCancels dialog;
    showAndActivate(dialog);
    EXPECT_TRUE(dialog.close());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.cancels, 1);
}

TEST(MainDialogClosing, EscapeAsksARunningUploadToStopAndHidesTheWindow)
{
    CountingCancels dialog;
    showAndActivate(dialog);
    ASSERT_EQ(QApplication::activeWindow(), &dialog);
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(dialog.focusWidget(), &escape);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.cancels, 1);
}

TEST(MainDialogClosing, ExitProgramAsksARunningUploadToStop)
{
    CountingCancels dialog;
    showAndActivate(dialog);
    dialog.QuitButton->click();
    EXPECT_EQ(dialog.cancels, 1);
}
