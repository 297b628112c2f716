// The send button on arbitrary send box text: the exact bytes that reach the far end of a real
// pseudo-terminal, and the two counters, held to the plain restatement of the send rules in
// reference.h. Run with -max_len=2048 or so: every input goes through the port and the line.

#include "fuzzsupport.h"
#include "portname.h"
#include "reference.h"
#include "testsupport.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QPushButton>
#include <QSerialPort>
#include <QTextEdit>

#include <poll.h>

namespace {

const QString kPortName = QStringLiteral("COM3");

PtyPair *line = nullptr;

// Everything the far end has received by now.
QByteArray readLine()
{
    QByteArray out;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(line->masterFd(), buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, int(n));
    }
    return out;
}

// The port writes from the event loop; push its queue into the line and take what arrives, until
// the far end holds `expected` bytes. The line is read meanwhile so it never fills. A byte more than
// expected shows here if it came with the others, else as a left-over at the next send.
QByteArray flushAndRead(int expected)
{
    QSerialPort *port = fuzz::access().port();
    QByteArray out;
    QDeadlineTimer deadline(5000);
    while (port->bytesToWrite() > 0 && !deadline.hasExpired()) {
        port->waitForBytesWritten(100);
        out += readLine();
    }
    FUZZ_CHECK(port->bytesToWrite() == 0, "the port still holds %lld bytes after 5 s", port->bytesToWrite());
    // A pseudo-terminal passes written bytes on to the other side a moment later.
    while (out.size() < expected && !deadline.hasExpired()) {
        pollfd p{line->masterFd(), POLLIN, 0};
        ::poll(&p, 1, 50);
        out += readLine();
    }
    return out;
}

void sendAndCheck(const QString &text)
{
    MainWindowTestAccess &w = fuzz::access();
    Ui::MainWindow *ui = w.ui();

    ui->textEdit_2->setPlainText(text);
    // The rules apply to what the box holds (it turns U+00A0 into a blank and paragraph separators
    // into line breaks), not to the input as it came.
    const QString boxText = ui->textEdit_2->toPlainText();
    QByteArray expected;
    for (const QString &chunk : reference::sendChunks(boxText)) {
        const QByteArray byte = reference::string2Hex(reference::chunkText(chunk));
        FUZZ_CHECK(byte.size() == 1, "the chunk [%s] does not stand for one byte", fuzz::dump(chunk).constData());
        expected += byte;
    }
    const qint64 sendsBefore = w.sendCount();
    const qint64 sentBefore = w.sentBytes();

    const QByteArray leftOver = readLine();
    FUZZ_CHECK(leftOver.isEmpty() && w.port()->bytesToWrite() == 0,
               "bytes of an earlier send turned up: [%s], %lld still queued", fuzz::dump(leftOver).constData(),
               w.port()->bytesToWrite());

    w.on_pushButton_17_clicked();

    FUZZ_CHECK(w.port()->bytesToWrite() == expected.size(), "the send queued %lld bytes for %d chunks",
               w.port()->bytesToWrite(), expected.size());
    const QByteArray wire = flushAndRead(expected.size());
    FUZZ_CHECK(wire == expected, "send box [%s]\n  sent     [%s]\n  expected [%s]", fuzz::dump(boxText).constData(),
               fuzz::dump(wire).constData(), fuzz::dump(expected).constData());

    const qint64 growth = reference::count(boxText);
    FUZZ_CHECK(w.sendCount() == sendsBefore + 1, "sendCount went from %lld to %lld", sendsBefore, w.sendCount());
    FUZZ_CHECK(w.sentBytes() == sentBefore + growth, "sentBytes went from %lld to %lld, expected +%lld", sentBefore,
               w.sentBytes(), growth);
    FUZZ_CHECK(ui->label_46->text() == QString::number(w.sendCount()), "label_46 shows %s",
               qPrintable(ui->label_46->text()));
    FUZZ_CHECK(ui->label_22->text() == QString::number(w.sentBytes()), "label_22 shows %s",
               qPrintable(ui->label_22->text()));
    FUZZ_CHECK(w.tokenLen() == 0, "the walk ended inside a group (tokenLen %d)", w.tokenLen());
    FUZZ_CHECK(ui->textBrowser->toPlainText().isEmpty(), "a send showed something in the receive box");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    MainWindowTestAccess &w = fuzz::access();
    line = new PtyPair;
    FUZZ_CHECK(line->isValid(), "no pseudo-terminal");
    redirectPortForTesting(kPortName, line->slavePath());
    w.ui()->comboBox_5->setCurrentText(kPortName);
    w.ui()->pushButton_10->click();
    FUZZ_CHECK(w.portOpen(), "the port on %s did not open", qPrintable(line->slavePath()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    for (const QString &text : fuzz::textsOf(fuzz::bytesOf(data, size)))
        sendAndCheck(text);
    // Whatever the sends posted (text box updates, deferred deletes) is dealt with before the next input.
    QCoreApplication::processEvents();
    return 0;
}
