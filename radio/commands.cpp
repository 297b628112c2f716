// The module's command frames: the read button and the four write buttons of the radio panel.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QMessageBox>
#include <QSerialPort>

#ifdef Q_OS_UNIX
#include <termios.h>
#endif

namespace {

// How long the write-baud command waits for its frame to reach the driver before it closes the port.
constexpr int frameFlushTimeoutMs = 500;

} // namespace

void MainWindow::on_pushButton_23_clicked()
{
    sendFrame(QStringLiteral("A66A"), readParamPending);
}

void MainWindow::on_pushButton_18_clicked()
{
    const int channel = ui->lineEdit_15->text().toInt();
    // The field takes three digits but the frame carries one byte: a channel above 255 would go out
    // as a bare A7 7A and still wait for an acknowledgement.
    if (channel > 255) {
        QMessageBox::warning(this, tr("提示"), tr("信道范围：0-255"), QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    sendFrame(QStringLiteral("A77A%1%2").arg(InttoHex(channel / 16), InttoHex(channel % 16)), channelWritePending);
}

void MainWindow::on_pushButton_20_clicked()
{
    const int id = ui->lineEdit_19->text().toInt();
    sendFrame(QStringLiteral("A99A%1%2%3%4")
                  .arg(InttoHex(id / 4096), InttoHex(id % 4096 / 256), InttoHex(id % 256 / 16), InttoHex(id % 16)),
              idWritePending);
}

void MainWindow::on_pushButton_21_clicked()
{
    const QString rate = ui->comboBox_7->currentText();
    if (rate == QLatin1String("4800"))
        sendFrame(QStringLiteral("A33A01"), baudWritePending);
    else if (rate == QLatin1String("9600"))
        sendFrame(QStringLiteral("A33A02"), baudWritePending);
    else if (rate == QLatin1String("19200"))
        sendFrame(QStringLiteral("A33A03"), baudWritePending);
    else
        return;

    // close() throws away whatever is still queued, and the frame has not left yet: the port writes
    // from the event loop. Push it out, and on a real UART let it leave the wire at the old rate.
    myCom->waitForBytesWritten(frameFlushTimeoutMs);
#ifdef Q_OS_UNIX
    if (myCom->isOpen())
        ::tcdrain(myCom->handle());
#endif
    // A device that failed during the wait has already been taken to the closed state.
    if (!portOpen)
        return;

    const bool reopened = applyLineSettings(rate);
    ui->comboBox_6->setCurrentIndex(ui->comboBox_7->currentIndex());
    if (!reopened) {
        enterClosedState();
        showPortWarning();
    }
}

void MainWindow::on_pushButton_22_clicked()
{
    const QString power = ui->comboBox_8->currentText();
    if (power == QLatin1String("0"))
        sendFrame(QStringLiteral("ABBA00"), powerWritePending);
    else if (power == QLatin1String("5"))
        sendFrame(QStringLiteral("ABBA05"), powerWritePending);
    else if (power == QLatin1String("7"))
        sendFrame(QStringLiteral("ABBA07"), powerWritePending);
    else if (power == QLatin1String("10"))
        sendFrame(QStringLiteral("ABBA0A"), powerWritePending);
}

void MainWindow::sendFrame(const QString &hexText, bool &pendingFlag)
{
    String2Hex(hexText, txBytes);
    myCom->write(txBytes);
    pendingFlag = true;
}
