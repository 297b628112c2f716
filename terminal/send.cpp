#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QMessageBox>
#include <QSerialPort>
#include <QTimer>

void MainWindow::on_pushButton_17_clicked()
{
    sendOnce();
}

void MainWindow::timeFunction()
{
    // The port queues writes in memory without limit while the line drains at most 1,920 bytes a
    // second; a short period with a long send box would grow that queue by megabytes. A tick that
    // finds earlier bytes still queued sends nothing yet. The timer waits until the line has taken
    // them (onPortBytesWritten): at a 0 ms period it would otherwise fire again at once, for as long
    // as a far end that never reads holds the line.
    if (myCom->bytesToWrite() > 0) {
        autoSendTimer->stop();
        autoSendWaiting = true;
        return;
    }
    sendOnce();
}

// The queue has drained: the send the waiting tick held back goes out now, and the period runs on.
void MainWindow::onPortBytesWritten()
{
    if (!autoSendWaiting || myCom->bytesToWrite() > 0)
        return;
    autoSendWaiting = false;
    if (!portOpen || !ui->checkBox->isChecked())
        return;
    sendOnce();
    autoSendTimer->start();
}

void MainWindow::on_checkBox_clicked()
{
    if (ui->checkBox->isChecked()) {
        autoSendTimer->start(ui->lineEdit_14->text().toInt(nullptr, 10));
        ui->lineEdit_14->setEnabled(false);
    } else {
        ui->lineEdit_14->setEnabled(true);
        autoSendTimer->stop();
        autoSendWaiting = false;
    }
}

void MainWindow::on_pushButton_12_clicked()
{
    QMessageBox::about(
        this, tr("注意事项"),
        tr("发送的16进制数用空格隔开或用16进制格式，如要发10个数1、2、3、4、5、10、11、12、13、14，就在发送窗口里写入“1"
           " 2 3 4 5 10 11 12 13 14”或者“01 02 03 04 05 10 11 12 13 14”或者“01020304051011121314”"));
}

// The blank appended to the text closes the last group, so every group is sent when the walk
// reaches a blank.
void MainWindow::sendOnce()
{
    txText = QString("%1 ").arg(ui->textEdit_2->toPlainText());
    tokenLen = 0;
    for (textPos = 0; textPos < txText.length(); ++textPos) {
        if (txText.at(textPos) != QLatin1Char(' ')) {
            ++tokenLen;
            continue;
        }
        const int groupStart = textPos - tokenLen;
        if (tokenLen % 2 == 0) {
            for (hexPos = 0; hexPos < tokenLen / 2; ++hexPos)
                sendChunk(txText.midRef(groupStart + 2 * hexPos, 2));
        } else {
            for (byteNo = 0; byteNo < tokenLen / 2; ++byteNo)
                sendChunk(txText.midRef(groupStart + 2 * byteNo, 2));
            sendChunk(txText.midRef(textPos - 1, 1));
        }
        tokenLen = 0;
    }
    ++sendCount;
    sentBytes += Count(ui->textEdit_2->toPlainText());
    showFigure(ui->label_22, QString("%1").arg(sentBytes));
    showFigure(ui->label_46, QString("%1").arg(sendCount));
}

// The chunk's decimal value is written as if it were hex: "10" goes out as 0x10, "5" as 0x05, and
// anything that is not a decimal number as 0x00.
void MainWindow::sendChunk(const QStringRef &chunk)
{
    const int value = chunk.toInt(nullptr, 10);
    const QString hexText = value >= 0 && value <= 9 ? QString("0%1").arg(value) : QString("%1").arg(value);
    String2Hex(hexText, txBytes);
    myCom->write(txBytes.constData(), txBytes.size());
}
