// ShapeDesk: the desktop program that opens, pokes and shapes a deformable mirror.
#include "userwindow.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Velmira");
    QCoreApplication::setOrganizationDomain("velmira.example");
    QCoreApplication::setApplicationName("ShapeDesk");
    QCoreApplication::setApplicationVersion("4.2.0");
    QGuiApplication::setDesktopFileName("shapedesk");
    UserWindow window;
    window.show();
    return app.exec();
}
