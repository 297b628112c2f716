#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Qt 5 does not scale by itself: on a 2x screen the fixed 600 x 585 window would come out at half
    // its size. These must be set before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication a(argc, argv);
    MainWindow w;
    w.show();
    return a.exec();
}
