// The radio panel against a module on the far end of a pseudo-terminal.
//
// Where a test needs exact bytes from the module (odd replies, refusals, short blocks) it plays the
// module itself on the master side. Elsewhere the simulator answers, on a thread of its own as a
// real module would be: the window blocks while it gathers a reply, and the module must go on
// sending meanwhile.

#include "radiomodule.h"
#include "terminalsession.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <functional>
#include <thread>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

// The read-back column as the user sees it: channel, channel rate, ID, serial rate, power.
QStringList readback(const TerminalSession &s)
{
    return {s.ui->lineEdit_23->text(), s.ui->lineEdit_24->text(), s.ui->lineEdit_25->text(), s.ui->lineEdit_26->text(),
            s.ui->lineEdit_27->text()};
}

int outputSpeed(const termios &t)
{
    switch (cfgetospeed(&t)) {
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    default:
        return -1;
    }
}

// The test plays the module: clicks "读取", takes the read frame off the line and answers `reply`.
void answerRead(TerminalSession &s, const QByteArray &reply)
{
    TerminalSession::click(s.ui->pushButton_23);
    QCOMPARE(s.pty.read(2), hex("A66A"));
    QVERIFY(s.pty.write(reply));
    QTRY_VERIFY(!s.access.readParamPending());
}

// The simulator on its own thread, answering on the master side of a session's pseudo-terminal.
class ModuleThread : public QThread {
public:
    explicit ModuleThread(int fd, std::function<void(RadioModule &)> setup = {})
        : m_fd(fd)
        , m_setup(std::move(setup))
    {
        start();
        m_ready.acquire();
    }
    ~ModuleThread() override
    {
        quit();
        wait();
    }

    // Its settings and state are safe to reach from the test's thread.
    RadioModule *module() const { return m_module; }

protected:
    void run() override
    {
        RadioModule module;
        if (m_setup)
            m_setup(module);
        if (module.attach(m_fd))
            m_module = &module;
        m_ready.release();
        if (m_module)
            exec();
        m_module = nullptr;
    }

private:
    int m_fd;
    std::function<void(RadioModule &)> m_setup;
    RadioModule *m_module = nullptr;
    QSemaphore m_ready;
};

} // namespace

class TestRadio : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { qRegisterMetaType<QSerialPort::SerialPortError>(); }

    // --- command frames, read off the wire ---

    void readSendsExactlyTheReadFrame()
    {
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::click(s.ui->pushButton_23);
        QVERIFY(s.access.readParamPending());
        // A second read behind it shows that nothing (no terminator) followed the first.
        TerminalSession::click(s.ui->pushButton_23);
        QCOMPARE(s.pty.read(4), hex("A66AA66A"));
        QCOMPARE(s.ui->textBrowser->toPlainText(), QString());
    }

    void channelFrame_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("0") << "0" << hex("A77A00");
        QTest::newRow("20") << "20" << hex("A77A14");
        QTest::newRow("255") << "255" << hex("A77AFF");
        QTest::newRow("empty") << "" << hex("A77A00");
        QTest::newRow("leading zeros") << "007" << hex("A77A07");
    }
    void channelFrame()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, frame);
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::typeInto(s.ui->lineEdit_15, typed);
        TerminalSession::click(s.ui->pushButton_18);
        QCOMPARE(s.pty.read(frame.size()), frame);
        QVERIFY(s.access.channelWritePending());
    }

    void idFrame_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("0") << "0" << hex("A99A0000");
        QTest::newRow("15") << "15" << hex("A99A000F");
        QTest::newRow("1234") << "1234" << hex("A99A04D2");
        QTest::newRow("9999") << "9999" << hex("A99A270F");
        QTest::newRow("empty") << "" << hex("A99A0000");
    }
    void idFrame()
    {
        QFETCH(QString, typed);
        QFETCH(QByteArray, frame);
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::typeInto(s.ui->lineEdit_19, typed);
        TerminalSession::click(s.ui->pushButton_20);
        QCOMPARE(s.pty.read(frame.size()), frame);
        QVERIFY(s.access.idWritePending());
    }

    void powerFrame_data()
    {
        QTest::addColumn<QString>("power");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("0") << "0" << hex("ABBA00");
        QTest::newRow("5") << "5" << hex("ABBA05");
        QTest::newRow("7") << "7" << hex("ABBA07");
        QTest::newRow("10") << "10" << hex("ABBA0A");
    }
    void powerFrame()
    {
        QFETCH(QString, power);
        QFETCH(QByteArray, frame);
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::choose(s.ui->comboBox_8, power);
        QCOMPARE(s.ui->comboBox_8->currentText(), power);
        TerminalSession::click(s.ui->pushButton_22);
        QCOMPARE(s.pty.read(frame.size()), frame);
        QVERIFY(s.access.powerWritePending());
    }

    // The frame must leave before the port is closed for the new rate, and the reopened port must
    // still deliver to the window.
    void baudFrameMovesThePort_data()
    {
        QTest::addColumn<QString>("rate");
        QTest::addColumn<QByteArray>("frame");
        QTest::newRow("4800") << "4800" << hex("A33A01");
        QTest::newRow("9600") << "9600" << hex("A33A02");
        QTest::newRow("19200") << "19200" << hex("A33A03");
    }
    void baudFrameMovesThePort()
    {
        QFETCH(QString, rate);
        QFETCH(QByteArray, frame);
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::choose(s.ui->comboBox_7, rate);
        QCOMPARE(s.ui->comboBox_7->currentText(), rate);
        TerminalSession::click(s.ui->pushButton_21);
        QCOMPARE(s.pty.read(frame.size()), frame);
        QVERIFY(s.access.baudWritePending());

        QTRY_COMPARE(outputSpeed(s.pty.slaveTermios()), rate.toInt());
        const termios line = s.pty.slaveTermios();
        QCOMPARE(line.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(line.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
        QCOMPARE(line.c_iflag & (IXON | IXOFF), tcflag_t(0));
        QCOMPARE(s.ui->comboBox_6->currentText(), rate);
        QVERIFY(s.access.portOpen());
        QVERIFY(s.access.port()->isOpen());
        QCOMPARE(s.ui->pushButton_10->text(), QString::fromUtf8("关闭串口"));
        QVERIFY(!s.ui->comboBox_6->isEnabled());

        QVERIFY(s.pty.write(hex("AA")));
        QTRY_COMPARE(s.ui->lineEdit_21->text(), QStringLiteral("OK"));
    }

    // Earlier sends still queued for a far end that reads nothing: they are dropped, the frame goes
    // out at the old rate, and only then does the line move. The click itself waits for nothing.
    void baudChangeWithABacklog()
    {
        ModalCatcher boxes;
        TerminalSession s;
        QVERIFY(s.open());
        s.ui->textEdit_2->setPlainText(QStringLiteral("11 ").repeated(3000));
        QSerialPort *port = s.access.port();
        for (int i = 0; i < 200 && port->bytesToWrite() == 0; ++i) {
            s.clickSend();
            QTest::qWait(5);
        }
        QVERIFY(port->bytesToWrite() > 0);
        const qint64 handedOver = s.access.sentBytes();

        TerminalSession::choose(s.ui->comboBox_7, QStringLiteral("4800"));
        QElapsedTimer clock;
        clock.start();
        TerminalSession::click(s.ui->pushButton_21);
        qInfo("the baud click with %lld bytes handed over took %lld ms", handedOver, clock.elapsed());
        QCOMPARE(outputSpeed(s.pty.slaveTermios()), 9600);

        QTRY_COMPARE(outputSpeed(s.pty.slaveTermios()), 4800);
        QCOMPARE(s.ui->comboBox_6->currentText(), QStringLiteral("4800"));
        QVERIFY(s.access.portOpen());
        const QByteArray wire = s.pty.drain(100);
        QVERIFY(wire.endsWith(hex("A33A01")));
        const QByteArray earlier = wire.chopped(3);
        QCOMPARE(earlier.count('\x11'), earlier.size());
        QVERIFY2(earlier.size() < handedOver, qPrintable(QString::number(earlier.size())));
        QCOMPARE(port->bytesToWrite(), qint64(0));

        QVERIFY(s.deliver(hex("AA")));
        QCOMPARE(s.ui->lineEdit_21->text(), QStringLiteral("OK"));
        QCOMPARE(boxes.boxes.size(), 0);
    }

    // What had arrived before the click is taken by the event loop afterwards, as any block is:
    // not inside the click, and not as the answer to a frame that had not gone out yet.
    void baudClickLeavesWaitingInputToTheEventLoop_data()
    {
        QTest::addColumn<bool>("readPending");
        QTest::addColumn<QByteArray>("waiting");
        QTest::newRow("reply to an earlier read") << true << hex("A61464020A04D2");
        QTest::newRow("stray bytes") << false << hex("0102");
    }
    void baudClickLeavesWaitingInputToTheEventLoop()
    {
        QFETCH(bool, readPending);
        QFETCH(QByteArray, waiting);
        TerminalSession s;
        QVERIFY(s.open());
        if (readPending) {
            TerminalSession::click(s.ui->pushButton_23);
            QCOMPARE(s.pty.read(2), hex("A66A"));
        }
        TerminalSession::choose(s.ui->comboBox_7, QStringLiteral("19200"));
        QVERIFY(s.pty.write(waiting));
        // Into the driver, with no event loop running to take it.
        QThread::msleep(50);
        QCOMPARE(s.pty.unreadByProgram(), waiting.size());

        TerminalSession::click(s.ui->pushButton_21);
        QCOMPARE(s.receivedText(), QString());
        QCOMPARE(s.access.readParamPending(), readPending);

        QCOMPARE(s.pty.read(3), hex("A33A03"));
        QTRY_COMPARE(outputSpeed(s.pty.slaveTermios()), 19200);
        QVERIFY(s.waitForDisplay());
        QCOMPARE(s.receivedText(), shownAsHex(waiting));
        QVERIFY(!s.access.readParamPending());
        QVERIFY(s.access.baudWritePending());
        QCOMPARE(s.ui->lineEdit_21->text(), QString());
        QCOMPARE(s.access.receivedBytes(), qint64(readPending ? 0 : waiting.size()));
        if (readPending)
            QCOMPARE(readback(s), (QStringList{"20", "100", "1234", "9600", "10"}));

        QVERIFY(s.deliver(hex("AA")));
        QCOMPARE(s.ui->lineEdit_21->text(), QStringLiteral("OK"));
        QVERIFY(!s.access.baudWritePending());
    }

    // The line is held, so the frame cannot leave: then the cable is pulled, or nothing happens.
    // Either way the port goes to the closed state with one warning, and never to the new rate.
    void baudFrameThatCannotLeave_data()
    {
        QTest::addColumn<bool>("pulled");
        QTest::newRow("cable pulled meanwhile") << true;
        QTest::newRow("never leaves") << false;
    }
    void baudFrameThatCannotLeave()
    {
        QFETCH(bool, pulled);
        ModalCatcher boxes;
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::click(s.ui->pushButton_23);
        QCOMPARE(s.pty.read(2), hex("A66A"));
        s.pty.holdOutput(true);
        TerminalSession::choose(s.ui->comboBox_7, QStringLiteral("19200"));
        TerminalSession::click(s.ui->pushButton_21);
        // Nothing else goes out meanwhile, and the change cannot be asked for twice.
        QVERIFY(!s.ui->pushButton_21->isEnabled());
        QVERIFY(!s.ui->pushButton_17->isEnabled());
        QVERIFY(s.ui->pushButton_10->isEnabled());
        QTRY_COMPARE(s.access.port()->bytesToWrite(), qint64(3));
        if (pulled)
            s.pty.closeMaster();

        QTRY_VERIFY(!s.access.portOpen());
        QTRY_COMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes.at(0).text, QString::fromUtf8("串口被占用或不存在"));
        QVERIFY(!s.access.port()->isOpen());
        QCOMPARE(s.access.port()->baudRate(), 9600);
        QCOMPARE(s.ui->comboBox_6->currentText(), QStringLiteral("9600"));
        QVERIFY(!s.access.readParamPending());
        QVERIFY(!s.access.baudWritePending());
        QVERIFY(!s.ui->pushButton_21->isEnabled());
        QVERIFY(s.ui->comboBox_6->isEnabled());
        // Past the change's time limit, nothing more happens.
        QTest::qWait(700);
        QCOMPARE(boxes.boxes.size(), 1);
        QVERIFY(!s.access.port()->isOpen());
        QCOMPARE(s.access.port()->baudRate(), 9600);
    }

    // The module sends half its reply and is unplugged while the window gathers the rest.
    void cablePulledDuringTheReplyGather()
    {
        ModalCatcher boxes;
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::click(s.ui->pushButton_23);
        QCOMPARE(s.pty.read(2), hex("A66A"));
        const QByteArray half = hex("A61464");
        QVERIFY(s.pty.write(half));
        QThread::msleep(20);
        QCOMPARE(s.pty.unreadByProgram(), half.size());
        // Once the window has taken the half (and so is gathering), the far end goes.
        std::thread unplug([&s] {
            for (int i = 0; i < 5000 && s.pty.unreadByProgram() > 0; ++i)
                QThread::usleep(200);
            QThread::msleep(30);
            s.pty.closeMaster();
        });
        QTRY_COMPARE(boxes.boxes.size(), 1);
        unplug.join();
        QVERIFY(!s.access.portOpen());
        QVERIFY(!s.access.port()->isOpen());
        QVERIFY(!s.access.readParamPending());
        QCOMPARE(s.receivedText(), shownAsHex(half));
        QCOMPARE(readback(s), (QStringList{"", "", "", "", ""}));
        QTest::qWait(200);
        QCOMPARE(boxes.boxes.size(), 1);
    }

    // Requests a silent module never answered end with the opening, however it ends; the baud
    // change's own close and reopen keeps them.
    void requestsEndWithTheOpening_data()
    {
        QTest::addColumn<bool>("pulled");
        QTest::newRow("close button") << false;
        QTest::newRow("cable pulled") << true;
    }
    void requestsEndWithTheOpening()
    {
        QFETCH(bool, pulled);
        ModalCatcher boxes;
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::click(s.ui->pushButton_23);
        TerminalSession::click(s.ui->pushButton_18);
        TerminalSession::click(s.ui->pushButton_20);
        TerminalSession::click(s.ui->pushButton_22);
        QCOMPARE(s.pty.read(12), hex("A66AA77A00A99A0000ABBA0A"));
        TerminalSession::click(s.ui->pushButton_21);
        QCOMPARE(s.pty.read(3), hex("A33A02"));
        QTRY_VERIFY(s.ui->pushButton_21->isEnabled());
        const auto pending = [&s] {
            return QVector<bool>{s.access.readParamPending(), s.access.channelWritePending(), s.access.idWritePending(),
                                 s.access.baudWritePending(), s.access.powerWritePending()};
        };
        QCOMPARE(pending(), QVector<bool>(5, true));

        if (pulled)
            s.pty.closeMaster();
        else
            s.clickOpenClose();
        QTRY_VERIFY(!s.access.portOpen());
        QCOMPARE(pending(), QVector<bool>(5, false));

        // Opened again on a loop-back: two sends, two complete echoes, nothing taken for an answer.
        PtyPair loop;
        redirectPortForTesting(s.portName(), loop.slavePath());
        s.clickOpenClose();
        QVERIFY(s.access.portOpen());
        s.typeSendText(QStringLiteral("01 02 03"));
        for (int i = 1; i <= 2; ++i) {
            s.clickSend();
            QCOMPARE(loop.read(3), hex("010203"));
            QVERIFY(loop.write(hex("010203")));
            QTRY_COMPARE(s.access.receivedBytes(), qint64(3 * i));
        }
        QCOMPARE(s.access.matchCount(), qint64(2));
        QCOMPARE(readback(s), (QStringList{"", "", "", "", ""}));
        for (QLineEdit *status : {s.ui->lineEdit_16, s.ui->lineEdit_20, s.ui->lineEdit_21, s.ui->lineEdit_22})
            QCOMPARE(status->text(), QString());
        QCOMPARE(boxes.boxes.size(), pulled ? 1 : 0);
    }

    // --- parameter replies, played by the test ---

    // Each row follows a first reply that leaves known texts in every field, so that a code the
    // tables do not know is seen to leave its field alone.
    void parameterReply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("fields");
        QTest::newRow("typical") << hex("3C1464020A04D2") << QStringList{"20", "100", "1234", "9600", "10"};
        QTest::newRow("channel FF") << hex("A6FF6403070000") << QStringList{"255", "100", "0", "19200", "7"};
        QTest::newRow("ID 27 0F") << hex("A600640205270F") << QStringList{"0", "100", "9999", "9600", "5"};
        QTest::newRow("ID FF FF") << hex("A600640100FFFF") << QStringList{"0", "100", "65535", "4800", "0"};
        QTest::newRow("letter digits") << hex("A6BF640207ABCD") << QStringList{"191", "100", "43981", "9600", "7"};
        QTest::newRow("rate 32 unknown") << hex("A6143202000001") << QStringList{"20", "100", "1", "9600", "0"};
        QTest::newRow("baud 04 unknown") << hex("A6146404000001") << QStringList{"20", "100", "1", "4800", "0"};
        QTest::newRow("power 0B unknown") << hex("A61464030B0001") << QStringList{"20", "100", "1", "19200", "0"};
        QTest::newRow("bytes after the seventh ignored")
            << hex("A61464020A04D2FFFF") << QStringList{"20", "100", "1234", "9600", "10"};
    }
    void parameterReply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, fields);
        TerminalSession s;
        QVERIFY(s.open());
        const QByteArray first = hex("A6016401000001");
        answerRead(s, first);
        QCOMPARE(readback(s), (QStringList{"1", "100", "1", "4800", "0"}));

        answerRead(s, reply);
        QCOMPARE(readback(s), fields);
        QCOMPARE(s.access.replyChannel(), fields[0].toInt());
        QCOMPARE(s.access.replyId(), fields[2].toInt());
        QCOMPARE(s.receivedText(), shownAsHex(first) + shownAsHex(reply));
        // Replies are the module's business, not terminal traffic.
        QCOMPARE(s.access.receivedBytes(), qint64(0));
        QCOMPARE(s.access.matchCount(), qint64(0));
        QCOMPARE(s.ui->label_26->text(), QStringLiteral("0"));
    }

    void lone00KeepsTheReadPending()
    {
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::click(s.ui->pushButton_23);
        QCOMPARE(s.pty.read(2), hex("A66A"));
        QVERIFY(s.pty.write(hex("00")));
        QTRY_COMPARE(s.receivedText(), QStringLiteral("00 "));
        QVERIFY(s.access.readParamPending());
        QCOMPARE(readback(s), (QStringList{"", "", "", "", ""}));

        const QByteArray reply = hex("A61464020A04D2");
        QVERIFY(s.pty.write(reply));
        QTRY_VERIFY(!s.access.readParamPending());
        QCOMPARE(readback(s), (QStringList{"20", "100", "1234", "9600", "10"}));
        QCOMPARE(s.receivedText(), QStringLiteral("00 ") + shownAsHex(reply));
    }

    void shortReplyChangesNoField_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("one byte AA") << hex("AA");
        QTest::newRow("one byte FF") << hex("FF");
        QTest::newRow("three bytes") << hex("A61464");
        QTest::newRow("six bytes") << hex("A63C6403070F");
        QTest::newRow("two zeros") << hex("0000");
    }
    void shortReplyChangesNoField()
    {
        QFETCH(QByteArray, reply);
        TerminalSession s;
        QVERIFY(s.open());
        const QByteArray first = hex("A61464020A04D2");
        answerRead(s, first);
        const QStringList before = readback(s);

        answerRead(s, reply);
        QCOMPARE(readback(s), before);
        QCOMPARE(s.receivedText(), shownAsHex(first) + shownAsHex(reply));
        QCOMPARE(s.access.receivedBytes(), qint64(0));

        // The read is over: what comes next is terminal traffic again.
        QVERIFY(s.deliver(hex("0102")));
        QCOMPARE(s.receivedText(), shownAsHex(first) + shownAsHex(reply) + shownAsHex(hex("0102")));
    }

    // --- acknowledgements ---

    void acknowledgement_data()
    {
        QTest::addColumn<QByteArray>("block");
        QTest::addColumn<QString>("verdict");
        QTest::newRow("AA") << hex("AA") << "OK";
        QTest::newRow("AA 55") << hex("AA55") << "ERROR";
        QTest::newRow("55") << hex("55") << "ERROR";
        QTest::newRow("AA AA") << hex("AAAA") << "ERROR";
        QTest::newRow("00") << hex("00") << "ERROR";
    }
    void acknowledgement()
    {
        QFETCH(QByteArray, block);
        QFETCH(QString, verdict);
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::click(s.ui->pushButton_18);
        QCOMPARE(s.pty.read(3), hex("A77A00"));
        QVERIFY(s.deliver(block));
        QCOMPARE(s.ui->lineEdit_16->text(), verdict);
        QVERIFY(!s.access.channelWritePending());
        // Shown and counted as terminal data before it was judged.
        QCOMPARE(s.receivedText(), shownAsHex(block));
        QCOMPARE(s.ui->label_26->text(), QString::number(block.size()));
    }

    void oneBlockSettlesEveryPendingWrite()
    {
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::typeInto(s.ui->lineEdit_19, "1234");
        TerminalSession::click(s.ui->pushButton_20);
        TerminalSession::click(s.ui->pushButton_22);
        QCOMPARE(s.pty.read(7), hex("A99A04D2ABBA0A"));
        QVERIFY(s.deliver(hex("AA")));
        QCOMPARE(s.ui->lineEdit_20->text(), QStringLiteral("OK"));
        QCOMPARE(s.ui->lineEdit_22->text(), QStringLiteral("OK"));
        QVERIFY(!s.access.idWritePending());
        QVERIFY(!s.access.powerWritePending());
        QCOMPARE(s.ui->lineEdit_16->text(), QString());
        QCOMPARE(s.ui->lineEdit_21->text(), QString());

        // And a refusal fails them all alike.
        TerminalSession::click(s.ui->pushButton_18);
        TerminalSession::click(s.ui->pushButton_18);
        TerminalSession::click(s.ui->pushButton_20);
        QCOMPARE(s.pty.read(10), hex("A77A00A77A00A99A04D2"));
        QVERIFY(s.deliver(hex("55")));
        QCOMPARE(s.ui->lineEdit_16->text(), QStringLiteral("ERROR"));
        QCOMPARE(s.ui->lineEdit_20->text(), QStringLiteral("ERROR"));
        QCOMPARE(s.ui->lineEdit_22->text(), QStringLiteral("OK"));
        QVERIFY(!s.access.channelWritePending());
        QVERIFY(!s.access.idWritePending());
    }

    void readAndWritePendingTogether()
    {
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::click(s.ui->pushButton_23);
        QCOMPARE(s.pty.read(2), hex("A66A"));
        TerminalSession::click(s.ui->pushButton_21);
        QCOMPARE(s.pty.read(3), hex("A33A02"));
        // The change's own close and reopen is no closing: both requests are still open.
        QTRY_VERIFY(s.ui->pushButton_23->isEnabled());
        QVERIFY(s.access.readParamPending());
        QVERIFY(s.access.baudWritePending());

        // The first block is the parameter reply, however much it looks like an acknowledgement.
        QVERIFY(s.pty.write(hex("A61464020A04D2")));
        QTRY_VERIFY(!s.access.readParamPending());
        QVERIFY(s.access.baudWritePending());
        QCOMPARE(s.ui->lineEdit_21->text(), QString());
        QCOMPARE(s.ui->lineEdit_26->text(), QStringLiteral("9600"));

        QVERIFY(s.deliver(hex("AA")));
        QCOMPARE(s.ui->lineEdit_21->text(), QStringLiteral("OK"));
        QVERIFY(!s.access.baudWritePending());
        QCOMPARE(s.access.receivedBytes(), qint64(1));
    }

    // --- the three guarded faults ---

    void channelAbove255IsRefused_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::newRow("256") << "256";
        QTest::newRow("999") << "999";
    }
    void channelAbove255IsRefused()
    {
        QFETCH(QString, typed);
        TerminalSession s;
        QVERIFY(s.open());
        TerminalSession::typeInto(s.ui->lineEdit_15, typed);
        QCOMPARE(s.ui->lineEdit_15->text(), typed);
        ModalCatcher boxes;
        TerminalSession::click(s.ui->pushButton_18);
        QCOMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes.at(0).title, QString::fromUtf8("提示"));
        QCOMPARE(boxes.boxes.at(0).text, QString::fromUtf8("信道范围：0-255"));
        QCOMPARE(boxes.boxes.at(0).buttonCount, 1);
        QVERIFY(!s.access.channelWritePending());
        // Nothing went out ahead of the next command.
        TerminalSession::click(s.ui->pushButton_23);
        QCOMPARE(s.pty.read(2), hex("A66A"));
    }

    // The device is reached through a link that disappears while the port is open, as
    // /dev/ttyUSB0 does when the adapter is pulled: the reopen at the new rate fails.
    void baudReopenOnVanishedDeviceCloses()
    {
        TerminalSession s;
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString link = dir.filePath(QStringLiteral("ttyRADIO"));
        QVERIFY(QFile::link(s.pty.slavePath(), link));
        redirectPortForTesting(s.portName(), link);
        QVERIFY(s.open());

        QSignalSpy errors(s.access.port(), &QSerialPort::errorOccurred);
        QVERIFY(QFile::remove(link));
        TerminalSession::choose(s.ui->comboBox_7, QStringLiteral("19200"));
        ModalCatcher boxes;
        TerminalSession::click(s.ui->pushButton_21);
        QCOMPARE(s.pty.read(3), hex("A33A03"));

        QTRY_VERIFY(!s.access.portOpen());
        QVERIFY(!s.access.baudWritePending());
        QVERIFY(!s.access.port()->isOpen());
        QCOMPARE(s.ui->pushButton_10->text(), QString::fromUtf8("打开串口"));
        QCOMPARE(s.ui->pushButton_10->styleSheet(), QStringLiteral("background: pink"));
        QVERIFY(!s.ui->pushButton_23->isEnabled());
        QVERIFY(!s.ui->pushButton_21->isEnabled());
        QVERIFY(s.ui->comboBox_6->isEnabled());
        QCOMPARE(s.ui->comboBox_6->currentText(), QStringLiteral("19200"));
        QTRY_COMPARE(boxes.boxes.size(), 1);
        QCOMPARE(boxes.boxes.at(0).title, QString::fromUtf8("提示"));
        QCOMPARE(boxes.boxes.at(0).text, QString::fromUtf8("串口被占用或不存在"));
        // The failed reopen left the port closed; the closed state does not close it again.
        for (const QList<QVariant> &error : errors)
            QVERIFY(error.first().value<QSerialPort::SerialPortError>() != QSerialPort::NotOpenError);

        // Plugged back in, the port opens again at the rate the module was moved to.
        QVERIFY(QFile::link(s.pty.slavePath(), link));
        TerminalSession::click(s.ui->pushButton_10);
        QVERIFY(s.access.portOpen());
        QCOMPARE(outputSpeed(s.pty.slaveTermios()), 19200);
    }

    // --- against the simulator ---

    void splitReplyIsDecodedWhole()
    {
        TerminalSession s;
        ModuleThread module(s.pty.masterFd(), [](RadioModule &m) { m.setSplitDelay(30); });
        QVERIFY(module.module());
        QVERIFY(s.open());
        TerminalSession::click(s.ui->pushButton_23);
        QTRY_VERIFY(!s.access.readParamPending());
        QCOMPARE(readback(s), (QStringList{"20", "100", "1234", "9600", "10"}));
        QCOMPARE(s.receivedText(), shownAsHex(hex("A61464020A04D2")));
    }

    void baudChangeMovesBothEnds()
    {
        TerminalSession s;
        ModuleThread module(s.pty.masterFd());
        QVERIFY(module.module());
        QVERIFY(s.open());
        QCOMPARE(module.module()->lineBaudRate(), 9600);

        TerminalSession::choose(s.ui->comboBox_7, QStringLiteral("19200"));
        TerminalSession::click(s.ui->pushButton_21);
        QTRY_COMPARE(s.ui->lineEdit_21->text(), QStringLiteral("OK"));
        QCOMPARE(module.module()->lineBaudRate(), 19200);
        QCOMPARE(outputSpeed(s.pty.slaveTermios()), 19200);
        QCOMPARE(s.ui->comboBox_6->currentText(), QStringLiteral("19200"));

        TerminalSession::click(s.ui->pushButton_23);
        QTRY_VERIFY(!s.access.readParamPending());
        QCOMPARE(s.ui->lineEdit_26->text(), QStringLiteral("19200"));
    }

    // Auto-send keeps going at 0 ms: the change goes through, auto-send carries on afterwards, and
    // the next read is answered at the new rate.
    void baudChangeDuringAutoSend()
    {
        TerminalSession s;
        ModuleThread module(s.pty.masterFd());
        QVERIFY(module.module());
        QVERIFY(s.open());
        s.typeSendText(QStringLiteral("01 02 03"));
        s.typePeriod(QStringLiteral("0"));
        s.clickAutoSend();
        QTRY_VERIFY(s.access.sendCount() > 10);

        TerminalSession::choose(s.ui->comboBox_7, QStringLiteral("19200"));
        TerminalSession::click(s.ui->pushButton_21);
        QTRY_COMPARE(s.ui->lineEdit_21->text(), QStringLiteral("OK"));
        QCOMPARE(module.module()->lineBaudRate(), 19200);
        QCOMPARE(outputSpeed(s.pty.slaveTermios()), 19200);
        QTRY_VERIFY(s.access.autoSendTimer()->isActive());
        QVERIFY(s.ui->checkBox->isChecked());
        QVERIFY(!s.ui->lineEdit_14->isEnabled());
        const qint64 sends = s.access.sendCount();
        QTRY_VERIFY(s.access.sendCount() > sends + 10);

        TerminalSession::click(s.ui->pushButton_23);
        QTRY_VERIFY(!s.access.readParamPending());
        QCOMPARE(readback(s), (QStringList{"20", "100", "1234", "19200", "10"}));
        QVERIFY(s.access.autoSendTimer()->isActive());
    }

    void refusingModuleShowsError()
    {
        TerminalSession s;
        ModuleThread module(s.pty.masterFd(), [](RadioModule &m) { m.setWriteAnswer(RadioModule::Refused); });
        QVERIFY(module.module());
        QVERIFY(s.open());
        TerminalSession::typeInto(s.ui->lineEdit_15, QStringLiteral("42"));
        TerminalSession::click(s.ui->pushButton_18);
        QTRY_COMPARE(s.ui->lineEdit_16->text(), QStringLiteral("ERROR"));
        TerminalSession::click(s.ui->pushButton_23);
        QTRY_VERIFY(!s.access.readParamPending());
        QCOMPARE(s.ui->lineEdit_23->text(), QStringLiteral("20"));
    }

    void fullSession()
    {
        TerminalSession s;
        ModuleThread module(s.pty.masterFd());
        QVERIFY(module.module());
        QVERIFY(s.open());

        TerminalSession::click(s.ui->pushButton_23);
        QTRY_VERIFY(!s.access.readParamPending());
        QCOMPARE(readback(s), (QStringList{"20", "100", "1234", "9600", "10"}));

        TerminalSession::typeInto(s.ui->lineEdit_15, QStringLiteral("42"));
        TerminalSession::click(s.ui->pushButton_18);
        QTRY_COMPARE(s.ui->lineEdit_16->text(), QStringLiteral("OK"));
        TerminalSession::typeInto(s.ui->lineEdit_19, QStringLiteral("4321"));
        TerminalSession::click(s.ui->pushButton_20);
        QTRY_COMPARE(s.ui->lineEdit_20->text(), QStringLiteral("OK"));
        TerminalSession::choose(s.ui->comboBox_8, QStringLiteral("5"));
        TerminalSession::click(s.ui->pushButton_22);
        QTRY_COMPARE(s.ui->lineEdit_22->text(), QStringLiteral("OK"));
        TerminalSession::choose(s.ui->comboBox_7, QStringLiteral("4800"));
        TerminalSession::click(s.ui->pushButton_21);
        QTRY_COMPARE(s.ui->lineEdit_21->text(), QStringLiteral("OK"));

        TerminalSession::click(s.ui->pushButton_23);
        QTRY_VERIFY(!s.access.readParamPending());
        QCOMPARE(readback(s), (QStringList{"42", "100", "4321", "4800", "5"}));

        const RadioModule::Parameters p = module.module()->parameters();
        QCOMPARE(int(p.channel), 42);
        QCOMPARE(int(p.id), 4321);
        QCOMPARE(int(p.powerCode), 5);
        QCOMPARE(int(p.baudCode), 1);
        QCOMPARE(module.module()->lineBaudRate(), 4800);
        QCOMPARE(outputSpeed(s.pty.slaveTermios()), 4800);
        QCOMPARE(module.module()->frames(), (QList<QByteArray>{hex("A66A"), hex("A77A2A"), hex("A99A10E1"),
                                                               hex("ABBA05"), hex("A33A01"), hex("A66A")}));
        // Four acknowledgements, counted as terminal data; the two replies were not.
        QCOMPARE(s.access.receivedBytes(), qint64(4));
    }

    // What the README tells a user to do: start the program, point a port name at the printed
    // device, and work the panel.
    void consoleSimulatorSession()
    {
        QProcess simulator;
        simulator.start(QStringLiteral(TALVEN_RADIOSIM_PROGRAM),
                        {"--channel", "7", "--id", "77", "--power", "0", "--split", "20"});
        QVERIFY(simulator.waitForStarted());
        QTRY_VERIFY(simulator.canReadLine());
        const QString device = QString::fromLocal8Bit(simulator.readLine()).trimmed();
        QVERIFY(device.startsWith(QLatin1String("/dev/")));

        TerminalSession s;
        redirectPortForTesting(s.portName(), device);
        QVERIFY(s.open());
        TerminalSession::click(s.ui->pushButton_23);
        QTRY_VERIFY(!s.access.readParamPending());
        QCOMPARE(readback(s), (QStringList{"7", "100", "77", "9600", "0"}));

        TerminalSession::choose(s.ui->comboBox_7, QStringLiteral("19200"));
        TerminalSession::click(s.ui->pushButton_21);
        QTRY_COMPARE(s.ui->lineEdit_21->text(), QStringLiteral("OK"));
        TerminalSession::click(s.ui->pushButton_23);
        QTRY_VERIFY(!s.access.readParamPending());
        QCOMPARE(s.ui->lineEdit_26->text(), QStringLiteral("19200"));

        simulator.terminate();
        QVERIFY(simulator.waitForFinished());
    }
};

QTEST_MAIN(TestRadio)
#include "tst_radio.moc"
