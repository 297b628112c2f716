// Renders Talven's window into a PNG: talven-screenshot OUTPUT.png
// Meant for a headless run (QT_QPA_PLATFORM=offscreen), see tools/screenshot.sh.

#include "mainwindow.h"

#include <QApplication>
#include <QPixmap>
#include <QTextStream>

int main(int argc, char *argv[])
{
    // As Talven itself starts, so that a scaled screen (QT_SCREEN_SCALE_FACTORS=2) gives a 2x picture.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() != 2) {
        QTextStream(stderr) << "usage: talven-screenshot OUTPUT.png\n";
        return 2;
    }

    MainWindow window;
    window.show();
    // Let the first show settle: polish, style sheets and the layout of the port panel.
    QApplication::processEvents();
    QApplication::sendPostedEvents();
    QApplication::processEvents();

    if (!window.grab().save(args.at(1), "PNG")) {
        QTextStream(stderr) << "cannot write " << args.at(1) << "\n";
        return 1;
    }
    return 0;
}
