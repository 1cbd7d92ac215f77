// Quarnel: browse FTP sites offline.

#include "ui/QuarnelApp.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quarnel"));
    QApplication::setApplicationVersion(QStringLiteral("1.3.1"));

    CQuarnelApp theApp;
    if (!theApp.InitInstance())
        return 1;
    return app.exec();
}
