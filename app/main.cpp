#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    MainWindow::prepareApplication();
    QApplication a(argc, argv);
    MainWindow w;
    w.show();
    return a.exec();
}
