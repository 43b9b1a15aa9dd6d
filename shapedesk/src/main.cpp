// ShapeDesk: the desktop program that opens, pokes and shapes a deformable mirror.
#include "userwindow.h"

#include <KRV.h>

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName("Velmira");
    QCoreApplication::setOrganizationDomain("velmira.example");
    QCoreApplication::setApplicationName("ShapeDesk");
    // The program is part of the kit and carries the kit's one version.
    QCoreApplication::setApplicationVersion(KRVVersionString());
    QGuiApplication::setDesktopFileName("shapedesk");

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Opens a deformable mirror, pokes its actuators, drives its segments and sets its shape from files and "
        "Zernike terms.\nWithout SERIAL the mirror used last is opened; File > Open DM... opens another.");
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument("SERIAL", "Serial number of the mirror to open (its profile SERIAL.dm).",
                                 "[SERIAL]");
    parser.process(app);
    const QStringList serials = parser.positionalArguments();
    if (serials.size() > 1) {
        fprintf(stderr, "ShapeDesk: one serial number at most\n");
        return 2;
    }

    UserWindow window;
    if (!serials.isEmpty()) window.setStartSerial(serials.first());
    window.show();
    return app.exec();
}
