// talven-soak: a long link test of Talven's real window against a loop-back, driven the way a user
// drives it, with the process's memory, CPU time and the on-screen counters sampled as it runs.
//
//   talven-soak [--minutes N | --seconds N] [--sample-seconds N] [--port COMn] [--rate BAUD]
//               [--period MS | --listen] [--max-cpu PERCENT] [--max-bytes-per-byte B] DEVICE
//
// DEVICE is the far end's terminal device, normally the pseudo-terminal of `talven-radiosim --echo`
// (tools/soak.sh starts one). The chosen port name is pointed at DEVICE; then the window is used as
// a user would: port and rate picked in the combo boxes, "打开串口" clicked, the period typed, the
// auto-send box ticked, the send box left at its start text. At the end auto-send is switched off,
// the last echo is let in, and the counters are read off the labels.
//
// With --listen nothing is sent: the far end reports on its own at full line rate (for instance
// `talven-radiosim --baud 19200 --stream --pace --piece 1`), and the run passes when the received
// counter keeps up with the line's rate instead of when every send came back.
//
// Memory is judged against what the receive box's text may cost. That cost is measured, not
// assumed: after the run a second window takes the same 14-byte echoes, four at a time, through a
// pseudo-terminal of its own until its box has grown as much as the first one did (at most a
// million characters), and the resident memory it added is divided by the characters it gained.
//
// Exit status: 0 PASS, 1 FAIL, 2 bad command line. Runs headless (QT_QPA_PLATFORM=offscreen), the
// default when there is no display.

#include "mainwindow.h"
#include "portname.h"
#include "testsupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QVector>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sys/resource.h>

namespace {

constexpr double kMiB = 1024.0 * 1024.0;

// The targets. Memory may grow by what the receive box's text costs, plus a margin for what one
// run's samples cannot tell apart: a quarter of that cost, and never less than 2 MiB an hour.
constexpr double kMemoryMarginShare = 0.25;
constexpr double kMemoryMarginFloorMiBPerHour = 2.0;

[[noreturn]] void usageError(const QString &message)
{
    std::fprintf(stderr, "talven-soak: %s\n", qPrintable(message));
    std::exit(2);
}

void say(const QString &line)
{
    std::printf("%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

qint64 residentBytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').constFirst().toLongLong() * 1024;
    }
    return -1;
}

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) {
        return double(t.tv_sec) + double(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

QString clock(double seconds)
{
    const auto s = qint64(std::llround(seconds));
    return QStringLiteral("%1:%2").arg(s / 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0'));
}

// Least-squares slope of y over x; 0 when x does not vary.
double slope(const QVector<double> &x, const QVector<double> &y)
{
    const int n = x.size();
    if (n < 2)
        return 0;
    double mx = 0, my = 0;
    for (int i = 0; i < n; ++i) {
        mx += x[i] / n;
        my += y[i] / n;
    }
    double sxy = 0, sxx = 0;
    for (int i = 0; i < n; ++i) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
    }
    return sxx > 0 ? sxy / sxx : 0;
}

// Runs the event loop for `ms`, or until `done` holds; true if it held.
template <class Done> bool runEventsUntil(int ms, Done done)
{
    QDeadlineTimer deadline(ms);
    // Waits for events instead of polling for them, which would spin a core for as long as the
    // window takes (and the closing calibration takes minutes); the tick makes every wait end.
    QTimer tick;
    tick.start(2);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void settle(int ms)
{
    runEventsUntil(ms, [] { return false; });
}

// Talven's window as a user sees it: the controls and figures of the terminal, found by the form's
// object names.
class Terminal {
    // First, so that it exists while the members below look their widgets up.
    QStringList m_missing;

public:
    Terminal()
    {
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            m_missing << QStringLiteral("(the window was never shown)");
    }

    MainWindow window;
    QComboBox *port = find<QComboBox>("comboBox_5");
    QComboBox *rate = find<QComboBox>("comboBox_6");
    QPushButton *openClose = find<QPushButton>("pushButton_10");
    QLineEdit *period = find<QLineEdit>("lineEdit_14");
    QCheckBox *autoSend = find<QCheckBox>("checkBox");
    QTextEdit *sendBox = find<QTextEdit>("textEdit_2");
    QTextBrowser *receiveBox = find<QTextBrowser>("textBrowser");
    QLabel *sends = find<QLabel>("label_46");
    QLabel *matches = find<QLabel>("label_32");
    QLabel *receivedBytes = find<QLabel>("label_26");
    QLabel *errorRate = find<QLabel>("label_45");

    QString missingWidgets() const { return m_missing.join(QStringLiteral(", ")); }
    bool isOpen() const { return openClose->text() == QStringLiteral("关闭串口"); }
    int boxCharacters() const { return receiveBox->document()->characterCount(); }

    // Picks the port and rate by typing into the closed combo boxes, as a keyboard user does, and
    // clicks the open button. A warning box in between is left to the caller's catcher.
    QString open(const QString &portName, const QString &baud)
    {
        choose(port, portName);
        if (port->currentText() != portName)
            return QStringLiteral("the port list has no %1").arg(portName);
        choose(rate, baud);
        if (rate->currentText() != baud)
            return QStringLiteral("the rate list has no %1").arg(baud);
        QTest::mouseClick(openClose, Qt::LeftButton);
        return isOpen() ? QString() : QStringLiteral("%1 did not open").arg(portName);
    }

    QString startAutoSend(const QString &ms)
    {
        period->setFocus();
        period->selectAll();
        QTest::keyClick(period, Qt::Key_Backspace);
        QTest::keyClicks(period, ms);
        if (period->text() != ms)
            return QStringLiteral("the period field took \"%1\" instead of \"%2\"").arg(period->text(), ms);
        QTest::mouseClick(autoSend, Qt::LeftButton);
        return autoSend->isChecked() ? QString() : QStringLiteral("the auto-send box did not tick");
    }

private:
    template <class T> T *find(const char *name)
    {
        T *w = window.findChild<T *>(QLatin1String(name));
        if (!w)
            m_missing << QLatin1String(name);
        return w;
    }
    static void choose(QComboBox *box, const QString &text)
    {
        box->setFocus();
        QTest::keyClicks(box, text);
    }
};

struct Sample {
    double seconds = 0;
    qint64 rss = 0;
    double cpu = 0;
    QString sends;
    QString matches;
    QString receivedBytes;
    QString errorRate;
    int boxCharacters = 0;
};

class Soak {
public:
    struct Settings {
        QString device;
        QString portName;
        QString baud;
        QString period;
        int seconds;
        int sampleSeconds;
        bool listen;
        double maxCpuPercent;
        double maxBytesPerByte;
    };

    explicit Soak(const Settings &settings)
        : s(settings)
    {
    }

    int run()
    {
        redirectPortForTesting(s.portName, s.device);
        Terminal t;
        if (!t.missingWidgets().isEmpty())
            return fail(QStringLiteral("the window lacks %1").arg(t.missingWidgets()));
        const QString sendText = t.sendBox->toPlainText();
        const QString traffic = s.listen ? QStringLiteral("listening, nothing sent")
                                         : QStringLiteral("auto-send every %1 ms of \"%2\"").arg(s.period, sendText);
        say(QStringLiteral("talven-soak: %1 -> %2 at %3 baud; %4; %5 s, a sample every %6 s")
                .arg(s.portName, s.device, s.baud, traffic)
                .arg(s.seconds)
                .arg(s.sampleSeconds));

        QString why = t.open(s.portName, s.baud);
        if (!boxesSeen().isEmpty() || !why.isEmpty())
            return fail(QStringLiteral("opening %1: %2").arg(s.portName, boxesSeen().isEmpty() ? why : boxesSeen()));
        if (!s.listen) {
            why = t.startAutoSend(s.period);
            if (!why.isEmpty())
                return fail(why);
        }

        say(QStringLiteral("elapsed    RSS MiB    CPU s  CPU %     sends   matches    rx bytes   error  box chars"));
        m_clock.start();
        record(t);

        // The run itself: nothing but the window's own timers and port, and a look now and then.
        QEventLoop loop;
        QTimer sampler;
        sampler.setTimerType(Qt::PreciseTimer);
        QObject::connect(&sampler, &QTimer::timeout, [&] {
            record(t);
            if (m_clock.elapsed() >= qint64(s.seconds) * 1000)
                loop.quit();
        });
        sampler.start(s.sampleSeconds * 1000);
        QTimer end;
        end.setTimerType(Qt::PreciseTimer);
        end.setSingleShot(true);
        QObject::connect(&end, &QTimer::timeout, [&] { loop.quit(); });
        end.start(s.seconds * 1000);
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (!boxesSeen().isEmpty() || !t.isOpen() || t.autoSend->isChecked() == s.listen)
                loop.quit();
        });
        watch.start(100);
        loop.exec();
        sampler.stop();
        watch.stop();

        if (!boxesSeen().isEmpty() || !t.isOpen() || t.autoSend->isChecked() == s.listen) {
            if (double(m_clock.elapsed()) / 1000.0 - m_samples.constLast().seconds >= 0.5)
                record(t);
            return fail(QStringLiteral("at %1 %2")
                            .arg(clock(double(m_clock.elapsed()) / 1000.0),
                                 boxesSeen().isEmpty() ? QStringLiteral("the port closed or auto-send stopped")
                                                       : QStringLiteral("a warning box came up: ") + boxesSeen()));
        }
        if (m_samples.constLast().seconds < s.seconds - 0.5)
            record(t);

        // Auto-send off as the user does it, then the echo of the last send is let in.
        if (!s.listen) {
            QTest::mouseClick(t.autoSend, Qt::LeftButton);
            runEventsUntil(2000, [&] { return t.sends->text() == t.matches->text(); });
            settle(200);
        }
        const qint64 sends = t.sends->text().toLongLong();
        const qint64 matches = t.matches->text().toLongLong();
        const int boxGrowth = t.boxCharacters() - m_samples.constFirst().boxCharacters;
        QTest::mouseClick(t.openClose, Qt::LeftButton);
        redirectPortForTesting(s.portName, QString());

        // The first window stays, so that the memory it holds is not handed to the second one.
        const std::optional<double> bytesPerChar = measureBoxCost(std::clamp(boxGrowth, 50000, 1000000));
        if (!bytesPerChar)
            return fail(QStringLiteral("measuring the receive box's cost: ") + m_why);

        return verdict(sends, matches, *bytesPerChar);
    }

private:
    // Every modal box seen so far, closed by the catcher; the window shows one only when opening or
    // keeping the port failed.
    QString boxesSeen() const
    {
        QStringList texts;
        for (const ModalCatcher::Box &box : m_catcher.boxes)
            texts << QStringLiteral("\"%1\" %2").arg(box.title, box.text);
        return texts.join(QStringLiteral("; "));
    }

    int fail(const QString &reason)
    {
        say(QStringLiteral("verdict: FAIL: %1").arg(reason));
        return 1;
    }

    void record(const Terminal &t)
    {
        Sample sample;
        sample.seconds = double(m_clock.elapsed()) / 1000.0;
        sample.rss = residentBytes();
        sample.cpu = cpuSeconds();
        // The counters as the user reads them, off the labels.
        sample.sends = t.sends->text();
        sample.matches = t.matches->text();
        sample.receivedBytes = t.receivedBytes->text();
        sample.errorRate = t.errorRate->text();
        sample.boxCharacters = t.boxCharacters();
        QString cpuShare = QStringLiteral("-");
        if (!m_samples.isEmpty()) {
            const Sample &last = m_samples.constLast();
            if (sample.seconds > last.seconds)
                cpuShare = QString::number((sample.cpu - last.cpu) / (sample.seconds - last.seconds) * 100, 'f', 2);
        }
        m_samples.append(sample);
        say(QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8 %9")
                .arg(clock(sample.seconds), 7)
                .arg(double(sample.rss) / kMiB, 10, 'f', 2)
                .arg(sample.cpu, 8, 'f', 2)
                .arg(cpuShare, 6)
                .arg(sample.sends, 9)
                .arg(sample.matches, 9)
                .arg(sample.receivedBytes, 11)
                .arg(sample.errorRate.isEmpty() ? QStringLiteral("-") : sample.errorRate, 7)
                .arg(sample.boxCharacters, 10));
    }

    // Resident bytes added per character of receive-box text: a second window takes the echo of the
    // start text (14 bytes, 42 characters) four at a time, about what one display update brings at
    // line rate, and each time waits for the update, until its box has grown by `characters`. One
    // echo an update (they come at most every 40 ms) would make a million characters take a quarter
    // of an hour.
    std::optional<double> measureBoxCost(int characters)
    {
        PtyPair line;
        if (!line.isValid()) {
            m_why = QStringLiteral("no pseudo-terminal");
            return std::nullopt;
        }
        redirectPortForTesting(s.portName, line.slavePath());
        Terminal t;
        const QString why = t.open(s.portName, s.baud);
        redirectPortForTesting(s.portName, QString());
        if (!why.isEmpty() || !boxesSeen().isEmpty()) {
            m_why = why.isEmpty() ? boxesSeen() : why;
            return std::nullopt;
        }
        const QByteArray block = QByteArray::fromHex("0102030405060708091011121314");
        qint64 delivered = 0;
        const QByteArray group = block.repeated(4);
        const auto deliver = [&](int blocks) {
            for (int i = 0; i < blocks; i += 4) {
                if (!line.write(group))
                    return false;
                delivered += group.size();
                if (!runEventsUntil(5000, [&] { return t.receivedBytes->text().toLongLong() == delivered; }))
                    return false;
            }
            // Let the view catch up (scrolling, painting) as it does between the run's echoes.
            settle(100);
            return true;
        };
        // The first blocks pay for fonts, glyph caches and the view's first layout, which the run's
        // window had paid for before its first sample.
        if (!deliver(200)) {
            m_why = QStringLiteral("the second window stopped taking blocks");
            return std::nullopt;
        }
        const qint64 rssBefore = residentBytes();
        const int charsBefore = t.boxCharacters();
        if (!deliver((characters + 41) / 42)) {
            m_why = QStringLiteral("the second window stopped taking blocks");
            return std::nullopt;
        }
        const qint64 rssAfter = residentBytes();
        const int charsAfter = t.boxCharacters();
        m_calibration = QStringLiteral("a second window's receive box grew by %1 characters in 56-byte pieces and "
                                       "its resident memory by %2 MiB")
                            .arg(charsAfter - charsBefore)
                            .arg(double(rssAfter - rssBefore) / kMiB, 0, 'f', 2);
        return double(rssAfter - rssBefore) / std::max(1, charsAfter - charsBefore);
    }

    int verdict(qint64 sends, qint64 matches, double bytesPerChar)
    {
        // The first interval is warm-up (fonts, caches, the first layouts), as long as enough remain.
        const int from = m_samples.size() >= 4 ? 1 : 0;
        QVector<double> hours, rssMiB, chars;
        for (int i = from; i < m_samples.size(); ++i) {
            hours << m_samples[i].seconds / 3600;
            rssMiB << double(m_samples[i].rss) / kMiB;
            chars << m_samples[i].boxCharacters;
        }
        const double growth = slope(hours, rssMiB);
        const double charsPerHour = slope(hours, chars);
        const double explained = charsPerHour * bytesPerChar / kMiB;
        const double allowed = explained + std::max(kMemoryMarginFloorMiBPerHour, kMemoryMarginShare * explained);

        const Sample &first = m_samples.constFirst();
        const Sample &last = m_samples.constLast();
        const double cpuPercent = (last.cpu - first.cpu) / std::max(1e-9, last.seconds - first.seconds) * 100;
        const double errorPercent = sends > 0 ? double(sends - matches) / double(sends) * 100 : 100;
        // Memory against what came in, after the warm-up, as the counter on screen says.
        const Sample &warm = m_samples.at(from);
        const qint64 receivedAfterWarmUp = last.receivedBytes.toLongLong() - warm.receivedBytes.toLongLong();
        const double bytesPerReceivedByte =
            receivedAfterWarmUp > 0 ? double(last.rss - warm.rss) / double(receivedAfterWarmUp) : 0;
        // A line at full rate: ten bit times a byte. What the far end sends while the window falls more
        // than a second behind is lost on the way, so a window that cannot keep up shows here.
        const double lineBytesPerSecond = s.baud.toDouble() / 10;
        const double receivedPerSecond = double(receivedAfterWarmUp) / std::max(1e-9, last.seconds - warm.seconds);

        QStringList misses;
        if (!s.listen && (sends == 0 || matches != sends))
            misses << QStringLiteral("error rate");
        if (s.listen && receivedPerSecond < 0.99 * lineBytesPerSecond)
            misses << QStringLiteral("line rate");
        if (cpuPercent >= s.maxCpuPercent)
            misses << QStringLiteral("CPU");
        if (growth > allowed)
            misses << QStringLiteral("memory");
        if (bytesPerReceivedByte > s.maxBytesPerByte)
            misses << QStringLiteral("memory per received byte");

        // The text alone takes 2 bytes a character (UTF-16); blocks, their line layouts and the
        // allocator's rounding come on top.
        // A box that gained nothing (a stalled line) has a slope of rounding noise, not a rate.
        const QString perGained = charsPerHour >= 1
                                      ? QStringLiteral("this run grew by %1 B per character its box gained")
                                            .arg(growth * kMiB / charsPerHour, 0, 'f', 1)
                                      : QStringLiteral("this run's box gained no characters");
        say(QStringLiteral("receive box: %1 B of memory per character of its text, measured (%2); %3")
                .arg(bytesPerChar, 0, 'f', 1)
                .arg(m_calibration)
                .arg(perGained));
        say(QStringLiteral("received: %1 B/s after the warm-up (the line carries %2 B/s); resident memory grew %3 B "
                           "per received byte (target at most %4 B)")
                .arg(receivedPerSecond, 0, 'f', 1)
                .arg(lineBytesPerSecond, 0, 'f', 0)
                .arg(bytesPerReceivedByte, 0, 'f', 2)
                .arg(s.maxBytesPerByte, 0, 'f', 1));
        const QString link = s.listen ? QStringLiteral("received %1 B/s of the line's %2 B/s (target at least 99 %)")
                                            .arg(receivedPerSecond, 0, 'f', 1)
                                            .arg(lineBytesPerSecond, 0, 'f', 0)
                                      : QStringLiteral("error rate %1 % (%2 sends, %3 complete receptions, %4 missed; "
                                                       "target 0.00 %)")
                                            .arg(errorPercent, 0, 'f', 2)
                                            .arg(sends)
                                            .arg(matches)
                                            .arg(sends - matches);
        say(QStringLiteral("verdict: %1: memory %2 MiB/h, of which the receive box explains %3 MiB/h (%4 characters/h "
                           "x %5 B; allowed up to %6 MiB/h); CPU %7 % of one core (target < %8 %); %9%10")
                .arg(misses.isEmpty() ? QStringLiteral("PASS") : QStringLiteral("FAIL"))
                .arg(growth, 0, 'f', 2)
                .arg(explained, 0, 'f', 2)
                .arg(charsPerHour, 0, 'f', 0)
                .arg(bytesPerChar, 0, 'f', 1)
                .arg(allowed, 0, 'f', 2)
                .arg(cpuPercent, 0, 'f', 2)
                .arg(s.maxCpuPercent, 0, 'f', 1)
                .arg(link)
                .arg(misses.isEmpty() ? QString()
                                      : QStringLiteral(" -- missed: ") + misses.join(QStringLiteral(", "))));
        return misses.isEmpty() ? 0 : 1;
    }

    Settings s;
    ModalCatcher m_catcher;
    QElapsedTimer m_clock;
    QVector<Sample> m_samples;
    QString m_calibration;
    QString m_why;
};

int positiveOption(const QCommandLineParser &parser, const QCommandLineOption &option, int highest, int lowest = 1)
{
    bool ok = false;
    const int value = parser.value(option).toInt(&ok);
    if (!ok || value < lowest || value > highest)
        usageError(QStringLiteral("--%1 takes a whole number from %2 to %3, not \"%4\"")
                       .arg(option.names().constFirst())
                       .arg(lowest)
                       .arg(highest)
                       .arg(parser.value(option)));
    return value;
}

} // namespace

int main(int argc, char *argv[])
{
    // Meant to run headless; with no display at all, Qt would abort before the first line.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // As the program itself starts, so that what is measured is what users run.
    MainWindow::prepareApplication();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("talven-soak"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs Talven's window in an auto-send link test against DEVICE (a loop-back such as\n"
                       "`talven-radiosim --echo`) and reports memory, CPU time and the counters as it goes,\n"
                       "then PASS or FAIL. Exit status 0 on PASS, 1 on FAIL."));
    parser.addHelpOption();
    const QCommandLineOption minutes(QStringLiteral("minutes"), QStringLiteral("Length of the run (default 10)."),
                                     QStringLiteral("n"), QStringLiteral("10"));
    const QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Length of the run, for short runs."),
                                     QStringLiteral("n"));
    const QCommandLineOption sampleSeconds(
        QStringLiteral("sample-seconds"),
        QStringLiteral("Time between samples (default 60, or a tenth of a run shorter than 10 minutes)."),
        QStringLiteral("n"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port name to use (default COM3)."),
                                  QStringLiteral("name"), QStringLiteral("COM3"));
    const QCommandLineOption rate(QStringLiteral("rate"), QStringLiteral("Baud rate to pick (default 9600)."),
                                  QStringLiteral("baud"), QStringLiteral("9600"));
    const QCommandLineOption period(QStringLiteral("period"),
                                    QStringLiteral("Auto-send period in milliseconds (default 100)."),
                                    QStringLiteral("ms"), QStringLiteral("100"));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Send nothing: the far end reports on its own (talven-radiosim "
                                                   "--stream); the received counter must keep up with the line."));
    const QCommandLineOption maxCpu(QStringLiteral("max-cpu"),
                                    QStringLiteral("CPU target in percent of one core (default 5)."),
                                    QStringLiteral("percent"), QStringLiteral("5"));
    const QCommandLineOption maxBytesPerByte(
        QStringLiteral("max-bytes-per-byte"),
        QStringLiteral("Target for resident memory grown per received byte (default 8)."), QStringLiteral("b"),
        QStringLiteral("8"));
    parser.addOptions({minutes, seconds, sampleSeconds, port, rate, period, listen, maxCpu, maxBytesPerByte});
    parser.addPositionalArgument(QStringLiteral("DEVICE"), QStringLiteral("The far end's terminal device."));
    parser.process(app);

    if (parser.positionalArguments().size() != 1)
        usageError(QStringLiteral("give one DEVICE (see --help)"));
    if (parser.isSet(minutes) && parser.isSet(seconds))
        usageError(QStringLiteral("give --minutes or --seconds, not both"));
    if (parser.isSet(listen) && parser.isSet(period))
        usageError(QStringLiteral("--listen sends nothing; --period does not go with it"));
    const auto positiveNumber = [&parser](const QCommandLineOption &option) {
        bool ok = false;
        const double value = parser.value(option).toDouble(&ok);
        if (!ok || value <= 0)
            usageError(QStringLiteral("--%1 takes a positive number, not \"%2\"")
                           .arg(option.names().constFirst(), parser.value(option)));
        return value;
    };

    Soak::Settings settings;
    settings.device = parser.positionalArguments().constFirst();
    settings.portName = parser.value(port);
    settings.baud = parser.value(rate);
    // 0 as the window takes it: a send whenever the event loop is idle (and the line has room).
    settings.period = QString::number(positiveOption(parser, period, 999999, 0));
    settings.seconds = parser.isSet(seconds) ? positiveOption(parser, seconds, 7 * 24 * 3600)
                                             : positiveOption(parser, minutes, 7 * 24 * 60) * 60;
    settings.sampleSeconds = parser.isSet(sampleSeconds) ? positiveOption(parser, sampleSeconds, 24 * 3600)
                                                         : std::clamp(settings.seconds / 10, 1, 60);
    settings.listen = parser.isSet(listen);
    settings.maxCpuPercent = positiveNumber(maxCpu);
    settings.maxBytesPerByte = positiveNumber(maxBytesPerByte);

    Soak soak(settings);
    return soak.run();
}
