// The module's command frames: the read button and the four write buttons of the radio panel.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QMessageBox>
#include <QSerialPort>

#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <termios.h>
#endif

namespace {

// The baud change polls at this period until the frame has left.
constexpr int baudSwitchTickMs = 2;
// Three bytes take 6 ms at 4800 baud. A driver that has not sent them in this time is stuck, and
// moving the port would leave the module unreachable at a rate it never heard of.
constexpr int baudSwitchTimeoutMs = 500;
// Bytes the driver has not sent yet; 0 where the platform cannot tell.
int driverOutputQueue(QSerialPort *port)
{
#ifdef Q_OS_UNIX
    int bytes = 0;
    if (::ioctl(port->handle(), TIOCOUTQ, &bytes) == 0)
        return bytes;
#else
    Q_UNUSED(port);
#endif
    return 0;
}

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
        baudSwitch.frame = QStringLiteral("A33A01");
    else if (rate == QLatin1String("9600"))
        baudSwitch.frame = QStringLiteral("A33A02");
    else if (rate == QLatin1String("19200"))
        baudSwitch.frame = QStringLiteral("A33A03");
    else
        return;
    baudSwitch.rate = rate;

    // Earlier sends still queued (in the port and in the driver) would go out ahead of the frame, at
    // 4800 baud for seconds, and they mean nothing to a module that is about to change its rate.
    myCom->clear(QSerialPort::Output);
    // Nothing else may go out until the port has moved: no sends, no other frame, no second change.
    setPortCommandsEnabled(false);
    autoSendTimer->stop();
    // A tick waiting for the queue just dropped must not send when the frame has left; auto-send
    // resumes with the period once the port has moved.
    autoSendWaiting = false;

    if (!baudSwitch.timer) {
        baudSwitch.timer = new QTimer(this);
        connect(baudSwitch.timer, &QTimer::timeout, this, &MainWindow::continueBaudSwitch);
    }
    baudSwitch.deadline = QDeadlineTimer(baudSwitchTimeoutMs);
    baudSwitch.frameWritten = false;
    baudSwitch.timer->start(baudSwitchTickMs);
}

// One step of the baud change, from the event loop. The closed state (close button, unplug) stops
// the timer, so this only runs while the port is open.
void MainWindow::continueBaudSwitch()
{
    if (!baudSwitch.frameWritten) {
        // Written from the first tick, not from the click: bytes that had arrived before the frame
        // went out cannot answer it, and the event loop has taken them by now (socket notifiers are
        // served before timers), as terminal data or as the reply to an earlier read.
        sendFrame(baudSwitch.frame, baudWritePending);
        baudSwitch.frameWritten = true;
    }

    // close() would throw away what is still queued, the frame included.
    if (myCom->bytesToWrite() > 0 || driverOutputQueue(myCom) > 0) {
        if (!baudSwitch.deadline.hasExpired())
            return;
        enterClosedState();
        showPortWarning();
        return;
    }
    baudSwitch.timer->stop();
#ifdef Q_OS_UNIX
    // Only the UART's own few bytes can be left now: this returns within milliseconds.
    ::tcdrain(myCom->handle());
#endif

    const bool reopened = applyLineSettings(baudSwitch.rate);
    ui->comboBox_6->setCurrentIndex(ui->comboBox_6->findText(baudSwitch.rate));
    if (!reopened) {
        enterClosedState();
        showPortWarning();
        return;
    }
    setPortCommandsEnabled(true);
    if (ui->checkBox->isChecked()) {
        ui->lineEdit_14->setEnabled(false);
        autoSendTimer->start();
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
