// talven-linerate-window: Talven's real window with a port opened on DEVICE, and nothing else, so
// that bench/linerate.sh can measure what the window costs while a line feeds it.
//
//   talven-linerate-window [--port COMn] [--rate BAUD] [--seconds N] DEVICE
//   talven-linerate-window --latency [--piece N] [--seconds N]
//
// The port name is pointed at DEVICE and picked in the combo box with the rate, as a keyboard user
// does, and "打开串口" is clicked. Then the program prints "open" alone on a line and runs the
// window's own event loop: no sampling, no timers of its own, so that every CPU tick it takes is
// the window's. After N seconds (default: until killed) it prints the counters as the labels show
// them and exits. Exit status 1 when the port did not open.
//
// With --latency the program is the far end too: it opens a pseudo-terminal of its own and a thread
// writes 1,920 bytes a second into it in pieces of N bytes (default 1), each when its last byte
// would have come off a 19,200-baud line, noting when. Each time the receive box's view is painted,
// the pieces whose hex it now holds count as on screen; the time from a piece's write to that paint
// is its latency. At the end (default 60 s) it prints the median, 99th percentile and worst.
// Shown bytes are counted as the box's characters less its paragraph ends, three ("XX ") a byte.

#include "mainwindow.h"
#include "portname.h"
#include "testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <QTextBrowser>
#include <QTextDocument>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

namespace {

[[noreturn]] void fail(const QString &message)
{
    std::fprintf(stderr, "talven-linerate-window: %s\n", qPrintable(message));
    std::exit(1);
}

void choose(QComboBox *box, const QString &text)
{
    box->setFocus();
    QTest::keyClicks(box, text);
    if (box->currentText() != text)
        fail(QStringLiteral("the %1 list has no %2").arg(box->objectName(), text));
}

template <class T> T *widget(QWidget &window, const char *name)
{
    T *w = window.findChild<T *>(QLatin1String(name));
    if (!w)
        fail(QStringLiteral("the window lacks %1").arg(QLatin1String(name)));
    return w;
}

qint64 monotonicNs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// The far end of --latency and the paints of the receive box's view.
class LatencyProbe : public QObject {
public:
    LatencyProbe(QTextBrowser *box, int master, int piece, int seconds)
        : m_box(box)
        , m_master(master)
        , m_piece(piece)
        , m_pieces(size_t(seconds) * 1920 / size_t(piece))
        , m_writtenAt(m_pieces, 0)
    {
        box->viewport()->installEventFilter(this);
    }
    ~LatencyProbe() override
    {
        m_stop = true;
        if (m_writer.joinable())
            m_writer.join();
    }
    LatencyProbe(const LatencyProbe &) = delete;
    LatencyProbe &operator=(const LatencyProbe &) = delete;

    void start()
    {
        m_writer = std::thread([this] {
            const QByteArray data = QByteArray::fromHex("0102030405060708091011121314").repeated(m_piece);
            const qint64 start = monotonicNs();
            for (size_t k = 0; k < m_pieces && !m_stop; ++k) {
                // Ten bit times a byte at 19,200 baud, from the start: no drift.
                const qint64 due = start + qint64((k + 1) * size_t(m_piece) * 1000000000ULL / 1920);
                const timespec at{time_t(due / 1000000000LL), long(due % 1000000000LL)};
                while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
                }
                m_writtenAt[k] = monotonicNs();
                m_written.store(k + 1, std::memory_order_release);
                const char *bytes = data.constData() + (k * size_t(m_piece)) % 14;
                int done = 0;
                while (done < m_piece && !m_stop) {
                    const ssize_t n = ::write(m_master, bytes + done, size_t(m_piece - done));
                    if (n > 0)
                        done += int(n);
                    else
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    }

    void report() const
    {
        std::vector<qint64> sorted = m_latencies;
        std::sort(sorted.begin(), sorted.end());
        if (sorted.empty()) {
            std::printf("latency: no piece reached the screen\n");
            return;
        }
        const auto at = [&sorted](double share) {
            return double(sorted[std::min(sorted.size() - 1, size_t(share * double(sorted.size())))]) / 1e6;
        };
        std::printf("latency: %zu of %zu %d-byte pieces on screen; write to paint median %.1f ms, 99th percentile "
                    "%.1f ms, worst %.1f ms (target at most 50 ms)\n",
                    sorted.size(), m_pieces, m_piece, at(0.5), at(0.99), double(sorted.back()) / 1e6);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            const qint64 now = monotonicNs();
            const QTextDocument *doc = m_box->document();
            const qint64 shownBytes = (doc->characterCount() - doc->blockCount()) / 3;
            const size_t written = m_written.load(std::memory_order_acquire);
            while (m_shownPieces < written && qint64(m_shownPieces + 1) * m_piece <= shownBytes) {
                m_latencies.push_back(now - m_writtenAt[m_shownPieces]);
                ++m_shownPieces;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QTextBrowser *m_box;
    int m_master;
    int m_piece;
    size_t m_pieces;
    std::vector<qint64> m_writtenAt;
    std::atomic<size_t> m_written{0};
    std::atomic<bool> m_stop{false};
    std::thread m_writer;
    size_t m_shownPieces = 0;
    std::vector<qint64> m_latencies;
};

} // namespace

int main(int argc, char *argv[])
{
    // As the program itself starts, so that what is measured is what users run.
    MainWindow::prepareApplication();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("talven-linerate-window"));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Opens DEVICE in Talven's window and runs it, for CPU measurements from outside."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port name to use (default COM3)."),
                                  QStringLiteral("name"), QStringLiteral("COM3"));
    const QCommandLineOption rate(QStringLiteral("rate"), QStringLiteral("Baud rate to pick (default 19200)."),
                                  QStringLiteral("baud"), QStringLiteral("19200"));
    const QCommandLineOption seconds(QStringLiteral("seconds"),
                                     QStringLiteral("Run this long after opening (default: until killed)."),
                                     QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption latency(QStringLiteral("latency"),
                                     QStringLiteral("Be the far end too and measure bytes' way to the screen."));
    const QCommandLineOption piece(QStringLiteral("piece"),
                                   QStringLiteral("With --latency: bytes a piece (default 1)."), QStringLiteral("n"),
                                   QStringLiteral("1"));
    parser.addOptions({port, rate, seconds, latency, piece});
    parser.addPositionalArgument(QStringLiteral("DEVICE"), QStringLiteral("The terminal device to open."));
    parser.process(app);
    const bool measureLatency = parser.isSet(latency);
    if (parser.positionalArguments().size() != (measureLatency ? 0 : 1))
        fail(measureLatency ? QStringLiteral("--latency feeds a line of its own; give no DEVICE")
                            : QStringLiteral("give one DEVICE (see --help)"));
    bool ok = false;
    int runSeconds = parser.value(seconds).toInt(&ok);
    if (!ok || runSeconds < 0)
        fail(QStringLiteral("--seconds takes a whole number"));
    const int pieceSize = parser.value(piece).toInt(&ok);
    if (!ok || pieceSize < 1 || pieceSize > 4096)
        fail(QStringLiteral("--piece takes a number from 1 to 4096"));
    if (measureLatency && runSeconds == 0)
        runSeconds = 60;
    PtyPair line;
    if (measureLatency && !line.isValid())
        fail(QStringLiteral("no pseudo-terminal"));
    const QString device = measureLatency ? line.slavePath() : parser.positionalArguments().constFirst();

    // Only while opening: its 10 ms poll would be counted as the window's.
    auto catcher = std::make_unique<ModalCatcher>();
    redirectPortForTesting(parser.value(port), device);
    MainWindow window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        fail(QStringLiteral("the window was never shown"));
    choose(widget<QComboBox>(window, "comboBox_5"), parser.value(port));
    choose(widget<QComboBox>(window, "comboBox_6"), parser.value(rate));
    auto *openClose = widget<QPushButton>(window, "pushButton_10");
    QTest::mouseClick(openClose, Qt::LeftButton);
    if (openClose->text() != QStringLiteral("关闭串口") || !catcher->boxes.isEmpty())
        fail(QStringLiteral("%1 did not open").arg(parser.value(port)));
    catcher.reset();
    std::printf("open\n");
    std::fflush(stdout);

    std::unique_ptr<LatencyProbe> probe;
    if (measureLatency) {
        probe = std::make_unique<LatencyProbe>(widget<QTextBrowser>(window, "textBrowser"), line.masterFd(), pieceSize,
                                               runSeconds);
        probe->start();
    }
    if (runSeconds > 0)
        QTimer::singleShot(runSeconds * 1000 + (measureLatency ? 500 : 0), &app, &QCoreApplication::quit);
    const int status = app.exec();
    if (probe)
        probe->report();
    std::printf(
        "received bytes %s, sends %s, complete receptions %s\n", qPrintable(widget<QLabel>(window, "label_26")->text()),
        qPrintable(widget<QLabel>(window, "label_46")->text()), qPrintable(widget<QLabel>(window, "label_32")->text()));
    return status;
}
