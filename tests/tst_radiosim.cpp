// The radio module simulator on its own: the class on a pseudo-terminal whose master side the test
// plays (as Talven would), and the console program as a user starts it.

#include "radiomodule.h"
#include "testsupport.h"

#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <poll.h>

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(text);
}

speed_t outputSpeed(const termios &t)
{
    return cfgetospeed(&t);
}

// One end of a terminal device opened by path, raw, the way a serial program opens it; for talking
// to the console program, which runs in a process of its own.
class DeviceLine {
public:
    explicit DeviceLine(const QString &path)
    {
        m_fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd < 0)
            return;
        termios t{};
        ::tcgetattr(m_fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(m_fd, TCSANOW, &t);
    }
    ~DeviceLine()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    DeviceLine(const DeviceLine &) = delete;
    DeviceLine &operator=(const DeviceLine &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    bool setSpeed(speed_t speed)
    {
        termios t{};
        ::tcgetattr(m_fd, &t);
        ::cfsetispeed(&t, speed);
        ::cfsetospeed(&t, speed);
        return ::tcsetattr(m_fd, TCSANOW, &t) == 0;
    }
    bool write(const QByteArray &bytes)
    {
        return ::write(m_fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }
    QByteArray read(int count, int timeoutMs = 3000)
    {
        QByteArray out;
        QDeadlineTimer deadline(timeoutMs);
        while (out.size() < count && !deadline.hasExpired()) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
                break;
            char buffer[256];
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n > 0)
                out.append(buffer, int(n));
        }
        return out;
    }

private:
    int m_fd = -1;
};

int receivedBytes(const QSignalSpy &received)
{
    int total = 0;
    for (const QList<QVariant> &signal : received)
        total += signal.at(0).toByteArray().size();
    return total;
}

const QByteArray defaultReply = hex("A61464020A04D2");

constexpr qint64 kMs = 1000000;

// A line's timing written as "at:count" items in milliseconds, e.g. "0:3 1:2".
using Timeline = QList<QPair<qint64, int>>;
Timeline timeline(const char *text)
{
    Timeline items;
    for (const QByteArray &item : QByteArray(text).split(' ')) {
        const QList<QByteArray> parts = item.split(':');
        if (parts.size() == 2)
            items.append({parts.at(0).toLongLong(), parts.at(1).toInt()});
    }
    return items;
}

// Reads the line for `ms` and returns each read as it came; every read takes all there is.
QList<QByteArray> readsFor(int fd, int ms)
{
    QList<QByteArray> reads;
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(deadline.remainingTime())) <= 0)
            break;
        char buffer[8192];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0)
            reads.append(QByteArray(buffer, int(n)));
    }
    return reads;
}

} // namespace

class TestRadioSimulator : public QObject {
    Q_OBJECT

private slots:
    void answersReadWithItsParameters()
    {
        PtyPair pty;
        RadioModule module;
        RadioModule::Parameters p;
        p.channel = 0xBF;
        p.id = 0xABCD;
        p.baudCode = 0x03;
        p.powerCode = 0x07;
        module.setParameters(p);
        QVERIFY(module.openDevice(pty.slavePath()));
        QVERIFY(pty.write(hex("A66A")));
        QCOMPARE(pty.read(7), hex("A6BF640307ABCD"));
        QCOMPARE(module.frames(), QList<QByteArray>{hex("A66A")});
    }

    // Whatever way the bytes arrive, the answers come out in order.
    void takesFramesHoweverTheyArrive_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QByteArray>("answers");
        QTest::addColumn<int>("channel");
        QTest::newRow("whole") << QList<QByteArray>{hex("A77A05")} << hex("AA") << 5;
        QTest::newRow("byte by byte") << QList<QByteArray>{hex("A7"), hex("7A"), hex("05")} << hex("AA") << 5;
        QTest::newRow("two frames in one piece")
            << QList<QByteArray>{hex("A77A05A66A")} << hex("AA") + hex("A60564020A04D2") << 5;
        QTest::newRow("frame split across pieces") << QList<QByteArray>{hex("A66AA7"), hex("7A09A6"), hex("6A")}
                                                   << defaultReply + hex("AA") + hex("A60964020A04D2") << 9;
        QTest::newRow("noise before a frame") << QList<QByteArray>{hex("0013FFA6A713A66A")} << defaultReply << 20;
        QTest::newRow("command byte with wrong second byte") << QList<QByteArray>{hex("A76AA77A06")} << hex("AA") << 6;
        QTest::newRow("terminal traffic") << QList<QByteArray>{hex("0102030405")} << QByteArray() << 20;
    }
    void takesFramesHoweverTheyArrive()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QByteArray, answers);
        QFETCH(int, channel);
        PtyPair pty;
        RadioModule module;
        QVERIFY(module.openDevice(pty.slavePath()));
        QSignalSpy received(&module, &RadioModule::received);
        int sent = 0;
        for (const QByteArray &piece : pieces) {
            QVERIFY(pty.write(piece));
            sent += piece.size();
            // The module has taken this piece off the line before the next one is sent.
            QTRY_COMPARE(receivedBytes(received), sent);
        }
        // A read behind everything marks the end of the answers.
        QVERIFY(pty.write(hex("A66A")));
        const QByteArray expected = answers + hex("A6") + QByteArray(1, char(channel)) + hex("64020A04D2");
        QCOMPARE(pty.read(expected.size()), expected);
        QCOMPARE(int(module.parameters().channel), channel);
    }

    void writesChangeTheModule_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("channel 0") << hex("A77A00") << hex("A60064020A04D2");
        QTest::newRow("channel 255") << hex("A77AFF") << hex("A6FF64020A04D2");
        QTest::newRow("ID 9999") << hex("A99A270F") << hex("A61464020A270F");
        QTest::newRow("ID 0") << hex("A99A0000") << hex("A61464020A0000");
        QTest::newRow("power 0") << hex("ABBA00")
                                 << hex("A614640200"
                                        "04D2");
        QTest::newRow("power 5") << hex("ABBA05")
                                 << hex("A614640205"
                                        "04D2");
        QTest::newRow("power 7") << hex("ABBA07")
                                 << hex("A614640207"
                                        "04D2");
        QTest::newRow("serial rate 4800") << hex("A33A01") << hex("A61464010A04D2");
        QTest::newRow("serial rate 19200") << hex("A33A03") << hex("A61464030A04D2");
    }
    void writesChangeTheModule()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, reply);
        PtyPair pty;
        RadioModule module;
        QVERIFY(module.openDevice(pty.slavePath()));
        QVERIFY(pty.write(frame));
        QCOMPARE(pty.read(1), hex("AA"));
        QVERIFY(pty.write(hex("A66A")));
        QCOMPARE(pty.read(7), reply);
    }

    void refusesWhatItCannotTake_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("refusal");
        QTest::newRow("refusing module, channel") << 0x55 << hex("A77A2A") << hex("55");
        QTest::newRow("refusing module, serial rate") << 0x55 << hex("A33A03") << hex("55");
        QTest::newRow("other answer byte") << 0xEE << hex("A99A0001") << hex("EE");
        QTest::newRow("unknown serial rate code") << int(RadioModule::Accepted) << hex("A33A04") << hex("55");
        QTest::newRow("unknown power code") << int(RadioModule::Accepted) << hex("ABBA0B") << hex("55");
    }
    void refusesWhatItCannotTake()
    {
        QFETCH(int, answer);
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, refusal);
        PtyPair pty;
        RadioModule module;
        module.setWriteAnswer(quint8(answer));
        QVERIFY(module.openDevice(pty.slavePath()));
        QVERIFY(pty.write(frame));
        QCOMPARE(pty.read(1), refusal);
        QVERIFY(pty.write(hex("A66A")));
        QCOMPARE(pty.read(7), defaultReply);
        QCOMPARE(module.lineBaudRate(), 9600);
        QCOMPARE(outputSpeed(pty.slaveTermios()), speed_t(B9600));
    }

    void silentModuleAnswersNothing()
    {
        PtyPair pty;
        RadioModule module;
        module.setSilent(true);
        QVERIFY(module.openDevice(pty.slavePath()));
        QVERIFY(pty.write(hex("A77A2AA66A")));
        QTRY_COMPARE(module.frames().size(), 2);
        module.setSilent(false);
        QVERIFY(pty.write(hex("A66A")));
        // Only the answer to the last read: the silent module neither answered nor took the channel.
        QCOMPARE(pty.read(7), defaultReply);
        QCOMPARE(pty.readAvailable(), QByteArray());
    }

    // A loop-back: each piece comes back whole and unchanged before the next goes out, and frames
    // are echoed, not answered. The byte after the last piece would sit behind any answer.
    void echoesEveryPiece_data()
    {
        QByteArray everyByte;
        for (int b = 0; b < 256; ++b)
            everyByte.append(char(b));
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::newRow("one byte") << QList<QByteArray>{hex("00")};
        QTest::newRow("auto-send block") << QList<QByteArray>{hex("0102030405060708091011121314")};
        QTest::newRow("byte by byte") << QList<QByteArray>{hex("01"), hex("02"), hex("03"), hex("04")};
        QTest::newRow("uneven pieces") << QList<QByteArray>{hex("0102"), hex("030405060708"), hex("09")};
        QTest::newRow("every byte value") << QList<QByteArray>{everyByte};
        QTest::newRow("read frame") << QList<QByteArray>{hex("A66A")};
        QTest::newRow("write frames") << QList<QByteArray>{hex("A77A05"), hex("A99A270F"), hex("A33A03"),
                                                           hex("ABBA00")};
        QTest::newRow("frame in pieces") << QList<QByteArray>{hex("A6"), hex("6A"), hex("A77A"), hex("09")};
        QTest::newRow("long piece") << QList<QByteArray>{QByteArray(3000, char(0x5A))};
    }
    void echoesEveryPiece()
    {
        QFETCH(QList<QByteArray>, pieces);
        PtyPair pty;
        RadioModule module;
        module.setEcho(true);
        QVERIFY(module.openDevice(pty.slavePath()));
        QSignalSpy received(&module, &RadioModule::received);
        int sent = 0;
        for (const QByteArray &piece : pieces + QList<QByteArray>{hex("EE")}) {
            QVERIFY(pty.write(piece));
            sent += piece.size();
            QCOMPARE(pty.read(piece.size()), piece);
            QTRY_COMPARE(receivedBytes(received), sent);
        }
        QVERIFY(module.frames().isEmpty());
        QCOMPARE(module.lineBaudRate(), 9600);
        QCOMPARE(outputSpeed(pty.slaveTermios()), speed_t(B9600));
        const RadioModule::Parameters p = module.parameters();
        QCOMPARE(int(p.channel), 20);
        QCOMPARE(int(p.id), 1234);
        QCOMPARE(int(p.powerCode), 0x0A);
    }

    // What went by in echo mode is not answered later; from then on the module answers again.
    void answersAgainAfterEcho()
    {
        PtyPair pty;
        RadioModule module;
        module.setEcho(true);
        QVERIFY(module.openDevice(pty.slavePath()));
        QVERIFY(pty.write(hex("A77A")));
        QCOMPARE(pty.read(2), hex("A77A"));
        module.setEcho(false);
        QVERIFY(pty.write(hex("A66A")));
        QCOMPARE(pty.read(7), defaultReply);
        QCOMPARE(module.frames(), QList<QByteArray>{hex("A66A")});
    }

    void splitReplyComesInTwoPieces()
    {
        PtyPair pty;
        RadioModule module;
        // Long enough that the first piece is surely read alone.
        module.setSplitDelay(500);
        QVERIFY(module.openDevice(pty.slavePath()));
        QSignalSpy handled(&module, &RadioModule::frameHandled);
        QVERIFY(pty.write(hex("A66A")));
        QVERIFY(handled.wait());
        char first[16];
        const ssize_t n = ::read(pty.masterFd(), first, sizeof first);
        QCOMPARE(QByteArray(first, int(qMax<ssize_t>(n, 0))), hex("A61464"));
        QCOMPARE(pty.read(4), hex("020A04D2"));
    }

    // On a device of its own the module sets the line; the acknowledgement goes out first.
    void serialRateWriteMovesItsLine_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("speed");
        QTest::newRow("4800") << hex("A33A01") << 4800 << int(B4800);
        QTest::newRow("9600") << hex("A33A02") << 9600 << int(B9600);
        QTest::newRow("19200") << hex("A33A03") << 19200 << int(B19200);
    }
    void serialRateWriteMovesItsLine()
    {
        QFETCH(QByteArray, frame);
        QFETCH(int, rate);
        QFETCH(int, speed);
        PtyPair pty;
        RadioModule module;
        RadioModule::Parameters p;
        p.baudCode = 0x01;
        module.setParameters(p);
        QVERIFY(module.openDevice(pty.slavePath()));
        QCOMPARE(module.lineBaudRate(), 4800);
        QCOMPARE(outputSpeed(pty.slaveTermios()), speed_t(B4800));
        QVERIFY(pty.write(frame));
        QCOMPARE(pty.read(1), hex("AA"));
        QCOMPARE(module.lineBaudRate(), rate);
        QCOMPARE(outputSpeed(pty.slaveTermios()), speed_t(speed));
        const termios t = pty.slaveTermios();
        QCOMPARE(t.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
    }

    // On a pseudo-terminal's master side the termios is the other program's: the module keeps
    // its rate to itself.
    void leavesTheOtherSidesSettingsAlone()
    {
        PtyPair pty;
        DeviceLine program(pty.slavePath());
        QVERIFY(program.isOpen());
        QVERIFY(program.setSpeed(B4800));
        RadioModule module;
        QVERIFY(module.attach(pty.masterFd()));
        QVERIFY(program.write(hex("A33A03")));
        QTRY_COMPARE(module.lineBaudRate(), 19200);
        QCOMPARE(program.read(1), hex("AA"));
        QCOMPARE(outputSpeed(pty.slaveTermios()), speed_t(B4800));
    }

    void reportsALostDevice()
    {
        PtyPair pty;
        RadioModule module;
        QVERIFY(module.openDevice(pty.slavePath()));
        QSignalSpy lost(&module, &RadioModule::lineLost);
        pty.closeMaster();
        QVERIFY(lost.wait());
    }

    // The other program closes and reopens its side (a rate change does); the module stays.
    void ownPseudoTerminalSurvivesReopen()
    {
        RadioModule module;
        QVERIFY(module.openPseudoTerminal());
        QVERIFY(module.devicePath().startsWith(QLatin1String("/dev/")));
        for (int round = 0; round < 2; ++round) {
            DeviceLine program(module.devicePath());
            QVERIFY(program.isOpen());
            QVERIFY(program.write(hex("A66A")));
            QTRY_COMPARE(module.frames().size(), round + 1);
            QCOMPARE(program.read(7), defaultReply);
        }
    }

    void openDeviceFailsClearly()
    {
        RadioModule module;
        QVERIFY(!module.openDevice(QStringLiteral("/nonexistent/ttyX")));
        QVERIFY(module.errorString().contains(QLatin1String("/nonexistent/ttyX")));
        RadioModule notATerminal;
        QVERIFY(!notATerminal.openDevice(QStringLiteral("/dev/null")));
        QVERIFY(notATerminal.errorString().contains(QLatin1String("not a serial device")));
    }

    // The adapter's hand-overs for bytes queued at given times: when, and how many. At 10,000 baud a
    // byte takes exactly 1 ms on the line.
    void shapesTheLine_data()
    {
        QTest::addColumn<bool>("paced");
        QTest::addColumn<int>("piece");
        QTest::addColumn<int>("every");
        QTest::addColumn<Timeline>("queued");
        QTest::addColumn<Timeline>("handedOver");
        QTest::newRow("paced, whole runs") << true << 0 << 0 << timeline("0:3 1:2") << timeline("3:3 5:2");
        QTest::newRow("paced, a quiet line starts again")
            << true << 0 << 0 << timeline("0:2 10:1") << timeline("2:2 11:1");
        QTest::newRow("paced, 1-byte pieces") << true << 1 << 0 << timeline("0:3") << timeline("1:1 2:1 3:1");
        QTest::newRow("paced, pieces across runs, the rest when quiet")
            << true << 4 << 0 << timeline("0:3 0:3") << timeline("4:4 6:2");
        QTest::newRow("paced, latency timer") << true << 0 << 16 << timeline("0:40") << timeline("16:16 32:16 48:8");
        QTest::newRow("paced, latency timer skips empty ticks")
            << true << 0 << 16 << timeline("0:1 40:1") << timeline("16:1 48:1");
        QTest::newRow("paced, full pieces between ticks")
            << true << 10 << 16 << timeline("0:40") << timeline("10:10 16:6 26:10 32:6 48:8");
        QTest::newRow("not paced, at once") << false << 0 << 0 << timeline("0:5 7:1") << timeline("0:5 7:1");
        QTest::newRow("not paced, pieces") << false << 2 << 0 << timeline("0:5") << timeline("0:2 0:2 0:1");
        QTest::newRow("not paced, latency timer") << false << 0 << 16 << timeline("0:3 20:2") << timeline("16:3 32:2");
    }
    void shapesTheLine()
    {
        QFETCH(bool, paced);
        QFETCH(int, piece);
        QFETCH(int, every);
        QFETCH(Timeline, queued);
        QFETCH(Timeline, handedOver);
        LineShaper::Shape shape;
        shape.paced = paced;
        shape.pieceSize = piece;
        shape.everyMs = every;
        LineShaper line(shape, 10000);
        // Bytes numbered as queued, so that order and loss show too.
        int queuedBytes = 0;
        QByteArray expectedBytes;
        Timeline seen;
        QByteArray seenBytes;
        const qint64 start = 5000 * kMs;
        for (;;) {
            const qint64 due = line.nextDue();
            if (!queued.isEmpty() && (due < 0 || start + queued.constFirst().first * kMs <= due)) {
                QByteArray bytes;
                for (int i = 0; i < queued.constFirst().second; ++i)
                    bytes.append(char(queuedBytes++));
                expectedBytes += bytes;
                line.queue(start + queued.takeFirst().first * kMs, bytes);
                continue;
            }
            if (due < 0)
                break;
            for (const QByteArray &bytes : line.takeDue(due)) {
                seen.append({(due - start) / kMs, bytes.size()});
                seenBytes += bytes;
            }
            QVERIFY2(seen.size() < 1000, "the line never empties");
        }
        QCOMPARE(seen, handedOver);
        QCOMPARE(seenBytes, expectedBytes);
        QCOMPARE(line.pending(), qint64(0));
    }

    // Byte times are computed from the start of the line's busy spell, to the nanosecond, however
    // long it runs.
    void lineTimeDoesNotDrift_data()
    {
        QTest::addColumn<qint64>("index");
        QTest::addColumn<int>("baud");
        QTest::addColumn<qint64>("seconds");
        QTest::newRow("a second at 19200") << qint64(1920 - 1) << 19200 << qint64(1);
        QTest::newRow("a day at 19200") << qint64(1920LL * 86400 - 1) << 19200 << qint64(86400);
        QTest::newRow("a year at 19200") << qint64(1920LL * 86400 * 365 - 1) << 19200 << qint64(86400 * 365);
        QTest::newRow("a day at 4800") << qint64(480LL * 86400 - 1) << 4800 << qint64(86400);
    }
    void lineTimeDoesNotDrift()
    {
        QFETCH(qint64, index);
        QFETCH(int, baud);
        QFETCH(qint64, seconds);
        const qint64 origin = 123456789;
        QCOMPARE(LineShaper::byteInAt(origin, index, baud), origin + seconds * 1000000000LL);
    }

    // --- the console program ---

    void program_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("defaults") << QStringList() << hex("A66A") << defaultReply;
        QTest::newRow("initial state") << QStringList{"--channel", "255",  "--id",    "65535",
                                                      "--baud",    "4800", "--power", "7"}
                                       << hex("A66A") << hex("A6FF640107FFFF");
        QTest::newRow("write then read") << QStringList() << hex("A99A270FA66A") << hex("AA") + hex("A61464020A270F");
        QTest::newRow("refuse") << QStringList{"--refuse"} << hex("A77A01A66A") << hex("55") + defaultReply;
        QTest::newRow("answer byte") << QStringList{"--answer", "ee"} << hex("ABBA00A66A") << hex("EE") + defaultReply;
        QTest::newRow("split") << QStringList{"--split", "20"} << hex("A66A") << defaultReply;
        QTest::newRow("silent") << QStringList{"--silent"} << hex("A66A") << QByteArray();
        QTest::newRow("echo") << QStringList{"--echo"} << hex("A66A01") << hex("A66A01");
    }
    void program()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, expected);
        QProcess simulator;
        simulator.start(QStringLiteral(TALVEN_RADIOSIM_PROGRAM), arguments);
        QVERIFY(simulator.waitForStarted());
        QTRY_VERIFY(simulator.canReadLine());
        DeviceLine line(QString::fromLocal8Bit(simulator.readLine()).trimmed());
        QVERIFY(line.isOpen());
        QVERIFY(line.write(sent));
        if (expected.isEmpty()) {
            // Silence is seen in the log: the frame was taken and left unanswered.
            QByteArray log;
            QTRY_VERIFY((log += simulator.readAllStandardError()).contains("A6 6A -> (silent)"));
        } else {
            QCOMPARE(line.read(expected.size()), expected);
        }
        simulator.terminate();
        QVERIFY(simulator.waitForFinished());
    }

    // The program as a link test starts it: pieces back one by one, frames echoed and not answered
    // (an answer would come before the next piece's echo), and no log.
    void programEchoes()
    {
        QProcess simulator;
        simulator.start(QStringLiteral(TALVEN_RADIOSIM_PROGRAM), {QStringLiteral("--echo")});
        QVERIFY(simulator.waitForStarted());
        QTRY_VERIFY(simulator.canReadLine());
        DeviceLine line(QString::fromLocal8Bit(simulator.readLine()).trimmed());
        QVERIFY(line.isOpen());
        const QList<QByteArray> pieces{hex("0102030405060708091011121314"), hex("A66A"), hex("A77A05"), hex("A33A01"),
                                       hex("0102030405060708091011121314")};
        for (const QByteArray &piece : pieces) {
            QVERIFY(line.write(piece));
            QCOMPARE(line.read(piece.size()), piece);
        }
        simulator.terminate();
        QVERIFY(simulator.waitForFinished());
        QCOMPARE(simulator.readAllStandardError(), QByteArray());
    }

    // A shaped line hands over whole pieces: each read of the other side ends on a piece boundary
    // (several pieces may come in one read, never part of one), and nothing is lost or reordered.
    void programShapesItsLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<int>("piece");
        const QStringList stream{"--stream", "--pace", "--baud", "19200"};
        QTest::newRow("stream") << stream << QByteArray() << QByteArray() << 14;
        QTest::newRow("stream in 1-byte pieces")
            << stream + QStringList{"--piece", "1"} << QByteArray() << QByteArray() << 1;
        QTest::newRow("stream in 5-byte pieces")
            << stream + QStringList{"--piece", "5"} << QByteArray() << QByteArray() << 5;
        QTest::newRow("stream in 32-byte pieces")
            << stream + QStringList{"--piece", "32"} << QByteArray() << QByteArray() << 32;
        QTest::newRow("stream at a latency timer")
            << stream + QStringList{"--every", "16"} << QByteArray() << QByteArray() << 1;
        QTest::newRow("paced echo in pieces") << QStringList{"--echo", "--pace", "--piece", "3"}
                                              << hex("010203040506070809") << hex("010203040506070809") << 3;
        QTest::newRow("paced answer in pieces")
            << QStringList{"--pace", "--piece", "2"} << hex("A77A05A66A") << hex("AA") + hex("A60564020A04D2") << 2;
        QTest::newRow("answer behind a latency timer")
            << QStringList{"--every", "16"} << hex("A66A") << defaultReply << 1;
    }
    void programShapesItsLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, expected);
        QFETCH(int, piece);
        QProcess simulator;
        simulator.start(QStringLiteral(TALVEN_RADIOSIM_PROGRAM), arguments);
        QVERIFY(simulator.waitForStarted());
        QTRY_VERIFY(simulator.canReadLine());
        const QString path = QString::fromLocal8Bit(simulator.readLine()).trimmed();
        const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        termios t{};
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(fd, TCSANOW, &t);
        // What a stream sent before anyone listened is not part of the measure.
        ::tcflush(fd, TCIFLUSH);
        QVERIFY(::write(fd, sent.constData(), size_t(sent.size())) == sent.size());
        QList<QByteArray> reads;
        QByteArray got;
        QDeadlineTimer deadline(5000);
        const int wanted = expected.isEmpty() ? 200 : expected.size();
        while (got.size() < wanted && !deadline.hasExpired()) {
            for (const QByteArray &r : readsFor(fd, 100)) {
                reads.append(r);
                got += r;
            }
        }
        ::close(fd);
        simulator.terminate();
        QVERIFY(simulator.waitForFinished());
        QVERIFY2(got.size() >= wanted, qPrintable(QStringLiteral("%1 bytes").arg(got.size())));
        if (expected.isEmpty()) {
            // The stream's block over and over, from wherever the reading began.
            const QByteArray block = RadioModule::streamBlock();
            const int from = block.indexOf(got.at(0));
            QVERIFY(from >= 0);
            QCOMPARE(got, block.repeated(got.size() / block.size() + 2).mid(from, got.size()));
        } else {
            QCOMPARE(got, expected);
        }
        int end = 0;
        for (const QByteArray &r : reads) {
            end += r.size();
            QVERIFY2(end % piece == 0 || end == expected.size(),
                     qPrintable(QStringLiteral("a read ends %1 bytes in").arg(end)));
        }
    }

    void programRejectsBadOptions_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("message");
        QTest::newRow("channel too high") << QStringList{"--channel", "256"} << "--channel";
        QTest::newRow("channel not a number") << QStringList{"--channel", "x"} << "--channel";
        QTest::newRow("unknown rate") << QStringList{"--baud", "115200"} << "--baud";
        QTest::newRow("unknown power") << QStringList{"--power", "3"} << "--power";
        QTest::newRow("answer not a byte") << QStringList{"--answer", "1AA"} << "--answer";
        QTest::newRow("missing device") << QStringList{"--device", "/nonexistent/ttyX"} << "/nonexistent/ttyX";
        QTest::newRow("stray argument") << QStringList{"COM3"} << "COM3";
        QTest::newRow("echo and silent") << QStringList{"--echo", "--silent"} << "--silent";
        QTest::newRow("echo and refuse") << QStringList{"--refuse", "--echo"} << "--refuse";
        QTest::newRow("echo and answer") << QStringList{"--echo", "--answer", "55"} << "--answer";
        QTest::newRow("echo and split") << QStringList{"--echo", "--split", "20"} << "--split";
        QTest::newRow("stream unpaced") << QStringList{"--stream"} << "--pace";
        QTest::newRow("stream and echo") << QStringList{"--stream", "--pace", "--echo"} << "--echo";
        QTest::newRow("stream and silent") << QStringList{"--silent", "--stream", "--pace"} << "--silent";
        QTest::newRow("piece of nothing") << QStringList{"--piece", "0"} << "--piece";
        QTest::newRow("timer not a number") << QStringList{"--every", "x"} << "--every";
    }
    void programRejectsBadOptions()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, message);
        QProcess simulator;
        simulator.start(QStringLiteral(TALVEN_RADIOSIM_PROGRAM), arguments);
        QVERIFY(simulator.waitForFinished());
        QCOMPARE(simulator.exitStatus(), QProcess::NormalExit);
        QCOMPARE(simulator.exitCode(), 2);
        QVERIFY(QString::fromLocal8Bit(simulator.readAllStandardError()).contains(message));
        QCOMPARE(simulator.readAllStandardOutput(), QByteArray());
    }
};

QTEST_MAIN(TestRadioSimulator)
#include "tst_radiosim.moc"
