// Sending the send box once (pushButton_17) and periodically (checkBox), checked on the master side
// of a pseudo-terminal: the bytes on the wire, the counters, the period, the notes box, and an
// auto-send that must not pile up bytes faster than the line can carry them.

#include "terminalsession.h"

#include <QSerialPort>
#include <QtTest>

class TestSend : public QObject {
    Q_OBJECT

private slots:
    void sendsOneBytePerChunk_data();
    void sendsOneBytePerChunk();
    void tenSendsOfTheStartText();
    void autoSendPeriod_data();
    void autoSendPeriod();
    void autoSendRepeatsUntilSwitchedOff();
    void autoSendFirstSendComesOnePeriodLater();
    void notesBox();
    void autoSendTickWaitsForQueuedBytes();
    void autoSendAtZeroPeriodKeepsQueueFlat();
};

void TestSend::sendsOneBytePerChunk_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<int>("countGrowth");

    const QByteArray ten = QByteArray::fromHex("01020304051011121314");
    QTest::newRow("start text, groups") << "1 2 3 4 5 10 11 12 13 14" << ten << 10;
    QTest::newRow("two-digit groups") << "01 02 03 04 05 10 11 12 13 14" << ten << 10;
    QTest::newRow("no spaces") << "01020304051011121314" << ten << 10;
    QTest::newRow("odd run") << "0102030405101112131" << QByteArray::fromHex("01020304051011121301") << 10;
    QTest::newRow("123") << "123" << QByteArray::fromHex("1203") << 2;
    QTest::newRow("053") << "053" << QByteArray::fromHex("0503") << 2;
    QTest::newRow("1234567") << "1234567" << QByteArray::fromHex("12345607") << 4;
    QTest::newRow("long group counts once") << "12 3456" << QByteArray::fromHex("123456") << 2;
    QTest::newRow("hex letters read as 0") << "0A" << QByteArray::fromHex("00") << 1;
    QTest::newRow("FF reads as 0") << "FF" << QByteArray::fromHex("00") << 1;
    QTest::newRow("letters in groups") << "ab 1z" << QByteArray::fromHex("0000") << 2;
    QTest::newRow("minus sign") << "-5" << QByteArray::fromHex("f5") << 1;
    QTest::newRow("extra spaces") << "  01   02 " << QByteArray::fromHex("0102") << 2;
    QTest::newRow("line break inside a group") << "1\n2" << QByteArray::fromHex("0102") << 2;
    QTest::newRow("empty") << "" << QByteArray() << 0;
    QTest::newRow("spaces only") << "   " << QByteArray() << 0;
}

void TestSend::sendsOneBytePerChunk()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, wire);
    QFETCH(int, countGrowth);

    TerminalSession s;
    QVERIFY(s.open());
    s.typeSendText(text);
    QCOMPARE(s.ui->textEdit_2->toPlainText(), text);
    // Counters that are not zero, so that growth is told apart from assignment.
    const qint64 sentBefore = 100;
    const qint64 sendsBefore = 7;
    s.access.setCounters(sentBefore, 0, sendsBefore, 0);

    s.clickSend();
    QCOMPARE(s.pty.read(wire.size()), wire);
    QCOMPARE(s.pty.drain(50), QByteArray());

    QCOMPARE(s.access.sendCount(), sendsBefore + 1);
    QCOMPARE(s.access.sentBytes(), sentBefore + countGrowth);
    QCOMPARE(s.ui->label_46->text(), QString::number(sendsBefore + 1));
    QCOMPARE(s.ui->label_22->text(), QString::number(sentBefore + countGrowth));
    // Nothing is echoed into the receive box.
    QCOMPARE(s.ui->textBrowser->toPlainText(), QString());
}

void TestSend::tenSendsOfTheStartText()
{
    TerminalSession s;
    QVERIFY(s.open());
    QCOMPARE(s.ui->textEdit_2->toPlainText(), QString("1 2 3 4 5 6 7 8 9 10 11 12 13 14"));
    for (int i = 0; i < 10; ++i)
        s.clickSend();
    const QByteArray once = QByteArray::fromHex("0102030405060708091011121314");
    QCOMPARE(s.pty.read(140), once.repeated(10));
    QCOMPARE(s.ui->label_46->text(), QString("10"));
    QCOMPARE(s.ui->label_22->text(), QString("140"));
}

void TestSend::autoSendPeriod_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("interval");
    QTest::newRow("as at start") << QString("keep") << 1000;
    QTest::newRow("50 ms") << "50" << 50;
    QTest::newRow("six digits") << "999999" << 999999;
    QTest::newRow("zero") << "0" << 0;
    QTest::newRow("empty") << "" << 0;
}

void TestSend::autoSendPeriod()
{
    QFETCH(QString, typed);
    QFETCH(int, interval);

    TerminalSession s;
    QVERIFY(s.open());
    if (typed != "keep")
        s.typePeriod(typed);
    s.clickAutoSend();
    QVERIFY(s.ui->checkBox->isChecked());
    QVERIFY(s.access.autoSendTimer()->isActive());
    QCOMPARE(s.access.autoSendTimer()->interval(), interval);
    QVERIFY(!s.ui->lineEdit_14->isEnabled());

    s.clickAutoSend();
    QVERIFY(!s.ui->checkBox->isChecked());
    QVERIFY(!s.access.autoSendTimer()->isActive());
    QVERIFY(s.ui->lineEdit_14->isEnabled());
}

void TestSend::autoSendRepeatsUntilSwitchedOff()
{
    TerminalSession s;
    QVERIFY(s.open());
    s.typeSendText("7 8");
    s.typePeriod("10");
    s.clickAutoSend();
    QCOMPARE(s.pty.read(6), QByteArray::fromHex("070807080708"));
    QTRY_VERIFY(s.access.sendCount() >= 3);

    s.clickAutoSend();
    const qint64 sends = s.access.sendCount();
    const QByteArray rest = s.pty.drain(50);
    QCOMPARE(rest, QByteArray::fromHex("0708").repeated(rest.size() / 2));
    QCOMPARE(s.pty.drain(100), QByteArray());
    QCOMPARE(s.access.sendCount(), sends);
    QCOMPARE(s.ui->label_46->text(), QString::number(sends));
    QCOMPARE(s.ui->label_22->text(), QString::number(2 * sends));
}

void TestSend::autoSendFirstSendComesOnePeriodLater()
{
    TerminalSession s;
    QVERIFY(s.open());
    s.clickAutoSend();
    // The tick does not send by itself.
    QCOMPARE(s.access.sendCount(), qint64(0));
    QCOMPARE(s.pty.readAvailable(), QByteArray());
    QCOMPARE(s.pty.read(14), QByteArray::fromHex("0102030405060708091011121314"));
    QCOMPARE(s.access.sendCount(), qint64(1));
}

void TestSend::notesBox()
{
    TerminalSession s;
    ModalCatcher boxes;
    TerminalSession::click(s.ui->pushButton_12);
    QTRY_COMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes[0].title, QString("注意事项"));
    QCOMPARE(
        boxes.boxes[0].text,
        QString("发送的16进制数用空格隔开或用16进制格式，如要发10个数1、2、3、4、5、10、11、12、13、14，就在发送窗口里"
                "写入“1 2 3 4 5 10 11 12 13 14”或者“01 02 03 04 05 10 11 12 13 14”或者“01020304051011121314”"));
    QCOMPARE(boxes.boxes[0].buttonCount, 1);
}

namespace {

// A send box of `groups` two-digit groups: one send puts that many bytes on the line.
QString longSendText(int groups)
{
    QStringList parts;
    for (int i = 0; i < groups; ++i)
        parts << QString::number(10 + i % 90);
    return parts.join(' ');
}

QByteArray longSendBytes(int groups)
{
    QByteArray bytes;
    for (int i = 0; i < groups; ++i)
        bytes += QByteArray::fromHex(QByteArray::number(10 + i % 90));
    return bytes;
}

} // namespace

void TestSend::autoSendTickWaitsForQueuedBytes()
{
    TerminalSession s;
    QVERIFY(s.open());
    const int groups = 3000;
    s.ui->textEdit_2->setPlainText(longSendText(groups));
    QSerialPort *port = s.access.port();

    // Nobody reads the far end: once the kernel's buffers are full, sends stay queued in the port.
    for (int i = 0; i < 200 && port->bytesToWrite() == 0; ++i) {
        s.clickSend();
        QTest::qWait(5);
    }
    QVERIFY(port->bytesToWrite() > 0);

    const qint64 queued = port->bytesToWrite();
    const qint64 sends = s.access.sendCount();
    const qint64 sent = s.access.sentBytes();
    s.access.timeFunction();
    QCOMPARE(port->bytesToWrite(), queued);
    QCOMPARE(s.access.sendCount(), sends);
    QCOMPARE(s.access.sentBytes(), sent);
    QCOMPARE(s.ui->label_46->text(), QString::number(sends));

    // A click always sends (its bytes are among those on the wire below).
    s.clickSend();
    QCOMPARE(s.access.sendCount(), sends + 1);

    // Once the line has drained, the tick sends again.
    QByteArray wire;
    QTRY_VERIFY((wire += s.pty.readAvailable(), port->bytesToWrite() == 0));
    s.access.timeFunction();
    QCOMPARE(s.access.sendCount(), sends + 2);
    wire += s.pty.read(int((sends + 2) * groups) - wire.size());
    QCOMPARE(wire, longSendBytes(groups).repeated(int(sends + 2)));
}

void TestSend::autoSendAtZeroPeriodKeepsQueueFlat()
{
    TerminalSession s;
    QVERIFY(s.open());
    const int groups = 2000;
    s.ui->textEdit_2->setPlainText(longSendText(groups));
    s.typePeriod("0");
    s.clickAutoSend();

    // Half a second of sending into a line nobody reads. Unchecked, the queue would grow by
    // thousands of sends here.
    QSerialPort *port = s.access.port();
    QTest::qWait(500);
    QVERIFY(s.access.sendCount() > 0);
    QVERIFY2(port->bytesToWrite() <= groups, qPrintable(QString::number(port->bytesToWrite())));
    // The stalled line costs nothing: the timer waits for it rather than firing again at once. A
    // tick comes only when the line has taken the last send, and then sends (or waits once more).
    QSignalSpy ticks(s.access.autoSendTimer(), &QTimer::timeout);
    const qint64 sendsBefore = s.access.sendCount();
    QTest::qWait(200);
    const qint64 sendsMeanwhile = s.access.sendCount() - sendsBefore;
    QVERIFY2(ticks.count() <= 2 * sendsMeanwhile + 1,
             qPrintable(QString("%1 ticks for %2 sends").arg(ticks.count()).arg(sendsMeanwhile)));

    // The far end reads for a while, then auto-send is switched off.
    QByteArray wire = s.pty.drain(300);
    s.clickAutoSend();
    QTRY_VERIFY((wire += s.pty.readAvailable(), port->bytesToWrite() == 0));
    wire += s.pty.drain(50);

    // Every counted send reached the wire, and nothing else did.
    const qint64 sends = s.access.sendCount();
    QVERIFY(sends > 1);
    QCOMPARE(wire.size(), int(sends * groups));
    QCOMPARE(wire, longSendBytes(groups).repeated(int(sends)));
    QCOMPARE(s.access.sentBytes(), sends * groups);
}

QTEST_MAIN(TestSend)
#include "tst_send.moc"
