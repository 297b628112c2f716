#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QAbstractTextDocumentLayout>
#include <QSerialPort>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFormat>
#include <QTextLayout>
#include <QTimer>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// Every append re-lays out the whole paragraph it lands in, so one paragraph that grows for an hour
// freezes the window. The received text is therefore kept in paragraphs of at most this many shown
// lines: when the last one is full (or half full, and the next piece would not fit) it is cut where
// its last line begins, so the lines above keep their wrap points and appends only re-lay out the
// tail. At full line rate an update brings some 7 lines; with 16-line paragraphs it lays out 8 to 15
// lines, with 45-line ones about 30. Shorter still would cost memory: each paragraph costs Qt some
// 180 bytes of records (block and fragment) whether shown or not, and at 8 lines that is 0.7 bytes
// per character, at 16 lines 0.35.
constexpr int kParagraphLines = 16;
// The first piece put into a paragraph whose line length is not known yet (an empty box): 100 pairs,
// a few lines at the form's width.
constexpr int kFirstPiece = 3 * 100;
// How long a block that comes after a quiet spell waits for the rest of its burst: a 14-byte echo
// handed over byte by byte takes 7.3 ms at 19,200 baud, and a pseudo-terminal hands 4 KB over in
// several reads within a millisecond or two.
constexpr qint64 kBurstGatherMs = 10;

// Cuts the document's last paragraph at the start of its last laid-out line.
void cutTailParagraph(QTextBlock last, QTextCursor &cursor)
{
    const QTextLayout *layout = last.layout();
    const QTextLine lastLine = layout->lineAt(layout->lineCount() - 1);
    // A paragraph's last line takes its full height, the others only the line pitch; with fonts of
    // negative leading the two differ, and the cut would push the lines below down by the difference.
    // The margins between the two halves take it back.
    const qreal pitch = lastLine.y() - layout->lineAt(layout->lineCount() - 2).y();
    const qreal joinMargin = pitch - lastLine.height();

    cursor.setPosition(last.position() + lastLine.textStart());
    cursor.insertBlock();
    // Formats are set only where they change: a format change lays the whole paragraph out again,
    // while a head left alone keeps the lines it has. So the tail gets its bottom margin already (the
    // last paragraph's is not used), and when it is cut in its turn its format is already right.
    QTextBlockFormat tail = cursor.blockFormat();
    if (tail.topMargin() != joinMargin || tail.bottomMargin() != joinMargin) {
        tail.setTopMargin(joinMargin);
        tail.setBottomMargin(joinMargin);
        cursor.setBlockFormat(tail);
    }
    cursor.movePosition(QTextCursor::PreviousBlock);
    QTextBlockFormat head = cursor.blockFormat();
    if (head.bottomMargin() != joinMargin) {
        head.setBottomMargin(joinMargin);
        cursor.setBlockFormat(head);
    }
    // No longer the tail: its glyphs go with its next layout (see insertIntoReceiveBox).
    cursor.block().layout()->setCacheEnabled(false);
}

// How many characters the last paragraph can take before it holds more than kParagraphLines lines;
// when it is full, or already half full and `wanted` characters would not fit, it is cut first. The
// cursor must be inside an edit block, so that the cut and the append that follows are laid out and
// reported (textChanged) once: an update's text normally goes in as one piece.
int makeRoomInTail(QTextDocument *doc, QTextCursor &cursor, int wanted)
{
    const QTextBlock last = doc->lastBlock();
    // Asking for the block's geometry makes sure it is laid out, at the width the view gave it.
    doc->documentLayout()->blockBoundingRect(last);
    const QTextLayout *layout = last.layout();
    const int lines = layout ? layout->lineCount() : 0;
    // Pairs differ in width, so full lines hold slightly different counts: the fewest seen, less
    // one pair, is what the lines to come are reckoned at.
    int perLine = 0;
    for (int i = 0; i + 1 < lines; ++i) {
        const int length = layout->lineAt(i).textLength();
        perLine = perLine ? qMin(perLine, length) : length;
    }
    if (perLine == 0 && last.previous().isValid()) {
        const QTextBlock previous = last.previous();
        doc->documentLayout()->blockBoundingRect(previous);
        if (previous.layout()->lineCount() > 1)
            perLine = previous.layout()->lineAt(0).textLength();
    }
    // No full line anywhere yet, or no width (one line, no wrapping): no line start to cut at.
    if (perLine <= 3)
        return kFirstPiece;
    perLine -= 3;
    const int room = (kParagraphLines - lines) * perLine;
    if (lines < kParagraphLines && (room >= wanted || 2 * lines < kParagraphLines))
        return room;
    cutTailParagraph(last, cursor);
    return (kParagraphLines - 1) * perLine;
}

// The received text's own format. Hex pairs need no OpenType shaping (no ligatures, no marks), and
// HarfBuzz was most of the cost of laying out and drawing them; without it Qt takes the glyphs and
// advances straight from the font. The wrap points stay where they were; the only difference is the
// font's pair kerning, a fraction of a pixel on a line.
const QTextCharFormat &receivedTextFormat()
{
    static const QTextCharFormat format = [] {
        QTextCharFormat f;
        f.setFontStyleStrategy(QFont::PreferNoShaping);
        return f;
    }();
    return format;
}

// "00 " to "FF ", so that a block's display text is built without formatting each byte.
const QLatin1String &hexPair(unsigned char byte)
{
    static const struct Table {
        char text[256][3];
        QLatin1String pairs[256];
        Table()
        {
            static const char digits[] = "0123456789ABCDEF";
            for (int b = 0; b < 256; ++b) {
                text[b][0] = digits[b >> 4];
                text[b][1] = digits[b & 15];
                text[b][2] = ' ';
                pairs[b] = QLatin1String(text[b], 3);
            }
        }
    } table;
    return table.pairs[byte];
}

// The complete-reception test without building the block's hex text: the lower-case hex digits
// of `bytes`, every "0" left out, against the send box's text with blanks and zeros left out.
bool hexDigitsMatch(const QByteArray &bytes, const QString &expected)
{
    static const char digits[] = "0123456789abcdef";
    const QChar *want = expected.constData();
    const QChar *const end = want + expected.size();
    for (const char c : bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        for (const unsigned nibble : {unsigned(byte >> 4), unsigned(byte & 15)}) {
            if (nibble == 0)
                continue;
            if (want == end || *want != QLatin1Char(digits[nibble]))
                return false;
            ++want;
        }
    }
    return want == end;
}

} // namespace

void MainWindow::readMyCom()
{
    if (readParamPending) {
        decodeParamReply();
        return;
    }

    // All there is, into the block's own buffer: at 1,920 one-byte blocks a second, readAll()'s
    // fresh array and its reallocations cost more than the rest of the block's handling.
    rxBytes.resize(int(myCom->bytesAvailable()));
    rxBytes.resize(int(qMax<qint64>(0, myCom->read(rxBytes.data(), rxBytes.size()))));

    // Zeros are dropped on both sides so that "1 2 3" and "01 02 03" both match the bytes 01 02 03.
    if (matchTextStale) {
        matchText = ui->textEdit_2->toPlainText();
        matchText.remove(QLatin1Char(' '));
        matchText.remove(QLatin1Char('0'));
        matchTextStale = false;
    }
    if (hexDigitsMatch(rxBytes, matchText))
        ++matchCount;
    receivedBytes += rxBytes.size();

    // A line handing over single bytes notifies 1,920 times a second at 19,200 baud; drawing each
    // would cost far more than taking them in. What the screen shows waits for the next update.
    countersPending = true;
    for (hexPos = 0, byteNo = 0; byteNo < rxBytes.size(); hexPos += 2, ++byteNo)
        pendingHex += hexPair(static_cast<unsigned char>(rxBytes.at(byteNo)));
    // At most one update every displaySpacing, and no block waits longer than that for it; after a
    // quiet spell, only for the rest of the burst. In a stream the update comes with the first block
    // that finds it due, rather than from a wake-up of its own between two blocks: at 32-byte pieces
    // (one every 16.7 ms) that is every third piece, 20 updates a second, none woken for.
    const qint64 now = displayClock.elapsed();
    const qint64 spacing = displaySpacing;
    if (!displayTimer->isActive()) {
        pendingSince = now;
        const qint64 sinceLast = now - lastDisplayAt;
        displayTimer->start(int(sinceLast >= spacing ? qMin(kBurstGatherMs, spacing) : spacing));
    } else if (now - lastDisplayAt >= spacing && now - pendingSince >= qMin(kBurstGatherMs, spacing)) {
        flushReceiveDisplay();
    }

    confirmPendingWrites();
}

void MainWindow::flushReceiveDisplay()
{
    displayTimer->stop();
    if (countersPending || !pendingHex.isEmpty())
        lastDisplayAt = displayClock.elapsed();
    if (countersPending) {
        countersPending = false;
        showFigure(ui->label_26, QString("%1").arg(receivedBytes));
        showFigure(ui->label_32, QString("%1").arg(matchCount));
    }
    if (pendingHex.isEmpty())
        return;
    insertIntoReceiveBox(pendingHex);
    // Dropped rather than cleared: a burst of megabytes must not stay allocated for good.
    pendingHex = QString();
}

// Shows a block at once, after everything received before it (the parameter reply's echo).
void MainWindow::appendToReceiveBox(const QByteArray &bytes)
{
    flushReceiveDisplay();
    QString text;
    text.reserve(bytes.size() * 3);
    for (hexPos = 0, byteNo = 0; byteNo < bytes.size(); hexPos += 2, ++byteNo)
        text += hexPair(static_cast<unsigned char>(bytes.at(byteNo)));
    if (!text.isEmpty())
        insertIntoReceiveBox(text);
}

void MainWindow::insertIntoReceiveBox(const QString &text)
{
    // Always at the end, even right after the user clicked into the box; on_textBrowser_textChanged
    // then brings the view there. One edit block per piece: laid out once, one textChanged, and the
    // cursor skips working out its x position (which would shape the last line again for nothing).
    // A big block goes in piece by piece, each as much as the tail paragraph has room for, so that
    // every cut sees the layout of what came before.
    // The tail paragraph keeps its shaped glyphs between layouts: the view's cursor (moved to the
    // end after every append) and the paint that follows would each shape it again otherwise, three
    // times the work of the layout itself. Only the tail keeps them, so that costs a few tens of KB.
    QTextDocument *doc = ui->textBrowser->document();
    QTextCursor end(doc);
    for (int from = 0, piece = 0; from < text.size(); from += piece) {
        end.beginEditBlock();
        piece = qMax(1, makeRoomInTail(doc, end, text.size() - from));
        end.movePosition(QTextCursor::End);
        end.insertText(text.mid(from, piece), receivedTextFormat());
        doc->lastBlock().layout()->setCacheEnabled(true);
        end.endEditBlock();
    }
    trimReceiveHistory();
}

// A day at full line rate would fill gigabytes; past the limit the oldest text leaves the box,
// whole paragraphs at a time (each starts a shown line, so the wrap points of what stays do not
// move). Each trim goes in steps of a fortieth of the limit, so that at full line rate it comes once
// in about three minutes; the layout only moves its records of the paragraphs that stay (a few ms
// at the 40,000,000-character bound).
void MainWindow::trimReceiveHistory()
{
    QTextDocument *doc = ui->textBrowser->document();
    const int step = historyLimit / 40;
    const int excess = doc->characterCount() - historyLimit;
    if (excess <= step)
        return;
    const QTextBlock firstKept = doc->findBlock(excess);
    if (!firstKept.isValid() || firstKept.position() == 0)
        return;
    QTextCursor head(doc);
    head.beginEditBlock();
    head.setPosition(firstKept.position(), QTextCursor::KeepAnchor);
    head.removeSelectedText();
    // The first paragraph left carries the margin that joined it to the one removed above it.
    QTextBlockFormat first = head.blockFormat();
    first.setTopMargin(0);
    head.setBlockFormat(first);
    head.endEditBlock();
}

void MainWindow::clearReceiveBox()
{
    // Text received before the click never shows after it; the counters still do.
    pendingHex = QString();
    ui->textBrowser->clear();
#ifdef __GLIBC__
    // A long history leaves the heap full of freed paragraphs; hand the memory back to the system.
    ::malloc_trim(0);
#endif
}
