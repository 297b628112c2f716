#include "mainwindow.h"
#include "ui_mainwindow.h"

// The rate is read back from the labels, so it always agrees with the figures on screen.
void MainWindow::timeFunction1()
{
    if (ui->label_46->text() == QLatin1String("0"))
        return;
    const double sends = ui->label_46->text().toDouble();
    const double matches = ui->label_32->text().toDouble();
    const double rate = (sends - matches) / sends * 100;
    ui->label_45->setText(QString("%1%").arg(rate, 0, 'f', 2));
}

void MainWindow::on_pushButton_24_clicked()
{
    sentBytes = 0;
    receivedBytes = 0;
    sendCount = 0;
    matchCount = 0;
    ui->label_22->setText("0");
    ui->label_26->setText("0");
    ui->label_45->clear();
    ui->label_32->setText("0");
    ui->label_46->setText("0");
}
