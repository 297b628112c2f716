// talven-linerate-window: Talven's real window with a port opened on DEVICE, and nothing else, so
// that bench/linerate.sh can measure what the window costs while a line feeds it.
//
//   talven-linerate-window [--port COMn] [--rate BAUD] [--seconds N] DEVICE
//
// The port name is pointed at DEVICE and picked in the combo box with the rate, as a keyboard user
// does, and "打开串口" is clicked. Then the program prints "open" alone on a line and runs the
// window's own event loop: no sampling, no timers of its own, so that every CPU tick it takes is
// the window's. After N seconds (default: until killed) it prints the counters as the labels show
// them and exits. Exit status 1 when the port did not open.

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

#include <cstdio>
#include <cstdlib>
#include <memory>

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

} // namespace

int main(int argc, char *argv[])
{
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
    parser.addOptions({port, rate, seconds});
    parser.addPositionalArgument(QStringLiteral("DEVICE"), QStringLiteral("The terminal device to open."));
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        fail(QStringLiteral("give one DEVICE (see --help)"));
    bool ok = false;
    const int runSeconds = parser.value(seconds).toInt(&ok);
    if (!ok || runSeconds < 0)
        fail(QStringLiteral("--seconds takes a whole number"));

    // Only while opening: its 10 ms poll would be counted as the window's.
    auto catcher = std::make_unique<ModalCatcher>();
    redirectPortForTesting(parser.value(port), parser.positionalArguments().constFirst());
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

    if (runSeconds > 0)
        QTimer::singleShot(runSeconds * 1000, &app, &QCoreApplication::quit);
    const int status = app.exec();
    std::printf(
        "received bytes %s, sends %s, complete receptions %s\n", qPrintable(widget<QLabel>(window, "label_26")->text()),
        qPrintable(widget<QLabel>(window, "label_46")->text()), qPrintable(widget<QLabel>(window, "label_32")->text()));
    return status;
}
