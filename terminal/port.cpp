#include "mainwindow.h"
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
    return myCom->isOpen();
}

void MainWindow::setPortControlsEnabled(bool open)
{
    setPortCommandsEnabled(open);
    ui->comboBox_5->setEnabled(!open);
    ui->comboBox_6->setEnabled(!open);
}

// Everything that sends, or sets what is sent. Also locked while the module's baud change is under
// way, when the port is open but must carry nothing but the frame.
void MainWindow::setPortCommandsEnabled(bool enabled)
{
    for (QWidget *w :
         std::initializer_list<QWidget *>{ui->pushButton_17, ui->pushButton_18, ui->pushButton_20, ui->pushButton_21,
                                          ui->pushButton_22, ui->pushButton_23, ui->comboBox_7, ui->comboBox_8,
                                          ui->lineEdit_14, ui->lineEdit_15, ui->lineEdit_19, ui->checkBox})
        w->setEnabled(enabled);
}

void MainWindow::enterClosedState()
{
    portOpen = false;
    if (baudSwitch.timer)
        baudSwitch.timer->stop();
    // A reopen that failed has left the port closed already; close() would only report NotOpenError.
    if (myCom && myCom->isOpen())
        myCom->close();
    ui->pushButton_10->setText(tr("打开串口"));
    ui->pushButton_10->setStyleSheet("background: pink");
    setPortControlsEnabled(false);
    // setChecked() does not emit clicked(), so the auto-send switch is not told; stop its timer here.
    ui->checkBox->setChecked(false);
    autoSendTimer->stop();
    autoSendWaiting = false;
    // Requests never answered end with the opening: whatever comes after the next open would be
    // taken for their answers.
    readParamPending = false;
    channelWritePending = false;
    idWritePending = false;
    baudWritePending = false;
    powerWritePending = false;
}

void MainWindow::showPortWarning()
{
    QMessageBox::warning(this, tr("提示"), tr("串口被占用或不存在"), QMessageBox::Ok, QMessageBox::NoButton);
}

void MainWindow::onPortError(QSerialPort::SerialPortError error)
{
    // A device that vanished (cable pulled, adapter unplugged) reports read errors, and a USB adapter
    // may fail writes (ENODEV) before it hangs up. Anything else, such as the reply gather's wait
    // running out, leaves the line usable.
    if (error != QSerialPort::ReadError && error != QSerialPort::ResourceError && error != QSerialPort::WriteError)
        return;
    // Handled from the event loop rather than inside the port's own notification: closing there
    // would delete the notifier that is reporting, and the warning box runs an event loop of its own.
    // One failure reports several errors before this runs; the first closes the port, the others
    // find it closed and add no second box.
    QTimer::singleShot(0, this, [this] {
        if (!portOpen)
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
