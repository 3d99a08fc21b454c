#include <QApplication>

#include "ui/plemoform.h"

// The arguments go to Qt unchanged: the program has no options of its own.
// The dialog is declared after the application object, so it is destroyed
// before it.
int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    PlemoForm form;
    form.show();
    QObject::connect(&application, &QGuiApplication::lastWindowClosed, &application,
                     &QCoreApplication::quit);
    return application.exec();
}
