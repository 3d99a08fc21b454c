#ifndef PLEMO_TESTS_UI_DIALOG_SUPPORT_H
#define PLEMO_TESTS_UI_DIALOG_SUPPORT_H

#include <QApplication>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "ui/plemoform.h"

// A dialog whose port box tries no device at all: tests never depend on the
// machine's serial ports and never open one.
inline std::unique_ptr<PlemoForm> makeDialogWithoutPorts()
{
    return std::make_unique<PlemoForm>(std::vector<std::string>{});
}

// Shows the dialog and waits until it is the active window, as it is for a
// user who has just started the program.
inline void showAndActivate(QWidget& window)
{
    window.show();
    window.activateWindow();
    for (int attempt = 0; attempt < 100 && QApplication::activeWindow() != &window; ++attempt)
        QApplication::processEvents();
}

// Lets GoogleTest print a QString as text in its failure messages.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

inline QString nameOf(const QObject* object)
{
    return object ? object->objectName() : QStringLiteral("<none>");
}

#endif
