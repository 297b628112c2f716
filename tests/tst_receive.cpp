// Received blocks, delivered on the master side of a pseudo-terminal: the hex display, the byte and
// complete-reception counters, the order of the receive dispatch, and a receive box that stays
// fast for hours without changing what the user sees.

#include "terminalsession.h"

#include <QAbstractTextDocumentLayout>
#include <QImage>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>
#include <QtTest>

#include <memory>

using Blocks = QList<QByteArray>;

class TestReceive : public QObject {
    Q_OBJECT

private slots:
    void displayAndMatch_data();
    void displayAndMatch();
    void notificationWithoutBytes();
    void parameterReplyIsNotTerminalData();
    void writeAcknowledgementIsShownAndCounted();
    void wrapPointsSurviveParagraphCuts_data();
    void wrapPointsSurviveParagraphCuts();
    void noByteLostOrDoubledAcrossCuts_data();
    void noByteLostOrDoubledAcrossCuts();
    void paragraphsStayShortOverLongRuns();
    void clearingAfterCuts();
    void blocksShownTogether();
    void historyKeepsTheNewestText();
};

void TestReceive::displayAndMatch_data()
{
    QTest::addColumn<QString>("sendText");
    QTest::addColumn<Blocks>("blocks");
    QTest::addColumn<int>("matches");
    QTest::addColumn<QString>("shown");

    const QString startText = "1 2 3 4 5 6 7 8 9 10 11 12 13 14";
    QTest::newRow("start text echoed") << startText << Blocks{QByteArray::fromHex("0102030405060708091011121314")} << 1
                                       << "01 02 03 04 05 06 07 08 09 10 11 12 13 14 ";
    QTest::newRow("01 02 matches 01 02") << "01 02" << Blocks{QByteArray::fromHex("0102")} << 1 << "01 02 ";
    QTest::newRow("01 02 against 01 02 03") << "01 02" << Blocks{QByteArray::fromHex("010203")} << 0 << "01 02 03 ";
    QTest::newRow("upper-case 0A never matches") << "0A" << Blocks{QByteArray::fromHex("0a")} << 0 << "0A ";
    QTest::newRow("lower-case 0a matches") << "0a" << Blocks{QByteArray::fromHex("0a")} << 1 << "0A ";
    QTest::newRow("empty box matches zeros") << "" << Blocks{QByteArray::fromHex("0000")} << 1 << "00 00 ";
    QTest::newRow("reply split over two blocks")
        << "01 02 03" << Blocks{QByteArray::fromHex("0102"), QByteArray::fromHex("03")} << 0 << "01 02 03 ";
    QTest::newRow("every zero dropped") << "1 2 3" << Blocks{QByteArray::fromHex("102030")} << 1 << "10 20 30 ";
    QTest::newRow("upper-case display") << "1" << Blocks{QByteArray::fromHex("0aff")} << 0 << "0A FF ";
    QTest::newRow("blocks run on without separators")
        << "01 02" << Blocks{QByteArray::fromHex("0102"), QByteArray::fromHex("0a"), QByteArray::fromHex("0102")} << 2
        << "01 02 0A 01 02 ";
}

void TestReceive::displayAndMatch()
{
    QFETCH(QString, sendText);
    QFETCH(Blocks, blocks);
    QFETCH(int, matches);
    QFETCH(QString, shown);

    TerminalSession s;
    QVERIFY(s.open());
    s.typeSendText(sendText);
    int bytes = 0;
    for (const QByteArray &block : blocks) {
        QVERIFY(s.deliver(block));
        bytes += block.size();
    }
    QCOMPARE(s.access.receivedBytes(), qint64(bytes));
    QCOMPARE(s.access.matchCount(), qint64(matches));
    QCOMPARE(s.ui->label_26->text(), QString::number(bytes));
    QCOMPARE(s.ui->label_32->text(), QString::number(matches));
    QCOMPARE(s.ui->textBrowser->toPlainText(), shown);
    // Receiving leaves the send side alone.
    QCOMPARE(s.ui->textEdit_2->toPlainText(), sendText);
    QCOMPARE(s.ui->label_46->text(), QString("0"));
}

void TestReceive::notificationWithoutBytes()
{
    TerminalSession s;
    QVERIFY(s.open());
    QVERIFY(s.deliver(QByteArray::fromHex("0102")));

    // With the start text in the send box, an empty read matches nothing and shows nothing.
    s.access.readMyCom();
    QCOMPARE(s.access.matchCount(), qint64(0));
    QCOMPARE(s.access.receivedBytes(), qint64(2));
    QCOMPARE(s.ui->textBrowser->toPlainText(), QString("01 02 "));

    // A send box of blanks and zeros reads as empty, and so does an empty read.
    s.typeSendText(" 0 00 ");
    s.access.readMyCom();
    QVERIFY(s.waitForDisplay());
    QCOMPARE(s.access.matchCount(), qint64(1));
    QCOMPARE(s.ui->label_32->text(), QString("1"));
    QCOMPARE(s.ui->label_26->text(), QString("2"));
    QCOMPARE(s.ui->textBrowser->toPlainText(), QString("01 02 "));
}

void TestReceive::parameterReplyIsNotTerminalData()
{
    TerminalSession s;
    QVERIFY(s.open());
    s.typeSendText("3C 14 64 02 0A 04 D2");
    s.access.readParamPending() = true;
    s.access.channelWritePending() = true;
    QVERIFY(s.pty.write(QByteArray::fromHex("3c1464020a04d2")));
    QTRY_VERIFY(!s.access.readParamPending());

    // Shown, but neither counted nor matched, and no write judged on it.
    QCOMPARE(s.ui->textBrowser->toPlainText(), QString("3C 14 64 02 0A 04 D2 "));
    QCOMPARE(s.access.receivedBytes(), qint64(0));
    QCOMPARE(s.access.matchCount(), qint64(0));
    QCOMPARE(s.ui->label_26->text(), QString("0"));
    QVERIFY(s.access.channelWritePending());
    QCOMPARE(s.ui->lineEdit_16->text(), QString());

    // The next block is terminal data again, and settles the pending write.
    QVERIFY(s.deliver(QByteArray::fromHex("aa55")));
    QVERIFY(!s.access.channelWritePending());
    QCOMPARE(s.ui->lineEdit_16->text(), QString("ERROR"));
}

void TestReceive::writeAcknowledgementIsShownAndCounted()
{
    TerminalSession s;
    QVERIFY(s.open());
    s.access.idWritePending() = true;
    s.access.powerWritePending() = true;
    QVERIFY(s.deliver(QByteArray::fromHex("aa")));
    QCOMPARE(s.ui->textBrowser->toPlainText(), QString("AA "));
    QCOMPARE(s.ui->label_26->text(), QString("1"));
    QCOMPARE(s.ui->lineEdit_20->text(), QString("OK"));
    QCOMPARE(s.ui->lineEdit_22->text(), QString("OK"));
    QVERIFY(!s.access.idWritePending());
    QVERIFY(!s.access.powerWritePending());
}

namespace {

struct ShownLine {
    int start; // in the text as the user reads it, paragraph breaks left out
    int length;
    qreal y; // top of the line in the document
};

QVector<ShownLine> shownLines(QTextDocument *doc)
{
    QAbstractTextDocumentLayout *layout = doc->documentLayout();
    layout->blockBoundingRect(doc->lastBlock());
    QVector<ShownLine> lines;
    int offset = 0;
    for (QTextBlock block = doc->firstBlock(); block.isValid(); block = block.next()) {
        const qreal top = layout->blockBoundingRect(block).top();
        const QTextLayout *text = block.layout();
        for (int i = 0; i < text->lineCount(); ++i) {
            const QTextLine line = text->lineAt(i);
            lines.append({offset + line.textStart(), line.textLength(), top + line.y()});
        }
        offset += block.length() - 1;
    }
    return lines;
}

// Joins the receive box's paragraphs back into the one paragraph the box would hold without cuts.
void joinParagraphs(QTextDocument *doc)
{
    QVector<int> breaks;
    for (QTextBlock block = doc->firstBlock().next(); block.isValid(); block = block.next())
        breaks.append(block.position());
    QTextCursor cursor(doc);
    for (int i = breaks.size() - 1; i >= 0; --i) {
        cursor.setPosition(breaks[i]);
        cursor.deletePreviousChar();
    }
    cursor.setBlockFormat(QTextBlockFormat());
}

} // namespace

void TestReceive::wrapPointsSurviveParagraphCuts_data()
{
    // Whatever the colours and however the background is drawn, the box shows what Qt would.
    QTest::addColumn<QString>("styleSheet");
    QTest::addColumn<bool>("lightOnDark");
    QTest::newRow("form look") << QString() << false;
    QTest::newRow("light text on dark") << QString() << true;
    QTest::newRow("gradient style sheet")
        << "QTextBrowser { color: navy; background: qlineargradient(x1: 0, y1: 0, x2: 1, y2: 1, stop: 0 white, "
           "stop: 1 yellow); }"
        << false;
}

void TestReceive::wrapPointsSurviveParagraphCuts()
{
    QFETCH(QString, styleSheet);
    QFETCH(bool, lightOnDark);
    TerminalSession s;
    s.ui->textBrowser->setStyleSheet(styleSheet);
    if (lightOnDark) {
        QPalette palette = s.ui->textBrowser->palette();
        palette.setColor(QPalette::Base, QColor(20, 24, 40));
        palette.setColor(QPalette::Text, QColor(230, 220, 120));
        s.ui->textBrowser->setPalette(palette);
    }
    QVERIFY(s.open());
    QByteArray all;
    for (int i = 0; i < 400; ++i) {
        // Every byte value, so that every pair is drawn at the sub-pixel positions the font reaches.
        QByteArray block(1 + i % 14, Qt::Uninitialized);
        for (int k = 0; k < block.size(); ++k)
            block[k] = char((i * 13 + k) & 0xff);
        QVERIFY(s.deliver(block, TerminalSession::CountedOnly));
        all += block;
    }
    QVERIFY(s.waitForDisplay());
    QTextDocument *doc = s.ui->textBrowser->document();
    QVERIFY2(doc->blockCount() > 2, "the history was never cut into paragraphs");
    QCOMPARE(s.receivedText(), shownAsHex(all));

    const QVector<ShownLine> withCuts = shownLines(doc);
    const QSizeF sizeWithCuts = doc->size();
    QVERIFY(withCuts.size() > 50);
    QScrollBar *scroll = s.ui->textBrowser->verticalScrollBar();
    // The scroll bar skips repaints that would draw the same pixels: what is on screen after the
    // history grew under it is what a fresh paint draws.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    const QPoint scrollAt = scroll->mapTo(scroll->window(), QPoint());
    const QImage scrollShown =
        scroll->window()
            ->windowHandle()
            ->screen()
            ->grabWindow(scroll->window()->winId(), scrollAt.x(), scrollAt.y(), scroll->width(), scroll->height())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    QCOMPARE(scrollShown, scroll->grab().toImage().convertToFormat(QImage::Format_RGB32));
    // A selection across several cuts, and where clicks land, in the text as the user reads it.
    QTextCursor selection(doc);
    selection.setPosition(doc->characterCount() / 3);
    selection.setPosition(doc->characterCount() * 2 / 3, QTextCursor::KeepAnchor);
    // One view has a cut inside the selection at its 14th pixel row, where clicks are tried: with
    // this font a paragraph's last line reaches 2 px into the next paragraph's first.
    const QTextBlock afterCut = doc->findBlock(doc->characterCount() / 2).next();
    QVERIFY(afterCut.isValid());
    const int cutInView = int(doc->documentLayout()->blockBoundingRect(afterCut).top()) - 13;
    const QVector<int> scrollPositions{0, scroll->maximum() / 3, cutInView, scroll->maximum()};
    const int selectedFrom = selection.anchor() - doc->findBlock(selection.anchor()).blockNumber();
    const int selectedTo = selection.position() - selection.block().blockNumber();
    const auto clicks = [&s] {
        QVector<int> offsets;
        for (int y = 0; y < s.ui->textBrowser->viewport()->height(); y += 7) {
            for (int x = 0; x < s.ui->textBrowser->viewport()->width(); x += 23) {
                const QTextCursor at = s.ui->textBrowser->cursorForPosition(QPoint(x, y));
                offsets << at.position() - at.blockNumber();
            }
        }
        return offsets;
    };
    QVector<QImage> pixelsWithCuts;
    QVector<QVector<int>> clicksWithCuts;
    for (int y : scrollPositions) {
        scroll->setValue(y);
        pixelsWithCuts << s.ui->textBrowser->viewport()->grab().toImage();
        clicksWithCuts << clicks();
    }
    s.ui->textBrowser->setTextCursor(selection);
    scroll->setValue(cutInView);
    const QImage selectedWithCuts = s.ui->textBrowser->viewport()->grab().toImage();

    // The same text as one paragraph, laid out by Qt's own document layout (a fresh document has
    // it): the box must show exactly what a plain QTextBrowser would.
    doc = doc->clone(s.ui->textBrowser);
    s.ui->textBrowser->setDocument(doc);
    joinParagraphs(doc);
    QCOMPARE(doc->blockCount(), 1);
    QCOMPARE(doc->toPlainText(), shownAsHex(all));
    const QVector<ShownLine> asOneParagraph = shownLines(doc);
    QCOMPARE(withCuts.size(), asOneParagraph.size());
    for (int i = 0; i < withCuts.size(); ++i) {
        const QByteArray where = QByteArray("line ") + QByteArray::number(i);
        QVERIFY2(withCuts[i].start == asOneParagraph[i].start, where);
        QVERIFY2(withCuts[i].length == asOneParagraph[i].length, where);
        QVERIFY2(withCuts[i].y == asOneParagraph[i].y, where + ": y " + QByteArray::number(withCuts[i].y) +
                                                           " against " + QByteArray::number(asOneParagraph[i].y));
    }
    // Same height too, so the scroll range is the same.
    QCOMPARE(doc->size(), sizeWithCuts);
    // And pixel for pixel the same view wherever the user scrolls, with clicks landing on the same
    // characters and a selection drawn the same.
    for (int i = 0; i < scrollPositions.size(); ++i) {
        scroll->setValue(scrollPositions[i]);
        QVERIFY2(s.ui->textBrowser->viewport()->grab().toImage() == pixelsWithCuts[i],
                 qPrintable(QString("scrolled to %1").arg(scrollPositions[i])));
        QVERIFY2(clicks() == clicksWithCuts[i], qPrintable(QString("clicks at %1").arg(scrollPositions[i])));
    }
    selection = QTextCursor(doc);
    selection.setPosition(selectedFrom);
    selection.setPosition(selectedTo, QTextCursor::KeepAnchor);
    s.ui->textBrowser->setTextCursor(selection);
    scroll->setValue(cutInView);
    QVERIFY(s.ui->textBrowser->viewport()->grab().toImage() == selectedWithCuts);
}

void TestReceive::noByteLostOrDoubledAcrossCuts_data()
{
    QTest::addColumn<int>("largestBlock");
    QTest::addColumn<int>("total");
    QTest::newRow("single bytes") << 1 << 3000;
    QTest::newRow("up to 14 bytes") << 14 << 20000;
    QTest::newRow("up to 200 bytes") << 200 << 30000;
    QTest::newRow("bursts of 4000 bytes") << 4000 << 30000;
}

void TestReceive::noByteLostOrDoubledAcrossCuts()
{
    QFETCH(int, largestBlock);
    QFETCH(int, total);

    TerminalSession s;
    QVERIFY(s.open());
    QByteArray all;
    quint32 seed = 12345;
    while (all.size() < total) {
        seed = seed * 1103515245u + 12345u;
        const int size = 1 + int((seed >> 8) % quint32(largestBlock));
        QByteArray block;
        for (int i = 0; i < size; ++i)
            block += char((seed >> 16) + quint32(i) * 37u);
        QVERIFY(s.deliver(block, TerminalSession::CountedOnly));
        all += block;
    }
    QVERIFY(s.waitForDisplay());
    QCOMPARE(s.access.receivedBytes(), qint64(all.size()));
    QCOMPARE(s.receivedText(), shownAsHex(all));
    // Paragraphs start only at pairs: no pair is ever torn in two. And however big the blocks, none
    // holds more than 16 shown lines (every append lays the last one out again).
    QTextDocument *doc = s.ui->textBrowser->document();
    for (QTextBlock block = doc->firstBlock(); block.isValid(); block = block.next()) {
        QVERIFY2(block.text().size() % 3 == 0, qPrintable(block.text().left(12)));
        doc->documentLayout()->blockBoundingRect(block);
        QVERIFY2(block.layout()->lineCount() <= 16, qPrintable(QString::number(block.layout()->lineCount())));
    }
}

void TestReceive::paragraphsStayShortOverLongRuns()
{
    TerminalSession s;
    QVERIFY(s.open());
    const QByteArray block = QByteArray::fromHex("0102030405060708091011121314");
    // About 60,000 characters of history, one auto-send echo at a time.
    for (int i = 0; i < 1430; ++i)
        QVERIFY(s.deliver(block, TerminalSession::CountedOnly));
    QVERIFY(s.waitForDisplay());
    QTextDocument *doc = s.ui->textBrowser->document();
    QCOMPARE(doc->characterCount() - doc->blockCount(), 1430 * 14 * 3);
    // Each append re-lays out only the paragraph it lands in.
    int longest = 0;
    for (QTextBlock b = doc->firstBlock(); b.isValid(); b = b.next())
        longest = qMax(longest, b.length());
    QVERIFY2(longest <= 4096, qPrintable(QString::number(longest)));
}

void TestReceive::clearingAfterCuts()
{
    TerminalSession s;
    QVERIFY(s.open());
    QByteArray burst;
    for (int i = 0; i < 3000; ++i)
        burst += char(i);
    QVERIFY(s.deliver(burst));
    QVERIFY(s.deliver(burst));
    QVERIFY(s.ui->textBrowser->document()->blockCount() > 1);

    TerminalSession::click(s.ui->pushButton_16);
    QCOMPARE(s.ui->textBrowser->toPlainText(), QString());
    QCOMPARE(s.ui->textBrowser->document()->blockCount(), 1);
    QVERIFY(s.deliver(QByteArray::fromHex("0aff")));
    QCOMPARE(s.ui->textBrowser->toPlainText(), QString("0A FF "));
    QCOMPARE(s.access.receivedBytes(), qint64(6002));
}

void TestReceive::blocksShownTogether()
{
    TerminalSession s;
    QVERIFY(s.open());
    // Everything received stays off screen until something needs the screen current.
    s.access.setDisplaySpacing(60 * 60 * 1000);
    s.typeSendText("01 02");
    const Blocks blocks{QByteArray::fromHex("0a"), QByteArray::fromHex("0102"), QByteArray::fromHex("010203"),
                        QByteArray::fromHex("0102")};
    for (const QByteArray &block : blocks)
        QVERIFY(s.deliver(block, TerminalSession::CountedOnly));
    // Counted and tested block by block, none of it drawn yet.
    QCOMPARE(s.access.receivedBytes(), qint64(8));
    QCOMPARE(s.access.matchCount(), qint64(2));
    QCOMPARE(s.ui->label_26->text(), QString("0"));
    QCOMPARE(s.receivedText(), QString());

    // The error-rate tick reads the counters from the screen: it brings them up to date first.
    s.clickSend();
    s.clickSend();
    s.clickSend();
    s.access.timeFunction1();
    QCOMPARE(s.ui->label_26->text(), QString("8"));
    QCOMPARE(s.ui->label_32->text(), QString("2"));
    QCOMPARE(s.ui->label_45->text(), QString("33.33%"));
    QCOMPARE(s.receivedText(), QString("0A 01 02 01 02 03 01 02 "));

    // Received before "清空接收数据", never shown after it; the counters still are.
    QVERIFY(s.deliver(QByteArray::fromHex("ff"), TerminalSession::CountedOnly));
    TerminalSession::click(s.ui->pushButton_16);
    s.access.timeFunction1();
    QCOMPARE(s.receivedText(), QString());
    QCOMPARE(s.ui->label_26->text(), QString("9"));

    // The parameter reply's echo comes after the terminal data received before it.
    QVERIFY(s.deliver(QByteArray::fromHex("0102"), TerminalSession::CountedOnly));
    s.access.readParamPending() = true;
    QVERIFY(s.pty.write(QByteArray::fromHex("3c1464020a04d2")));
    QTRY_VERIFY(!s.access.readParamPending());
    QCOMPARE(s.receivedText(), QString("01 02 3C 14 64 02 0A 04 D2 "));
    QCOMPARE(s.ui->label_26->text(), QString("11"));

    // "清空计数" shows zeros at once, and the next update does not bring the old counts back.
    QVERIFY(s.deliver(QByteArray::fromHex("0102"), TerminalSession::CountedOnly));
    TerminalSession::click(s.ui->pushButton_24);
    QCOMPARE(s.ui->label_26->text(), QString("0"));
    QCOMPARE(s.ui->label_32->text(), QString("0"));
    s.access.timeFunction1();
    QCOMPARE(s.ui->label_26->text(), QString("0"));
    QCOMPARE(s.receivedText(), QString("01 02 3C 14 64 02 0A 04 D2 01 02 "));
}

void TestReceive::historyKeepsTheNewestText()
{
    TerminalSession s;
    QVERIFY(s.open());
    const int limit = 6000;
    s.access.setHistoryLimit(limit);
    QByteArray all;
    for (int i = 0; i < 300; ++i) {
        QByteArray block;
        for (int j = 0; j < 25; ++j)
            block += char(i * 25 + j);
        QVERIFY(s.deliver(block));
        all += block;
    }
    QCOMPARE(s.access.receivedBytes(), qint64(all.size()));
    // The oldest text has left in whole shown lines; at least the limit is kept, and the newest.
    const QString kept = s.receivedText();
    QVERIFY2(kept.size() >= limit - s.ui->textBrowser->document()->blockCount(),
             qPrintable(QString::number(kept.size())));
    QVERIFY2(kept.size() <= limit + limit / 10 + 4096, qPrintable(QString::number(kept.size())));
    QCOMPARE(kept.size() % 3, 0);
    QVERIFY(kept == shownAsHex(all).right(kept.size()));
    QTextDocument *doc = s.ui->textBrowser->document();
    QCOMPARE(doc->firstBlock().blockFormat().topMargin(), 0.0);
    // What stayed has moved up to where Qt's own layout (a fresh document's) puts the same text.
    const std::unique_ptr<QTextDocument> plain(doc->clone());
    const QVector<ShownLine> ours = shownLines(doc);
    const QVector<ShownLine> qts = shownLines(plain.get());
    QCOMPARE(ours.size(), qts.size());
    for (int i = 0; i < ours.size(); ++i)
        QVERIFY2(ours[i].start == qts[i].start && ours[i].y == qts[i].y, qPrintable(QString("line %1").arg(i)));
    QCOMPARE(doc->size(), plain->size());
}

QTEST_MAIN(TestReceive)
#include "tst_receive.moc"
