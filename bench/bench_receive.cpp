// What it costs to take in received data, through a real pseudo-terminal into the receive box.
//
//   appendCost       one 14-byte block (an auto-send echo) appended after 0, 100,000 and 1,000,000
//                    characters of history; target: at 1,000,000 at most twice the cost at 0.
//   historyBound     the receive box filled to its 40,000,000-character bound and past it: the
//                    cost of an ordinary append and of the one that trims the history (target: no
//                    append or trim over 100 ms), resident memory per character kept, the memory
//                    "清空接收数据" gives back, and the time to close the window afterwards (target:
//                    under 0.5 s).
//   updateCost       the CPU time of one screen update at full line rate (77 bytes, what 1,920 B/s
//                    brings in 40 ms), taken in, put into the box and painted, with 100,000
//                    characters of history above it; the update rate is bounded, so this is most
//                    of what the window spends on a link test at small pieces.
//   oneMinuteAt19200 the CPU time for one minute of 19,200-baud data (115,200 bytes), written to
//                    the far end at line speed; target: below 5 % of one core.
//
// Rows named "fixed" run the program's own receive path (readMyCom into the window's box). Rows
// named "one paragraph" run the way the box used to be filled, for comparison: a QTextBrowser
// styled and sized like the form's, taking each received byte as two edits (the pair, then the
// blank) into one ever-growing paragraph, with the same cursor-to-end slot.
//
// Run: cmake -S . -B build -DTALVEN_BENCH=ON && cmake --build build --target bench_receive
//      QT_QPA_PLATFORM=offscreen build/bench/bench_receive [appendCost | oneMinuteAt19200]

#include "terminalsession.h"

#include <QElapsedTimer>
#include <QFile>
#include <QEventLoop>
#include <QSerialPort>
#include <QTextBrowser>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <ctime>
#include <functional>
#include <memory>
#include <thread>

namespace {

const QByteArray echoBlock = QByteArray::fromHex("0102030405060708091011121314");

// The receive box as it used to be filled.
class OneParagraphReceiver : public QObject {
public:
    OneParagraphReceiver(const QTextBrowser &formBox, const QString &device)
    {
        box.setStyleSheet(formBox.styleSheet());
        box.setFont(formBox.font());
        box.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        box.resize(formBox.size());
        box.show();
        if (!QTest::qWaitForWindowExposed(&box))
            qWarning("comparison box not exposed");
        connect(&box, &QTextBrowser::textChanged, this, [this] { box.moveCursor(QTextCursor::End); });
        port.setPortName(device);
        if (!port.open(QIODevice::ReadWrite))
            qWarning("comparison port did not open");
        connect(&port, &QSerialPort::readyRead, this, [this] {
            const QByteArray bytes = port.readAll();
            const QByteArray hex = bytes.toHex().toUpper();
            for (int i = 0; i < bytes.size() && !giveUp.hasExpired(); ++i) {
                box.insertPlainText(QString::fromLatin1(hex.mid(2 * i, 2)));
                box.insertPlainText(QStringLiteral(" "));
                ++received;
            }
        });
    }

    QTextBrowser box;
    QSerialPort port;
    // Bytes shown so far.
    qint64 received = 0;
    // A box that cannot keep up would block the event loop for hours; past this it shows no more.
    QDeadlineTimer giveUp = QDeadlineTimer::Forever;
};

// One receiving side under measurement: the program's window, or the comparison box.
struct Receiver {
    std::unique_ptr<TerminalSession> session;
    std::unique_ptr<OneParagraphReceiver> oneParagraph;

    explicit Receiver(bool fixed)
        : session(std::make_unique<TerminalSession>())
    {
        if (fixed) {
            if (!session->open())
                qFatal("the terminal did not open its pseudo-terminal");
        } else {
            oneParagraph = std::make_unique<OneParagraphReceiver>(*session->ui->textBrowser, session->pty.slavePath());
        }
    }
    PtyPair &pty() { return session->pty; }
    qint64 received() const { return oneParagraph ? oneParagraph->received : session->access.receivedBytes(); }
    int shownCharacters() const
    {
        const QTextDocument *doc = oneParagraph ? oneParagraph->box.document() : session->ui->textBrowser->document();
        return doc->characterCount() - doc->blockCount();
    }

    // The far end sends `bytes`; returns once they are taken in and the box has been repainted.
    void deliver(const QByteArray &bytes)
    {
        const qint64 target = received() + bytes.size();
        pty().write(bytes);
        while (received() < target)
            QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }

    // History as a long link test leaves it: echo after echo.
    void fillHistory(int characters)
    {
        if (oneParagraph) {
            // One paragraph either way, so it is built in one go rather than a pair at a time.
            const QString block = QString::fromLatin1(echoBlock.toHex(' ').toUpper()) + QLatin1Char(' ');
            oneParagraph->box.setPlainText(block.repeated(characters / block.size()));
            QCoreApplication::processEvents();
            return;
        }
        while (shownCharacters() < characters - echoBlock.size() * 3)
            deliver(echoBlock);
    }
};

double residentMiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    return statm.readAll().split(' ').value(1).toDouble() * 4096 / (1024 * 1024);
}

qint64 cpuNanoseconds(clockid_t clock)
{
    timespec t{};
    ::clock_gettime(clock, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Its own function so that a profiler can be told to count this part alone
// (valgrind --tool=callgrind --collect-atstart=no --toggle-collect='*measuredUpdates*').
__attribute__((noinline)) void measuredUpdates(int updates, const std::function<void()> &update)
{
    for (int i = 0; i < updates; ++i)
        update();
}

} // namespace

class BenchReceive : public QObject {
    Q_OBJECT

private slots:
    void appendCost_data();
    void appendCost();
    void oneMinuteAt19200_data();
    void oneMinuteAt19200();
    void historyBound();
    void updateCost();

private:
    std::unique_ptr<Receiver> m_receiver;
    QByteArray m_receiverRow;
};

void BenchReceive::appendCost_data()
{
    QTest::addColumn<bool>("fixed");
    QTest::addColumn<int>("history");
    for (int history : {0, 100000, 1000000})
        QTest::addRow("fixed, %d chars", history) << true << history;
    for (int history : {0, 100000, 1000000})
        QTest::addRow("one paragraph, %d chars", history) << false << history;
}

void BenchReceive::appendCost()
{
    QFETCH(bool, fixed);
    QFETCH(int, history);

    // QtTest calls this function several times to settle the iteration count; the history is built,
    // and the CPU time measured, once per row.
    if (m_receiverRow != QTest::currentDataTag()) {
        m_receiver.reset();
        m_receiver = std::make_unique<Receiver>(fixed);
        m_receiverRow = QTest::currentDataTag();
        QElapsedTimer filling;
        filling.start();
        m_receiver->fillHistory(history);
        const int before = m_receiver->shownCharacters();
        qInfo("history of %d characters built in %lld ms", before, filling.elapsed());

        // CPU time of this thread, which other load on the machine disturbs less than wall time.
        const int blocks = fixed ? 200 : 3;
        const qint64 cpuStart = cpuNanoseconds(CLOCK_THREAD_CPUTIME_ID);
        for (int i = 0; i < blocks; ++i)
            m_receiver->deliver(echoBlock);
        qInfo("CPU %.3f ms per block, over %d blocks from %d characters of history",
              (cpuNanoseconds(CLOCK_THREAD_CPUTIME_ID) - cpuStart) / 1e6 / blocks, blocks, before);
    }

    // The comparison box takes seconds a block with a long history: once is enough there.
    if (fixed) {
        QBENCHMARK
        {
            m_receiver->deliver(echoBlock);
        }
    } else {
        QBENCHMARK_ONCE
        {
            m_receiver->deliver(echoBlock);
        }
    }
}

void BenchReceive::oneMinuteAt19200_data()
{
    QTest::addColumn<bool>("fixed");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<bool>("paced");
    QTest::newRow("fixed, 14-byte echoes at line speed") << true << 14 << true;
    QTest::newRow("fixed, byte by byte at line speed") << true << 1 << true;
    QTest::newRow("fixed, all at once") << true << 115200 << false;
    QTest::newRow("one paragraph, 14-byte echoes at line speed") << false << 14 << true;
}

void BenchReceive::oneMinuteAt19200()
{
    QFETCH(bool, fixed);
    QFETCH(int, chunk);
    QFETCH(bool, paced);
    m_receiver.reset();
    m_receiverRow.clear();

    // 19,200 baud with 8N1 is ten bits a byte: 1,920 bytes a second, 115,200 in a minute.
    const int total = 115200;
    const qint64 nsPerByte = 1000000000LL / 1920;
    Receiver receiver(fixed);
    QByteArray data;
    while (data.size() < total)
        data += echoBlock;
    data.truncate(total);

    // The far end writes each chunk when its last byte would have come off the line, or, not paced,
    // everything as fast as the pseudo-terminal takes it (which then hands it on in chunks of its own).
    std::atomic<qint64> writerCpu{0};
    // Set when the receiving side gave up: nobody reads the line any more, so writes would block.
    std::atomic<bool> stopWriting{false};
    const int master = receiver.pty().masterFd();
    const qint64 wallStart = cpuNanoseconds(CLOCK_MONOTONIC);
    const qint64 mainCpuStart = cpuNanoseconds(CLOCK_THREAD_CPUTIME_ID);
    const qint64 processCpuStart = cpuNanoseconds(CLOCK_PROCESS_CPUTIME_ID);
    std::thread writer([&] {
        const qint64 writerStart = cpuNanoseconds(CLOCK_THREAD_CPUTIME_ID);
        for (int pos = 0; pos < total && !stopWriting; pos += chunk) {
            const int size = qMin(chunk, total - pos);
            const qint64 due = wallStart + (pos + size) * nsPerByte;
            const timespec at{time_t(due / 1000000000), long(due % 1000000000)};
            while (paced && ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
            int written = 0;
            while (written < size && !stopWriting) {
                const ssize_t n = ::write(master, data.constData() + pos + written, size_t(size - written));
                if (n > 0)
                    written += int(n);
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        writerCpu = cpuNanoseconds(CLOCK_THREAD_CPUTIME_ID) - writerStart;
    });

    // The GUI thread runs its ordinary event loop until everything is in, or gives up after two
    // minutes (a receive box that cannot keep up).
    if (receiver.oneParagraph)
        receiver.oneParagraph->giveUp.setRemainingTime(120000);
    QSignalSpy notifications(fixed ? receiver.session->access.port() : &receiver.oneParagraph->port,
                             &QIODevice::readyRead);
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (receiver.received() >= total || cpuNanoseconds(CLOCK_MONOTONIC) - wallStart > 120000000000LL)
            loop.quit();
    });
    check.start(50);
    loop.exec();
    const qint64 wall = cpuNanoseconds(CLOCK_MONOTONIC) - wallStart;
    const qint64 mainCpu = cpuNanoseconds(CLOCK_THREAD_CPUTIME_ID) - mainCpuStart;
    stopWriting = true;
    writer.join();
    const qint64 processCpu = cpuNanoseconds(CLOCK_PROCESS_CPUTIME_ID) - processCpuStart - writerCpu;

    qInfo("%lld of %d bytes shown, from %d notifications (%.1f bytes each), in %.1f s", receiver.received(), total,
          notifications.count(), notifications.isEmpty() ? 0.0 : double(receiver.received()) / notifications.count(),
          wall / 1e9);
    // The data is one minute of the line's capacity, however fast it was fed.
    qInfo("GUI thread CPU %.2f s = %.2f %% of one core for a minute of data (whole process but the far end %.2f s)",
          mainCpu / 1e9, 100.0 * mainCpu / 60e9, processCpu / 1e9);
}

void BenchReceive::historyBound()
{
    m_receiver.reset();
    auto session = std::make_unique<TerminalSession>();
    TerminalSession &s = *session;
    QVERIFY(s.open());
    QTextDocument *doc = s.ui->textBrowser->document();
    const int limit = MainWindow::defaultReceiveHistory;
    const double startMiB = residentMiB();

    // 4,096-byte blocks, each shown on its own: 12,288 characters an append.
    QByteArray block;
    for (int i = 0; i < 4096; ++i)
        block += char(i * 7);
    QVector<qint64> ordinary;
    qint64 worstOrdinary = 0;
    qint64 worstTrim = 0;
    int trims = 0;
    double grownMiB = 0;
    qint64 charactersAtBound = 0;
    QElapsedTimer fill;
    fill.start();
    // Up to the bound, then through three trims.
    while (trims < 3) {
        QVERIFY(s.deliver(block, TerminalSession::CountedOnly));
        const int before = doc->characterCount();
        QElapsedTimer append;
        append.start();
        s.access.flushReceiveDisplay();
        QCoreApplication::processEvents();
        const qint64 ns = append.nsecsElapsed();
        if (doc->characterCount() < before) {
            ++trims;
            worstTrim = std::max(worstTrim, ns);
            if (trims == 1) {
                grownMiB = residentMiB() - startMiB;
                charactersAtBound = before;
            }
        } else {
            worstOrdinary = std::max(worstOrdinary, ns);
            ordinary.append(ns);
        }
    }
    std::sort(ordinary.begin(), ordinary.end());
    qInfo("filled to %lld characters in %.1f s; history kept between %d and %d characters", charactersAtBound,
          fill.elapsed() / 1000.0, limit, doc->characterCount());
    qInfo("append of 12,288 characters: median %.2f ms, worst %.1f ms; appends that trimmed: %d, worst %.1f ms",
          ordinary.at(ordinary.size() / 2) / 1e6, worstOrdinary / 1e6, trims, worstTrim / 1e6);
    qInfo("resident memory grown at the bound: %.1f MiB, %.2f B per character kept, %.2f B per received byte", grownMiB,
          grownMiB * 1024 * 1024 / charactersAtBound, grownMiB * 1024 * 1024 / (charactersAtBound / 3.0));

    QElapsedTimer clear;
    clear.start();
    TerminalSession::click(s.ui->pushButton_16);
    QCoreApplication::processEvents();
    qInfo("清空接收数据: %.1f ms; resident memory above the start afterwards: %.1f MiB", clear.nsecsElapsed() / 1e6,
          residentMiB() - startMiB);

    // Filled once more, then the window closed with the history in it.
    while (doc->characterCount() < limit) {
        QVERIFY(s.deliver(block, TerminalSession::CountedOnly));
        s.access.flushReceiveDisplay();
    }
    QElapsedTimer close;
    close.start();
    session.reset();
    qInfo("closing the window with %d characters of history: %.1f ms", limit, close.nsecsElapsed() / 1e6);
}

void BenchReceive::updateCost()
{
    m_receiver.reset();
    TerminalSession s;
    QVERIFY(s.open());
    s.ui->textBrowser->window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(s.ui->textBrowser->window()));
    QByteArray block;
    for (int i = 0; i < 77; ++i)
        block += char(i * 7);
    const auto update = [&] {
        s.deliver(block, TerminalSession::CountedOnly);
        s.access.flushReceiveDisplay();
        // The paint the update asked for.
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    };
    while (s.ui->textBrowser->document()->characterCount() < 100000)
        update();
    const int updates = 1000;
    const qint64 cpuStart = cpuNanoseconds(CLOCK_THREAD_CPUTIME_ID);
    measuredUpdates(updates, update);
    const double ms = (cpuNanoseconds(CLOCK_THREAD_CPUTIME_ID) - cpuStart) / 1e6 / updates;
    qInfo("CPU %.3f ms per update of 77 bytes (%.2f %% of one core at 25 updates a second)", ms, ms * 25 / 10);
}

int main(int argc, char *argv[])
{
    // The comparison rows run longer than QtTest's default five minutes per function.
    qputenv("QTEST_FUNCTION_TIMEOUT", "3600000");
    QApplication app(argc, argv);
    BenchReceive bench;
    return QTest::qExec(&bench, argc, argv);
}
#include "bench_receive.moc"
