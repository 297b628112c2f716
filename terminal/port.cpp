#include "mainwindow.h"
#include "portname.h"
#include "ui_mainwindow.h"

#include <QMessageBox>
#include <QSerialPort>
#include <QTimer>

#include <initializer_list>

void MainWindow::on_pushButton_10_clicked()
{
    if (portOpen) {
        enterClosedState();
        return;
    }
    if (!openPort(ui->comboBox_6->currentText())) {
        showPortWarning();
        return;
    }
    portOpen = true;
    setPortControlsEnabled(true);
    ui->pushButton_10->setText(tr("关闭串口"));
    ui->pushButton_10->setStyleSheet("background: green");
}

bool MainWindow::openPort(const QString &baudText)
{
    // Each attempt gets a fresh port object; deleting the last one closes it and drops its connections.
    delete myCom;
    myCom = new QSerialPort(refreshPortDevices());
    if (!applyLineSettings(baudText))
        return false;
    connect(myCom, SIGNAL(readyRead()), this, SLOT(readMyCom()));
    connect(myCom, &QSerialPort::errorOccurred, this, &MainWindow::onPortError);
    connect(myCom, &QSerialPort::bytesWritten, this, &MainWindow::onPortBytesWritten);
    return true;
}

// Shared with the module's write-baud command, which moves the same port object to a new rate:
// its readyRead() connection has to survive the reopen.
bool MainWindow::applyLineSettings(const QString &baudText)
{
    if (myCom->isOpen())
        myCom->close();
    myCom->open(QIODevice::ReadWrite);
    if (baudText == tr("4800"))
        myCom->setBaudRate(QSerialPort::Baud4800);
    else if (baudText == tr("9600"))
        myCom->setBaudRate(QSerialPort::Baud9600);
    else if (baudText == tr("19200"))
        myCom->setBaudRate(QSerialPort::Baud19200);
    myCom->setDataBits(QSerialPort::Data8);
    myCom->setParity(QSerialPort::NoParity);
    myCom->setStopBits(QSerialPort::OneStop);
    myCom->setFlowControl(QSerialPort::NoFlowControl);
    // The reopen dropped the queue an auto-send tick was waiting on: nothing is left to drain.
    if (autoSendWaiting && myCom->isOpen()) {
        autoSendWaiting = false;
        autoSendTimer->start();
    }
    return myCom->isOpen();
}

void MainWindow::setPortControlsEnabled(bool open)
{
    for (QWidget *w :
         std::initializer_list<QWidget *>{ui->pushButton_17, ui->pushButton_18, ui->pushButton_20, ui->pushButton_21,
                                          ui->pushButton_22, ui->pushButton_23, ui->comboBox_7, ui->comboBox_8,
                                          ui->lineEdit_14, ui->lineEdit_15, ui->lineEdit_19, ui->checkBox})
        w->setEnabled(open);
    ui->comboBox_5->setEnabled(!open);
    ui->comboBox_6->setEnabled(!open);
}

void MainWindow::enterClosedState()
{
    // Cleared before close(): closing a port whose device has gone can report one more error, and
    // that must not come back in here.
    portOpen = false;
    if (myCom)
        myCom->close();
    ui->pushButton_10->setText(tr("打开串口"));
    ui->pushButton_10->setStyleSheet("background: pink");
    setPortControlsEnabled(false);
    // setChecked() does not emit clicked(), so the auto-send switch is not told; stop its timer here.
    ui->checkBox->setChecked(false);
    autoSendTimer->stop();
    autoSendWaiting = false;
}

void MainWindow::showPortWarning()
{
    QMessageBox::warning(this, tr("提示"), tr("串口被占用或不存在"), QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWindow::onPortError(QSerialPort::SerialPortError error)
{
    // A device that vanished (cable pulled, adapter unplugged) keeps reporting these for as long as
    // the port stays open, hundreds of thousands of times a second.
    if (!portOpen || (error != QSerialPort::ReadError && error != QSerialPort::ResourceError))
        return;
    // Handled from the event loop rather than inside the port's own notification: closing there
    // could nest inside a close() already under way (the module's baud change reopens the port), and
    // the warning box runs an event loop of its own. Errors reported before this runs find the port
    // already closed and add no second box; a reopen that succeeded meanwhile has cleared the error.
    QTimer::singleShot(0, this, [this] {
        if (!portOpen || myCom->error() == QSerialPort::NoError)
            return;
        enterClosedState();
        showPortWarning();
    });
}

void MainWindow::on_pushButton_14_clicked()
{
    close();
}

void MainWindow::on_pushButton_16_clicked()
{
    clearReceiveBox();
}

void MainWindow::on_pushButton_15_clicked()
{
    ui->textEdit_2->clear();
}

void MainWindow::on_textBrowser_textChanged()
{
    ui->textBrowser->moveCursor(QTextCursor::End, QTextCursor::MoveAnchor);
}
