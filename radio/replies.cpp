// The module's answers: the parameter reply to a read, and the one-byte acknowledgement of a write.

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QDeadlineTimer>
#include <QLineEdit>
#include <QSerialPort>

namespace {

// The module's reply can arrive over several notifications; this is how long it gets to complete.
constexpr int replyGatherMs = 100;
constexpr int replyLength = 7;

} // namespace

void MainWindow::decodeParamReply()
{
    // QSerialPort only reads the line when asked, so a plain sleep here would leave the rest of the
    // reply in the driver. Keep taking what arrives instead. This runs inside the port's readyRead(),
    // and the port does not emit readyRead() again from a wait made during that emission, so the
    // wait cannot re-enter readMyCom.
    const QDeadlineTimer deadline(replyGatherMs);
    rxBytes = myCom->readAll();
    while (!deadline.hasExpired() && myCom->waitForReadyRead(int(deadline.remainingTime())))
        rxBytes += myCom->readAll();
    showParamReply();
}

// Echoes and decodes the block in rxBytes. Kept apart from the gathering read so that the decoding
// can be driven with any block, port or no port.
void MainWindow::showParamReply()
{
    appendToReceiveBox(rxBytes);
    const QByteArray hex = rxBytes.toHex();
    // A lone 00 does not count as the reply: the block after it is taken as the reply instead.
    if (hex == "00")
        return;
    readParamPending = false;
    // Decoding a short block would show the channel and ID of bytes that never came (AA, AAAA).
    if (rxBytes.size() < replyLength)
        return;

    const auto digit = [this, &hex](int pos) {
        return QstrtoInt(QString::fromLatin1(hex.mid(pos, 1)));
    };
    replyChannel = digit(2) * 16 + digit(3);
    ui->lineEdit_23->setText(QString::number(replyChannel));
    replyId = ((digit(10) * 16 + digit(11)) * 16 + digit(12)) * 16 + digit(13);
    ui->lineEdit_25->setText(QString::number(replyId));

    // A code the tables do not know leaves the field showing the last known value.
    const QByteArray rateCode = hex.mid(4, 2);
    if (rateCode == "64")
        ui->lineEdit_24->setText(tr("100"));

    const QByteArray baudCode = hex.mid(6, 2);
    if (baudCode == "01")
        ui->lineEdit_26->setText(tr("4800"));
    else if (baudCode == "02")
        ui->lineEdit_26->setText(tr("9600"));
    else if (baudCode == "03")
        ui->lineEdit_26->setText(tr("19200"));

    const QByteArray powerCode = hex.mid(8, 2);
    if (powerCode == "00")
        ui->lineEdit_27->setText(tr("0"));
    else if (powerCode == "05")
        ui->lineEdit_27->setText(tr("5"));
    else if (powerCode == "07")
        ui->lineEdit_27->setText(tr("7"));
    else if (powerCode == "0a")
        ui->lineEdit_27->setText(tr("10"));
}

void MainWindow::confirmPendingWrites()
{
    // Called for every received block: at 1,920 blocks a second, building the verdict (a translation
    // lookup and an array) for no pending write cost more than taking the block in.
    if (!channelWritePending && !idWritePending && !baudWritePending && !powerWritePending)
        return;
    // One block settles every pending write with the same verdict: the module acknowledges with a
    // bare AA and the frames carry nothing that would tell the answers apart.
    const QString verdict = rxBytes == QByteArray(1, char(0xAA)) ? tr("OK") : tr("ERROR");
    const struct {
        bool &pending;
        QLineEdit *status;
    } writes[] = {
        {channelWritePending, ui->lineEdit_16},
        {idWritePending, ui->lineEdit_20},
        {baudWritePending, ui->lineEdit_21},
        {powerWritePending, ui->lineEdit_22},
    };
    for (const auto &write : writes) {
        if (!write.pending)
            continue;
        write.status->setText(verdict);
        write.pending = false;
    }
}
