// Opening and closing the port with pushButton_10, on real pseudo-terminals: line settings, the
// warning for a missing or busy device, the enabled batches, the housekeeping buttons, and a cable
// pulled while auto-send runs. Which device each port name opens, on machines described by the
// serial devices they have.

#include "terminalsession.h"

#include <QAbstractItemView>
#include <QPointer>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <memory>
#include <sys/syscall.h>

namespace {

// Writes to this descriptor fail the way a USB adapter's do between the unplug and the hang-up.
std::atomic<int> failingWriteFd{-1};

// Counts every message box shown, however briefly and whoever closes it.
class BoxCounter : public QObject {
public:
    BoxCounter() { qApp->installEventFilter(this); }
    int shown = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show && qobject_cast<QMessageBox *>(watched))
            ++shown;
        return false;
    }
};

} // namespace

// The system call under the port, for the whole test program: it fails only for failingWriteFd.
extern "C" ssize_t write(int fd, const void *buffer, size_t size)
{
    if (fd >= 0 && fd == failingWriteFd.load()) {
        errno = ENODEV;
        return -1;
    }
    return ::syscall(SYS_write, fd, buffer, size);
}

class TestPort : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QSerialPort::SerialPortError>(); }
    void opensAtChosenRateWith8N1_data();
    void opensAtChosenRateWith8N1();
    void missingDeviceWarnsAndChangesNothing();
    void busyDeviceWarns();
    void controlBatches_data();
    void controlBatches();
    void buttonTextAndColour();
    void closingStopsAutoSend();
    void reopenUsesAFreshPortObject();
    void exitButtonClosesWindowWhilePortOpen();
    void clearButtonsLeaveCountersAlone();
    void receiveBoxAppendsAtEndAfterClickInside();
    void portFailureClosesPortOnce_data();
    void portFailureClosesPortOnce();
    void failureTheUserClosedFirstAddsNoBox();
    void pullsOnOneLongLivedWindow_data();
    void pullsOnOneLongLivedWindow();
    void destroyingWindowReleasesDevice();
    void portDevices_data();
    void portDevices();
    void toolTipsFollowDevices();
};

void TestPort::opensAtChosenRateWith8N1_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("speed");
    QTest::newRow("start-up rate") << QString() << "9600" << int(B9600);
    QTest::newRow("4800") << "4"
                          << "4800" << int(B4800);
    QTest::newRow("9600") << "9"
                          << "9600" << int(B9600);
    QTest::newRow("19200") << "1"
                           << "19200" << int(B19200);
}

void TestPort::opensAtChosenRateWith8N1()
{
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(int, speed);

    TerminalSession s;
    QVERIFY(s.pty.isValid());
    // Leave the line in a state the program has to undo: 7 data bits, even parity, two stop bits,
    // hardware and software handshake, another speed.
    termios t = s.pty.slaveTermios();
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_iflag |= IXON | IXOFF;
    cfsetispeed(&t, B2400);
    cfsetospeed(&t, B2400);
    QVERIFY(::tcsetattr(s.pty.masterFd(), TCSANOW, &t) == 0);

    if (!typed.isEmpty())
        s.pickRate(typed);
    QCOMPARE(s.ui->comboBox_6->currentText(), shown);
    QVERIFY(s.open());

    t = s.pty.slaveTermios();
    QCOMPARE(int(cfgetospeed(&t)), speed);
    QCOMPARE(int(cfgetispeed(&t)), speed);
    QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(t.c_cflag & PARENB, tcflag_t(0));
    QCOMPARE(t.c_cflag & CSTOPB, tcflag_t(0));
    QCOMPARE(t.c_cflag & CRTSCTS, tcflag_t(0));
    QCOMPARE(t.c_iflag & (IXON | IXOFF | IXANY), tcflag_t(0));
    QVERIFY(s.access.port()->openMode() == QIODevice::ReadWrite);

    // Both directions carry bytes unchanged: no handshake characters taken, no line ends translated.
    s.typeSendText("11 13 10 03");
    s.clickSend();
    QCOMPARE(s.pty.read(4), QByteArray::fromHex("11131003"));
    QVERIFY(s.deliver(QByteArray("\x0D\x0A\x11\x13", 4)));
    QCOMPARE(s.receivedText(), QString("0D 0A 11 13 "));
}

void TestPort::missingDeviceWarnsAndChangesNothing()
{
    QTemporaryDir dir;
    TerminalSession s(QStringLiteral("COM8"));
    redirectPortForTesting(s.portName(), dir.filePath("ttyGone"));
    ModalCatcher boxes;

    s.pickPort("COM8");
    s.clickOpenClose();
    QTRY_COMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes[0].title, QString("提示"));
    QCOMPARE(boxes.boxes[0].text, QString("串口被占用或不存在"));
    QCOMPARE(boxes.boxes[0].buttonCount, 1);

    QVERIFY(!s.access.portOpen());
    QCOMPARE(s.ui->pushButton_10->text(), QString("打开串口"));
    QCOMPARE(s.ui->pushButton_10->styleSheet(), QString("background: pink"));
    QVERIFY(s.ui->comboBox_5->isEnabled());
    QVERIFY(s.ui->comboBox_6->isEnabled());
    QVERIFY(!s.ui->pushButton_17->isEnabled());
    QVERIFY(!s.ui->checkBox->isEnabled());
    QVERIFY(!s.access.port()->isOpen());

    // A second click tries again, with a fresh port object; the failed one is released.
    QPointer<QSerialPort> failed = s.access.port();
    s.clickOpenClose();
    QTRY_COMPARE(boxes.boxes.size(), 2);
    QVERIFY(failed.isNull());

    // Once the device is there, the same click opens it.
    redirectPortForTesting(s.portName(), s.pty.slavePath());
    s.clickOpenClose();
    QVERIFY(s.access.portOpen());
    QCOMPARE(boxes.boxes.size(), 2);
}

void TestPort::busyDeviceWarns()
{
    TerminalSession s;
    ModalCatcher boxes;
    // Another program holds the line.
    QSerialPort other(s.pty.slavePath());
    QVERIFY(other.open(QIODevice::ReadWrite));

    QVERIFY(!s.open());
    QTRY_COMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes[0].title, QString("提示"));
    QCOMPARE(boxes.boxes[0].text, QString("串口被占用或不存在"));
    QVERIFY(!s.ui->pushButton_17->isEnabled());

    other.close();
    s.clickOpenClose();
    QVERIFY(s.access.portOpen());
    QCOMPARE(boxes.boxes.size(), 1);
}

void TestPort::controlBatches_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("atStart");
    QTest::addColumn<bool>("afterOpen");
    QTest::addColumn<bool>("afterClose");
    QTest::newRow("port") << "comboBox_5" << true << false << true;
    QTest::newRow("terminal baud rate") << "comboBox_6" << true << false << true;
    QTest::newRow("send") << "pushButton_17" << false << true << false;
    QTest::newRow("write channel") << "pushButton_18" << false << true << false;
    QTest::newRow("write ID") << "pushButton_20" << false << true << false;
    QTest::newRow("write module baud rate") << "pushButton_21" << false << true << false;
    QTest::newRow("write power") << "pushButton_22" << false << true << false;
    QTest::newRow("read parameters") << "pushButton_23" << false << true << false;
    QTest::newRow("module baud rate") << "comboBox_7" << false << true << false;
    QTest::newRow("power") << "comboBox_8" << false << true << false;
    QTest::newRow("auto-send period") << "lineEdit_14" << false << true << false;
    QTest::newRow("channel") << "lineEdit_15" << false << true << false;
    QTest::newRow("ID") << "lineEdit_19" << false << true << false;
    QTest::newRow("auto-send") << "checkBox" << false << true << false;
    // Never unlocked: the channel-rate row and the result fields.
    QTest::newRow("channel-rate write") << "pushButton_19" << false << false << false;
    QTest::newRow("channel status") << "lineEdit_16" << false << false << false;
    QTest::newRow("channel-rate input") << "lineEdit_17" << false << false << false;
    QTest::newRow("channel-rate status") << "lineEdit_18" << false << false << false;
    QTest::newRow("ID status") << "lineEdit_20" << false << false << false;
    QTest::newRow("baud status") << "lineEdit_21" << false << false << false;
    QTest::newRow("power status") << "lineEdit_22" << false << false << false;
    QTest::newRow("read-back channel") << "lineEdit_23" << false << false << false;
    QTest::newRow("read-back ID") << "lineEdit_25" << false << false << false;
    QTest::newRow("read-back power") << "lineEdit_27" << false << false << false;
    // Usable in every state.
    QTest::newRow("open/close") << "pushButton_10" << true << true << true;
    QTest::newRow("exit") << "pushButton_14" << true << true << true;
    QTest::newRow("clear send box") << "pushButton_15" << true << true << true;
    QTest::newRow("clear receive box") << "pushButton_16" << true << true << true;
    QTest::newRow("notes") << "pushButton_12" << true << true << true;
    QTest::newRow("clear counters") << "pushButton_24" << true << true << true;
}

void TestPort::controlBatches()
{
    QFETCH(QString, name);
    QFETCH(bool, atStart);
    QFETCH(bool, afterOpen);
    QFETCH(bool, afterClose);

    TerminalSession s;
    auto *widget = s.window.findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->isEnabled(), atStart);
    QVERIFY(s.open());
    QCOMPARE(widget->isEnabled(), afterOpen);
    s.clickOpenClose();
    QVERIFY(!s.access.portOpen());
    QCOMPARE(widget->isEnabled(), afterClose);
    s.clickOpenClose();
    QCOMPARE(widget->isEnabled(), afterOpen);
}

void TestPort::buttonTextAndColour()
{
    TerminalSession s;
    QCOMPARE(s.ui->pushButton_10->text(), QString("打开串口"));
    QCOMPARE(s.ui->pushButton_10->styleSheet(), QString("background: pink"));
    QVERIFY(s.open());
    QCOMPARE(s.ui->pushButton_10->text(), QString("关闭串口"));
    QCOMPARE(s.ui->pushButton_10->styleSheet(), QString("background: green"));
    s.clickOpenClose();
    QCOMPARE(s.ui->pushButton_10->text(), QString("打开串口"));
    QCOMPARE(s.ui->pushButton_10->styleSheet(), QString("background: pink"));
    QVERIFY(!s.access.port()->isOpen());
}

void TestPort::closingStopsAutoSend()
{
    TerminalSession s;
    QVERIFY(s.open());
    s.typeSendText("01 02");
    s.typePeriod("10");
    s.clickAutoSend();
    QVERIFY(s.ui->checkBox->isChecked());
    QVERIFY(!s.ui->lineEdit_14->isEnabled());
    QVERIFY(s.pty.read(6).startsWith("\x01\x02\x01\x02"));

    s.clickOpenClose();
    QVERIFY(!s.access.autoSendTimer()->isActive());
    QVERIFY(!s.ui->checkBox->isChecked());
    QVERIFY(!s.ui->checkBox->isEnabled());
    QVERIFY(!s.ui->lineEdit_14->isEnabled());
    const qint64 sends = s.access.sendCount();
    s.pty.drain(100);
    QCOMPARE(s.pty.drain(100), QByteArray());
    QCOMPARE(s.access.sendCount(), sends);

    s.clickOpenClose();
    QVERIFY(s.access.portOpen());
    QVERIFY(s.ui->checkBox->isEnabled());
    QVERIFY(!s.ui->checkBox->isChecked());
    QVERIFY(s.ui->lineEdit_14->isEnabled());
    QVERIFY(!s.access.autoSendTimer()->isActive());
}

void TestPort::reopenUsesAFreshPortObject()
{
    TerminalSession s;
    QVERIFY(s.open());
    QPointer<QSerialPort> first = s.access.port();
    s.clickOpenClose();
    QVERIFY(!first.isNull());
    QVERIFY(!first->isOpen());

    s.clickOpenClose();
    QVERIFY(s.access.portOpen());
    QVERIFY(first.isNull());

    // The new object is wired up: it sends and receives.
    s.clickSend();
    QCOMPARE(s.pty.read(14), QByteArray::fromHex("0102030405060708091011121314"));
    QVERIFY(s.deliver(QByteArray::fromHex("0102030405060708091011121314")));
    QCOMPARE(s.access.matchCount(), qint64(1));
}

void TestPort::exitButtonClosesWindowWhilePortOpen()
{
    TerminalSession s;
    QVERIFY(s.open());
    TerminalSession::click(s.ui->pushButton_14);
    QVERIFY(!s.window.isVisible());
    // Nothing asked, nothing closed first: the port goes with the window.
    QVERIFY(s.access.port()->isOpen());
}

void TestPort::clearButtonsLeaveCountersAlone()
{
    TerminalSession s;
    QVERIFY(s.open());
    s.clickSend();
    QVERIFY(s.deliver(QByteArray::fromHex("0102030405060708091011121314")));
    QVERIFY(!s.ui->textBrowser->toPlainText().isEmpty());

    TerminalSession::click(s.ui->pushButton_16);
    QCOMPARE(s.ui->textBrowser->toPlainText(), QString());
    TerminalSession::click(s.ui->pushButton_15);
    QCOMPARE(s.ui->textEdit_2->toPlainText(), QString());

    QCOMPARE(s.access.sendCount(), qint64(1));
    QCOMPARE(s.access.sentBytes(), qint64(14));
    QCOMPARE(s.access.receivedBytes(), qint64(14));
    QCOMPARE(s.access.matchCount(), qint64(1));
    QCOMPARE(s.ui->label_46->text(), QString("1"));
    QCOMPARE(s.ui->label_22->text(), QString("14"));
    QCOMPARE(s.ui->label_26->text(), QString("14"));
    QCOMPARE(s.ui->label_32->text(), QString("1"));

    // The cleared receive box takes new data from its start.
    QVERIFY(s.deliver(QByteArray::fromHex("0aff")));
    QCOMPARE(s.ui->textBrowser->toPlainText(), QString("0A FF "));
}

void TestPort::receiveBoxAppendsAtEndAfterClickInside()
{
    TerminalSession s;
    QVERIFY(s.open());
    QByteArray block;
    for (int i = 0; i < 300; ++i)
        block += char(i);
    QVERIFY(s.deliver(block));
    const QString before = s.receivedText();

    // Scroll to the top, click into the first line and select a word, as a user reading back would.
    QTextBrowser *box = s.ui->textBrowser;
    box->verticalScrollBar()->setValue(0);
    QTest::mouseDClick(box->viewport(), Qt::LeftButton, {}, QPoint(10, 8));
    QVERIFY(box->textCursor().position() < 10);

    QVERIFY(s.deliver(QByteArray::fromHex("a5")));
    QCOMPARE(s.receivedText(), before + "A5 ");
    QCOMPARE(box->textCursor().position(), box->document()->characterCount() - 1);
    QVERIFY(box->verticalScrollBar()->value() > 0);
    QVERIFY(box->viewport()->rect().contains(box->cursorRect()));
}

void TestPort::portFailureClosesPortOnce_data()
{
    QTest::addColumn<bool>("pulled");
    QTest::addColumn<QSerialPort::SerialPortError>("firstError");
    QTest::newRow("cable pulled") << true << QSerialPort::ResourceError;
    QTest::newRow("writes fail") << false << QSerialPort::WriteError;
}

void TestPort::portFailureClosesPortOnce()
{
    QFETCH(bool, pulled);
    QFETCH(QSerialPort::SerialPortError, firstError);
    ModalCatcher boxes;
    TerminalSession s;
    QVERIFY(s.open());
    s.typePeriod("0");
    s.clickAutoSend();
    QVERIFY(!s.pty.read(100).isEmpty());

    QSignalSpy errors(s.access.port(), &QSerialPort::errorOccurred);
    if (pulled)
        s.pty.closeMaster();
    else
        failingWriteFd = int(s.access.port()->handle());

    QTRY_COMPARE(boxes.boxes.size(), 1);
    failingWriteFd = -1;
    QCOMPARE(boxes.boxes[0].title, QString("提示"));
    QCOMPARE(boxes.boxes[0].text, QString("串口被占用或不存在"));
    QCOMPARE(boxes.boxes[0].buttonCount, 1);
    QVERIFY(!s.access.portOpen());
    QVERIFY(!s.access.port()->isOpen());
    QCOMPARE(s.ui->pushButton_10->text(), QString("打开串口"));
    QCOMPARE(s.ui->pushButton_10->styleSheet(), QString("background: pink"));
    QVERIFY(!s.ui->checkBox->isChecked());
    QVERIFY(!s.ui->checkBox->isEnabled());
    QVERIFY(!s.access.autoSendTimer()->isActive());
    QVERIFY(!s.ui->pushButton_17->isEnabled());
    QVERIFY(s.ui->comboBox_5->isEnabled());

    // Left open, the dead port would report hundreds of thousands of errors in this time.
    const int reported = errors.count();
    QVERIFY(reported >= 1);
    QCOMPARE(errors.first().first().value<QSerialPort::SerialPortError>(), firstError);
    QTest::qWait(300);
    QCOMPARE(errors.count(), reported);
    QVERIFY2(reported < 100, qPrintable(QString::number(reported)));
    QCOMPARE(boxes.boxes.size(), 1);
    // Closing reports nothing of its own.
    for (const QList<QVariant> &error : errors)
        QVERIFY(error.first().value<QSerialPort::SerialPortError>() != QSerialPort::NotOpenError);

    // Cable back in (a new line under the same name): opening again works.
    PtyPair again;
    redirectPortForTesting(s.portName(), again.slavePath());
    s.clickOpenClose();
    QVERIFY(s.access.portOpen());
    s.clickSend();
    QCOMPARE(again.read(14), QByteArray::fromHex("0102030405060708091011121314"));
    QCOMPARE(boxes.boxes.size(), 1);
}

// The port's write fails, and the user closes the port before the failure has been dealt with.
void TestPort::failureTheUserClosedFirstAddsNoBox()
{
    ModalCatcher boxes;
    TerminalSession s;
    QVERIFY(s.open());
    s.clickSend();
    QSignalSpy errors(s.access.port(), &QSerialPort::errorOccurred);
    failingWriteFd = int(s.access.port()->handle());
    // The write the event loop would have made, made now.
    s.access.port()->flush();
    failingWriteFd = -1;
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.first().first().value<QSerialPort::SerialPortError>(), QSerialPort::WriteError);

    s.clickOpenClose();
    QVERIFY(!s.access.portOpen());
    QTest::qWait(100);
    QCOMPARE(boxes.boxes.size(), 0);
    QCOMPARE(s.ui->pushButton_10->text(), QString("打开串口"));
}

// One window used for hours: the cable pulled again and again during auto-send, at moments spread
// over the send period, while the window takes in echoes. Every pull must give exactly one box.
void TestPort::pullsOnOneLongLivedWindow_data()
{
    QTest::addColumn<QString>("period");
    QTest::addColumn<int>("pulls");
    QTest::newRow("0 ms") << "0" << 200;
    QTest::newRow("100 ms") << "100" << 200;
}

void TestPort::pullsOnOneLongLivedWindow()
{
    QFETCH(QString, period);
    QFETCH(int, pulls);
    ModalCatcher boxes;
    BoxCounter counter;
    TerminalSession s;
    s.typeSendText("01 02 03 04 05 06 07 08 09 10 11 12 13 14");
    const int spread = period.toInt() + 10;
    int lost = 0;
    int extra = 0;
    int vanished = 0;
    for (int pull = 0; pull < pulls; ++pull) {
        auto line = std::make_unique<PtyPair>();
        redirectPortForTesting(s.portName(), line->slavePath());
        QVERIFY(s.open());
        s.typePeriod(period);
        s.clickAutoSend();
        // The far end echoes what it got, so that the window is taking in data when the cable goes;
        // every third pull finds a parameter read pending, every fourth a baud change under way.
        const QByteArray got = line->drain(pull * 7 % spread);
        line->write(got.right(256));
        if (pull % 3 == 1)
            TerminalSession::click(s.ui->pushButton_23);
        if (pull % 4 == 2)
            TerminalSession::click(s.ui->pushButton_21);
        const int caughtBefore = boxes.boxes.size();
        const int shownBefore = counter.shown;
        line->closeMaster();

        QDeadlineTimer deadline(5000);
        while ((s.access.portOpen() || boxes.boxes.size() == caughtBefore) && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        // Time for a second box, if one were coming.
        QTest::qWait(20);
        const int caught = boxes.boxes.size() - caughtBefore;
        const int shown = counter.shown - shownBefore;
        lost += caught == 0;
        extra += std::max(caught - 1, 0);
        vanished += shown - caught;
        QVERIFY2(!s.access.portOpen(), qPrintable(QString("pull %1: the port stayed open").arg(pull)));
        QVERIFY(!s.access.readParamPending());
        QVERIFY(!s.access.baudWritePending());
    }
    qInfo("%d pulls at %s ms: %d boxes shown, %d caught; %d pulls without a box, %d extra boxes, %d boxes gone "
          "before anyone saw them",
          pulls, qPrintable(period), counter.shown, int(boxes.boxes.size()), lost, extra, vanished);
    QCOMPARE(lost, 0);
    QCOMPARE(extra, 0);
    QCOMPARE(vanished, 0);
    QCOMPARE(int(boxes.boxes.size()), pulls);
}

void TestPort::destroyingWindowReleasesDevice()
{
    PtyPair pty;
    QPointer<QSerialPort> port;
    {
        TerminalSession s;
        redirectPortForTesting(s.portName(), pty.slavePath());
        QVERIFY(s.open());
        port = s.access.port();
        QSerialPort meanwhile(pty.slavePath());
        QVERIFY(!meanwhile.open(QIODevice::ReadWrite));
    }
    QVERIFY(port.isNull());
    QSerialPort after(pty.slavePath());
    QVERIFY(after.open(QIODevice::ReadWrite));
}

namespace {

// "ttyS2-" stands for a node with no UART behind it.
QVector<SerialNode> nodes(const QStringList &names)
{
    QVector<SerialNode> present;
    for (const QString &name : names)
        present.append({name.endsWith('-') ? name.chopped(1) : name, !name.endsWith('-')});
    return present;
}

} // namespace

void TestPort::portDevices_data()
{
    QTest::addColumn<QStringList>("present");
    // The devices of COM1..COM8, without "/dev/".
    QTest::addColumn<QStringList>("opened");
    const QStringList own{"ttyS0", "ttyS1", "ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3", "ttyACM0", "ttyACM1"};
    const auto ownWith = [&](QHash<int, QString> changes) {
        QStringList list = own;
        for (auto c = changes.cbegin(); c != changes.cend(); ++c)
            list[c.key()] = c.value();
        return list;
    };
    QTest::newRow("nothing") << QStringList() << own;
    QTest::newRow("every name's own") << own << own;
    QTest::newRow("PC, spare ttyS nodes") << QStringList{"ttyS0", "ttyS1-", "ttyS2-", "ttyS3-"} << own;
    QTest::newRow("on-board UART at ttyS4")
        << QStringList{"ttyS0", "ttyS1-", "ttyS2-", "ttyS3-", "ttyS4"} << ownWith({{1, "ttyS4"}});
    QTest::newRow("Raspberry Pi") << QStringList{"ttyAMA0"} << ownWith({{0, "ttyAMA0"}});
    QTest::newRow("Pi with mini UART") << QStringList{"ttyS0", "ttyAMA0"} << ownWith({{1, "ttyAMA0"}});
    QTest::newRow("fifth USB adapter") << QStringList{"ttyS0", "ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3", "ttyUSB4"}
                                       << ownWith({{1, "ttyUSB4"}});
    QTest::newRow("CH341 vendor driver") << QStringList{"ttyS0", "ttyS1", "ttyCH341USB0"}
                                         << ownWith({{2, "ttyCH341USB0"}});
    QTest::newRow("Bluetooth link") << QStringList{"rfcomm0"} << ownWith({{0, "rfcomm0"}});
    QTest::newRow("UARTs, then USB, then the rest")
        << QStringList{"rfcomm0", "ttyXRUSB0", "ttyTHS1", "ttyACM5", "ttymxc0"}
        << ownWith({{0, "ttyTHS1"}, {1, "ttymxc0"}, {2, "ttyACM5"}, {3, "ttyXRUSB0"}, {4, "rfcomm0"}});
    QTest::newRow("numbers in numeric order")
        << QStringList{"ttyS0", "ttyS1", "ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3", "ttyUSB10", "ttyUSB4"}
        << ownWith({{6, "ttyUSB4"}, {7, "ttyUSB10"}});
    QTest::newRow("own device without a UART is spare")
        << QStringList{"ttyS0-", "ttyUSB7"} << ownWith({{0, "ttyUSB7"}});
    QTest::newRow("more devices than names") << own + QStringList{"ttyUSB4", "ttyAMA0"} << own;
    QTest::newRow("a later name gets the spare")
        << QStringList{"ttyS0", "ttyS1", "ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3", "ttyACM0", "ttyAMA0"}
        << ownWith({{7, "ttyAMA0"}});
    QTest::newRow("not serial port names")
        << QStringList{"tty1", "ttyprintk", "ttyS", "ttyUSBx", "ttyS+1", "ttyS 1", "console", "ptmx", "ttyUSB4a"}
        << own;
    QTest::newRow("listed twice") << QStringList{"ttyUSB9", "ttyUSB9"} << ownWith({{0, "ttyUSB9"}});
}

void TestPort::portDevices()
{
    QFETCH(QStringList, present);
    QFETCH(QStringList, opened);
    const QHash<QString, QString> devices = ::portDevices(nodes(present));
    QStringList got;
    for (int i = 1; i <= 8; ++i) {
        const QString path = devices.value(QString("COM%1").arg(i));
        got << (path.startsWith("/dev/") ? path.mid(5) : path);
    }
    QCOMPARE(got, opened);
    QCOMPARE(devices.size(), 8);
}

// What a user sees: the tooltip of each name in the list, as it is when the list is opened and
// when the port is opened.
void TestPort::toolTipsFollowDevices()
{
    QStringList present{"ttyS0", "ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3", "ttyACM0", "ttyAMA0"};
    listSerialNodesForTesting([&] { return nodes(present); });
    const auto restore = qScopeGuard([] { listSerialNodesForTesting(nullptr); });
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    MainWindowTestAccess access(window);
    QComboBox *ports = access.ui()->comboBox_5;
    const auto tip = [&](int index) {
        return ports->itemData(index, Qt::ToolTipRole).toString();
    };
    QCOMPARE(tip(0), QString("/dev/ttyS0"));
    QCOMPARE(tip(1), QString("/dev/ttyAMA0"));
    QCOMPARE(tip(2), QString("/dev/ttyUSB0"));
    QCOMPARE(tip(7), QString("/dev/ttyACM1"));

    // An adapter plugged in with the window open shows up when the list is opened.
    present << "ttyXRUSB9";
    QTest::mouseClick(ports, Qt::LeftButton);
    QTRY_VERIFY(ports->view()->isVisible());
    QCOMPARE(tip(7), QString("/dev/ttyXRUSB9"));
    ports->hidePopup();

    // The open attempt takes the device the name has then, and says so.
    ModalCatcher boxes;
    TerminalSession::choose(ports, "COM8");
    QCOMPARE(ports->currentText(), QString("COM8"));
    TerminalSession::click(access.ui()->pushButton_10);
    QVERIFY(access.port());
    QCOMPARE(access.port()->portName(), QString("ttyXRUSB9"));
    QTRY_COMPARE(boxes.boxes.size(), 1);

    present.removeLast();
    present << "rfcomm3";
    TerminalSession::click(access.ui()->pushButton_10);
    QCOMPARE(access.port()->portName(), QString("rfcomm3"));
    QCOMPARE(tip(7), QString("/dev/rfcomm3"));
    QTRY_COMPARE(boxes.boxes.size(), 2);
}

QTEST_MAIN(TestPort)
#include "tst_port.moc"
