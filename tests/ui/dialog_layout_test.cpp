// What the user sees when the program starts: the widgets, where they sit,
// what they say, the keyboard order and the size the window opens at.
#include <QComboBox>
#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTranslator>

#include <gtest/gtest.h>

#include "tests/ui/dialog_support.h"

namespace {

// Every item of a box, left to right: a widget by its object name, the
// spacer as "<spacer>".
QStringList itemsOf(const QLayout& box)
{
    QStringList items;
    for (int index = 0; index < box.count(); ++index) {
        QLayoutItem* item = box.itemAt(index);
        items << (item->spacerItem() ? QStringLiteral("<spacer>") : nameOf(item->widget()));
    }
    return items;
}

QLayoutItem* gridRow(const PlemoForm& dialog, int row)
{
    const auto* grid = dialog.findChild<QGridLayout*>(QStringLiteral("PlemoFormLayout"));
    return grid ? grid->itemAtPosition(row, 0) : nullptr;
}

QStringList focusableInTabOrder(QWidget& window)
{
    QStringList order;
    for (QWidget* widget = window.nextInFocusChain(); widget != &window;
         widget = widget->nextInFocusChain()) {
        if (widget->focusPolicy() & Qt::TabFocus)
            order << widget->objectName();
    }
    return order;
}

void pressTab(QWidget& window)
{
    QWidget* target = window.focusWidget() ? window.focusWidget() : &window;
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
}

} // namespace

TEST(MainDialogWidgets, AreChildrenNamedAndTypedInCreationOrder)
{
    auto dialog = makeDialogWithoutPorts();
    QStringList seen;
    for (QObject* child : dialog->children()) {
        if (child->isWidgetType())
            seen << child->objectName() + ":" + child->metaObject()->className();
    }
    EXPECT_EQ(seen, (QStringList{"UploadButton:QPushButton", "QuitButton:QPushButton",
                                 "DownloadProgressBar:QProgressBar", "textLabel2:QLabel",
                                 "FilenameEdit:QLineEdit", "DownloadStatusLabel:QLabel",
                                 "SerialPortLabel:QLabel", "SerialPortBox:QComboBox",
                                 "FileBrowseButton:QPushButton"}));
    EXPECT_EQ(dialog->objectName(), "PlemoForm");
    EXPECT_EQ(dialog->UploadButton, dialog->findChild<QPushButton*>("UploadButton"));
    EXPECT_EQ(dialog->SerialPortBox, dialog->findChild<QComboBox*>("SerialPortBox"));
    EXPECT_EQ(dialog->currentHost, nullptr);
}

TEST(MainDialogWidgets, TakeTheGivenObjectNameAndModality)
{
    PlemoForm named(std::vector<std::string>{}, nullptr, "Uploader", true);
    EXPECT_EQ(named.objectName(), "Uploader");
    EXPECT_TRUE(named.isModal());

    PlemoForm emptyName(std::vector<std::string>{}, nullptr, "", false);
    EXPECT_EQ(emptyName.objectName(), "PlemoForm");
    EXPECT_FALSE(emptyName.isModal());
}

TEST(MainDialogLayout, StacksStatusPortFileProgressAndButtonRows)
{
    auto dialog = makeDialogWithoutPorts();
    const auto* grid = dialog->findChild<QGridLayout*>("PlemoFormLayout");
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(dialog->layout(), grid);
    EXPECT_EQ(grid->rowCount(), 5);
    EXPECT_EQ(grid->columnCount(), 1);

    EXPECT_EQ(nameOf(gridRow(*dialog, 0)->widget()), "DownloadStatusLabel");
    EXPECT_EQ(nameOf(gridRow(*dialog, 1)->layout()), "layout28");
    EXPECT_EQ(nameOf(gridRow(*dialog, 2)->layout()), "layout3");
    EXPECT_EQ(nameOf(gridRow(*dialog, 3)->widget()), "DownloadProgressBar");
    EXPECT_EQ(nameOf(gridRow(*dialog, 4)->layout()), "layout1");

    EXPECT_EQ(itemsOf(*gridRow(*dialog, 1)->layout()),
              (QStringList{"SerialPortLabel", "SerialPortBox", "<spacer>", "FileBrowseButton"}));
    EXPECT_EQ(itemsOf(*gridRow(*dialog, 2)->layout()), (QStringList{"textLabel2", "FilenameEdit"}));
    EXPECT_EQ(itemsOf(*gridRow(*dialog, 4)->layout()), (QStringList{"UploadButton", "QuitButton"}));
}

TEST(MainDialogLayout, KeepsItsMarginsSpacingAndPlainItems)
{
    auto dialog = makeDialogWithoutPorts();
    const auto* grid = dialog->findChild<QGridLayout*>("PlemoFormLayout");
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(grid->contentsMargins(), QMargins(11, 11, 11, 11));
    EXPECT_EQ(grid->horizontalSpacing(), 6);
    EXPECT_EQ(grid->verticalSpacing(), 6);
    for (int row = 0; row < grid->rowCount(); ++row) {
        EXPECT_EQ(grid->rowStretch(row), 0) << "row " << row;
        EXPECT_EQ(int(gridRow(*dialog, row)->alignment()), 0) << "row " << row;
    }

    for (const char* name : {"layout1", "layout3", "layout28"}) {
        const auto* box = dialog->findChild<QHBoxLayout*>(name);
        ASSERT_NE(box, nullptr) << name;
        EXPECT_EQ(box->contentsMargins(), QMargins(0, 0, 0, 0)) << name;
        EXPECT_EQ(box->spacing(), 6) << name;
        for (int index = 0; index < box->count(); ++index) {
            EXPECT_EQ(box->stretch(index), 0) << name << " item " << index;
            EXPECT_EQ(int(box->itemAt(index)->alignment()), 0) << name << " item " << index;
        }
    }
}

TEST(MainDialogLayout, PortRowSpacerTakesTheSpareWidthLeftOfBrowse)
{
    auto dialog = makeDialogWithoutPorts();
    const auto* portRow = dialog->findChild<QHBoxLayout*>("layout28");
    ASSERT_NE(portRow, nullptr);
    QSpacerItem* spacer = portRow->itemAt(2)->spacerItem();
    ASSERT_NE(spacer, nullptr);
    EXPECT_EQ(spacer->sizeHint(), QSize(72, 20));
    EXPECT_EQ(spacer->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    EXPECT_EQ(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);

    dialog->show();
    const int boxWidth = dialog->SerialPortBox->width();
    dialog->resize(dialog->width() + 300, dialog->height());
    dialog->layout()->activate();
    EXPECT_EQ(dialog->SerialPortBox->width(), boxWidth);
    EXPECT_EQ(dialog->FileBrowseButton->geometry().right(), dialog->width() - 1 - 11);
    EXPECT_EQ(dialog->FilenameEdit->geometry().right(), dialog->width() - 1 - 11);
}

TEST(MainDialogTexts, ShowTheUtilityNameButtonsAndCaptions)
{
    auto dialog = makeDialogWithoutPorts();
    EXPECT_EQ(dialog->windowTitle(), "Plemo Upload Utility 1.0.3");
    EXPECT_EQ(dialog->UploadButton->text(), "Upload");
    EXPECT_EQ(dialog->QuitButton->text(), "Exit Program");
    EXPECT_EQ(dialog->textLabel2->text(), "File:");
    EXPECT_EQ(dialog->SerialPortLabel->text(), "Serial Port:");
    EXPECT_EQ(dialog->FileBrowseButton->text(), "Browse for File");
}

TEST(MainDialogTexts, AreTranslatedInThePlemoFormContext)
{
    class MarkingTranslator : public QTranslator
    {
    public:
        bool isEmpty() const override { return false; }
        QString translate(const char* context, const char* source, const char*,
                          int) const override
        {
            return QLatin1String(context) == QLatin1String("PlemoForm")
                       ? QStringLiteral("<%1>").arg(QLatin1String(source))
                       : QString();
        }
    } translator;
    ASSERT_TRUE(QApplication::installTranslator(&translator));
    auto dialog = makeDialogWithoutPorts();
    QApplication::removeTranslator(&translator);

    EXPECT_EQ(dialog->windowTitle(), "<Plemo Upload Utility 1.0.3>");
    EXPECT_EQ(dialog->UploadButton->text(), "<Upload>");
    EXPECT_EQ(dialog->QuitButton->text(), "<Exit Program>");
    EXPECT_EQ(dialog->textLabel2->text(), "<File:>");
    EXPECT_EQ(dialog->DownloadStatusLabel->text(), "<Select Port/File>");
    EXPECT_EQ(dialog->SerialPortLabel->text(), "<Serial Port:>");
    EXPECT_EQ(dialog->FileBrowseButton->text(), "<Browse for File>");
}

TEST(MainDialogAtStart, AsksForPortAndFileWithNothingChosen)
{
    auto dialog = makeDialogWithoutPorts();
    EXPECT_EQ(dialog->DownloadStatusLabel->text(), "Select Port/File");
    // The red texts of a failed upload begin with a tag and must show as rich text.
    EXPECT_EQ(dialog->DownloadStatusLabel->textFormat(), Qt::AutoText);
    EXPECT_TRUE(dialog->FilenameEdit->text().isEmpty());
    EXPECT_FALSE(dialog->FilenameEdit->isReadOnly());
}

TEST(MainDialogAtStart, PortBoxIsEmptyAndNotEditableWhenNoPortIsFound)
{
    auto dialog = makeDialogWithoutPorts();
    EXPECT_EQ(dialog->SerialPortBox->count(), 0);
    EXPECT_TRUE(dialog->SerialPortBox->currentText().isEmpty());
    EXPECT_FALSE(dialog->SerialPortBox->isEditable());
}

TEST(MainDialogAtStart, ProgressBarShowsNoValueYet)
{
    auto dialog = makeDialogWithoutPorts();
    const QProgressBar& bar = *dialog->DownloadProgressBar;
    EXPECT_EQ(bar.minimum(), 0);
    EXPECT_EQ(bar.maximum(), 100);
    EXPECT_TRUE(bar.isTextVisible());
    // Qt reports one below the minimum until a value is set, and shows no percentage.
    EXPECT_EQ(bar.value(), -1);
    EXPECT_TRUE(bar.text().isEmpty());
}

TEST(MainDialogKeyboard, FocusChainRunsUploadExitFilePortBrowse)
{
    auto dialog = makeDialogWithoutPorts();
    EXPECT_EQ(focusableInTabOrder(*dialog),
              (QStringList{"UploadButton", "QuitButton", "FilenameEdit", "SerialPortBox",
                           "FileBrowseButton"}));
}

TEST(MainDialogKeyboard, StartsOnUploadAndTabWalksTheChainAround)
{
    auto dialog = makeDialogWithoutPorts();
    showAndActivate(*dialog);
    ASSERT_EQ(QApplication::activeWindow(), dialog.get());

    QStringList visited{nameOf(dialog->focusWidget())};
    for (int press = 0; press < 5; ++press) {
        pressTab(*dialog);
        visited << nameOf(dialog->focusWidget());
    }
    EXPECT_EQ(visited, (QStringList{"UploadButton", "QuitButton", "FilenameEdit", "SerialPortBox",
                                    "FileBrowseButton", "UploadButton"}));
}

// The window opens at 483 x 168 unless its contents need more room in a
// dimension; then it opens at exactly what they need in that dimension.
// A larger font makes the contents need more.
namespace {

std::unique_ptr<PlemoForm> makeDialogWithFontScaledBy(double factor)
{
    const QFont originalFont = QApplication::font();
    QFont scaled = originalFont;
    scaled.setPointSizeF(originalFont.pointSizeF() * factor);
    QApplication::setFont(scaled);
    auto dialog = makeDialogWithoutPorts();
    QApplication::setFont(originalFont);
    return dialog;
}

QSize neededBy(const PlemoForm& dialog)
{
    return dialog.layout()->totalMinimumSize();
}

} // namespace

TEST(MainDialogStartSize, Is483By168WhenTheContentsFit)
{
    auto dialog = makeDialogWithoutPorts();
    ASSERT_LT(neededBy(*dialog).width(), 483);
    ASSERT_LT(neededBy(*dialog).height(), 168);
    EXPECT_EQ(dialog->size(), QSize(483, 168));
}

TEST(MainDialogStartSize, GrowsOnlyTallerWhenOnlyTheHeightIsShort)
{
    auto dialog = makeDialogWithFontScaledBy(1.6);
    const QSize needed = neededBy(*dialog);
    ASSERT_GT(needed.height(), 168) << "the font is too small to need more height";
    ASSERT_LT(needed.width(), 483) << "the font is so large that the width grows too";
    EXPECT_EQ(dialog->size(), QSize(483, needed.height()));
}

TEST(MainDialogStartSize, GrowsInBothDimensionsWhenBothAreShort)
{
    auto dialog = makeDialogWithFontScaledBy(4.0);
    const QSize needed = neededBy(*dialog);
    ASSERT_GT(needed.width(), 483);
    ASSERT_GT(needed.height(), 168);
    EXPECT_EQ(dialog->size(), needed);
}
