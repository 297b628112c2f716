// The radio module's answers on arbitrary blocks: the echo and decoding of a parameter reply, and
// the verdict on pending writes for every combination of pending flags.

#include "fuzzsupport.h"
#include "ui_mainwindow.h"

#include <QLineEdit>
#include <QTextBrowser>

namespace {

// Texts the fields hold before each block, so that "left as it was" can be told from "set".
const QString kBefore = QStringLiteral("before");

QString receivedText()
{
    return fuzz::access().ui()->textBrowser->toPlainText().remove(QLatin1Char('\n'));
}

QString shown(const QByteArray &block)
{
    QString text;
    for (const char byte : block)
        text += QString::asprintf("%02X ", static_cast<unsigned char>(byte));
    return text;
}

// The text a code field shows after the block, from the two tables; unknown codes leave it alone.
QString codeText(unsigned char code, const QVector<QPair<int, const char *>> &table)
{
    for (const auto &entry : table) {
        if (entry.first == code)
            return QString::fromLatin1(entry.second);
    }
    return kBefore;
}

void checkParamReply(const QByteArray &block)
{
    MainWindowTestAccess &w = fuzz::access();
    Ui::MainWindow *ui = w.ui();
    QLineEdit *const fields[] = {ui->lineEdit_23, ui->lineEdit_24, ui->lineEdit_25, ui->lineEdit_26, ui->lineEdit_27};
    for (QLineEdit *field : fields)
        field->setText(kBefore);
    // Some history in the receive box, so that appends also land after earlier paragraph cuts.
    if (ui->textBrowser->document()->characterCount() > 6000)
        ui->textBrowser->clear();
    const QString historyBefore = receivedText();
    // The write flags as some earlier frames left them: a parameter reply must not judge them.
    const bool writes[4] = {(block.size() & 1) != 0, (block.size() & 2) != 0, (block.size() & 4) != 0,
                            (block.size() & 8) != 0};
    w.channelWritePending() = writes[0];
    w.idWritePending() = writes[1];
    w.baudWritePending() = writes[2];
    w.powerWritePending() = writes[3];
    const qint64 receivedBefore = w.receivedBytes();
    const qint64 matchesBefore = w.matchCount();

    w.rxBytes() = block;
    w.readParamPending() = true;
    w.showParamReply();

    const QString history = receivedText();
    FUZZ_CHECK(history == historyBefore + shown(block), "block [%s] echoed as [%s]", fuzz::dump(block).constData(),
               qPrintable(history.mid(historyBefore.size(), 600)));
    FUZZ_CHECK(w.receivedBytes() == receivedBefore && w.matchCount() == matchesBefore,
               "a parameter reply was counted as terminal data");
    FUZZ_CHECK(w.channelWritePending() == writes[0] && w.idWritePending() == writes[1] &&
                   w.baudWritePending() == writes[2] && w.powerWritePending() == writes[3],
               "a parameter reply settled a pending write");

    QVector<QString> expected(5, kBefore);
    const bool loneZero = block == QByteArray(1, '\0');
    if (block.size() >= 7) {
        const auto byte = [&block](int i) {
            return static_cast<unsigned char>(block.at(i));
        };
        expected[0] = QString::number(byte(1));
        expected[1] = codeText(byte(2), {{0x64, "100"}});
        expected[2] = QString::number(byte(5) * 256 + byte(6));
        expected[3] = codeText(byte(3), {{0x01, "4800"}, {0x02, "9600"}, {0x03, "19200"}});
        expected[4] = codeText(byte(4), {{0x00, "0"}, {0x05, "5"}, {0x07, "7"}, {0x0a, "10"}});
    }
    for (int i = 0; i < 5; ++i) {
        FUZZ_CHECK(fields[i]->text() == expected[i], "block [%s]: %s shows \"%s\", expected \"%s\"",
                   fuzz::dump(block).constData(), qPrintable(fields[i]->objectName()), qPrintable(fields[i]->text()),
                   qPrintable(expected[i]));
    }
    FUZZ_CHECK(w.readParamPending() == loneZero, "block [%s] left readParamPending %d", fuzz::dump(block).constData(),
               int(w.readParamPending()));
}

void checkWriteVerdicts(const QByteArray &block)
{
    MainWindowTestAccess &w = fuzz::access();
    Ui::MainWindow *ui = w.ui();
    QLineEdit *const status[] = {ui->lineEdit_16, ui->lineEdit_20, ui->lineEdit_21, ui->lineEdit_22};
    bool *const flags[] = {&w.channelWritePending(), &w.idWritePending(), &w.baudWritePending(),
                           &w.powerWritePending()};
    const QString verdict = block == QByteArray(1, char(0xAA)) ? QStringLiteral("OK") : QStringLiteral("ERROR");
    // Every combination of pending writes, not a sample.
    for (int pending = 0; pending < 16; ++pending) {
        for (int i = 0; i < 4; ++i) {
            status[i]->setText(kBefore);
            *flags[i] = (pending >> i & 1) != 0;
        }
        w.rxBytes() = block;
        w.confirmPendingWrites();
        for (int i = 0; i < 4; ++i) {
            const QString expected = (pending >> i & 1) ? verdict : kBefore;
            FUZZ_CHECK(status[i]->text() == expected, "block [%s], pending %x: %s shows \"%s\", expected \"%s\"",
                       fuzz::dump(block).constData(), pending, qPrintable(status[i]->objectName()),
                       qPrintable(status[i]->text()), qPrintable(expected));
            FUZZ_CHECK(!*flags[i], "block [%s], pending %x: flag %d still set", fuzz::dump(block).constData(), pending,
                       i);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Shown, so that the receive box has a width, wraps, and cuts its paragraphs as it does for a user.
    fuzz::window().show();
    QCoreApplication::processEvents();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray block = fuzz::bytesOf(data, size);
    checkParamReply(block);
    checkWriteVerdicts(block);
    QCoreApplication::processEvents();
    return 0;
}
