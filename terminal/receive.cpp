#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QAbstractTextDocumentLayout>
#include <QSerialPort>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextLayout>

namespace {

// Every append re-lays out (and re-shapes) the whole paragraph it lands in, so one paragraph that
// grows for an hour freezes the window. Past this length the last paragraph is cut where its last
// visible line begins: the lines above keep their wrap points, and appends only re-lay out the
// short tail. The shorter the tail the cheaper an append; cutting costs about one append.
constexpr int kMaxTailParagraph = 128;
// The most text put into the box in one edit: 1,024 "XX " pairs.
constexpr int kInsertPiece = 3 * 1024;

// Cuts the document's last paragraph at the start of its last laid-out line. The cursor must be
// inside an edit block, so that the cut and the append that follows are laid out and reported
// (textChanged) once.
void cutTailParagraph(QTextDocument *doc, QTextCursor &cursor)
{
    const QTextBlock last = doc->lastBlock();
    if (last.length() <= kMaxTailParagraph)
        return;
    // Asking for the block's geometry makes sure it is laid out, at the width the view gave it.
    doc->documentLayout()->blockBoundingRect(last);
    const QTextLayout *layout = last.layout();
    // One line means no wrapping (no width yet): there is no line start to cut at without moving text.
    if (!layout || layout->lineCount() < 2)
        return;
    const QTextLine lastLine = layout->lineAt(layout->lineCount() - 1);
    // A paragraph's last line takes its full height, the others only the line pitch; with fonts of
    // negative leading the two differ, and the cut would push the lines below down by the difference.
    // The margins between the two halves take it back.
    const qreal pitch = lastLine.y() - layout->lineAt(layout->lineCount() - 2).y();
    const qreal joinMargin = pitch - lastLine.height();

    cursor.setPosition(last.position() + lastLine.textStart());
    cursor.insertBlock();
    QTextBlockFormat tail = cursor.blockFormat();
    tail.setTopMargin(joinMargin);
    tail.setBottomMargin(0);
    cursor.setBlockFormat(tail);
    cursor.movePosition(QTextCursor::PreviousBlock);
    QTextBlockFormat head = cursor.blockFormat();
    head.setBottomMargin(joinMargin);
    cursor.setBlockFormat(head);
}

} // namespace

void MainWindow::readMyCom()
{
    if (readParamPending) {
        decodeParamReply();
        return;
    }

    rxBytes = myCom->readAll();

    // Zeros are dropped on both sides so that "1 2 3" and "01 02 03" both match the bytes 01 02 03.
    QString sendText = ui->textEdit_2->toPlainText();
    sendText.remove(QLatin1Char(' '));
    sendText.remove(QLatin1Char('0'));
    QString rxText = QString::fromLatin1(rxBytes.toHex());
    rxText.remove(QLatin1Char('0'));
    if (sendText == rxText)
        ++matchCount;

    receivedBytes += rxBytes.size();
    ui->label_26->setText(QString("%1").arg(receivedBytes));
    ui->label_32->setText(QString("%1").arg(matchCount));

    appendToReceiveBox(rxBytes);

    confirmPendingWrites();
}

void MainWindow::appendToReceiveBox(const QByteArray &bytes)
{
    const QByteArray hex = bytes.toHex().toUpper();
    QString text;
    text.reserve(bytes.size() * 3);
    for (hexPos = 0, byteNo = 0; byteNo < bytes.size(); hexPos += 2, ++byteNo) {
        text += QLatin1String(hex.constData() + hexPos, 2);
        text += QLatin1Char(' ');
    }
    if (text.isEmpty())
        return;

    // Always at the end, even right after the user clicked into the box; on_textBrowser_textChanged
    // then brings the view there. One edit block per piece: laid out once, one textChanged, and the
    // cursor skips working out its x position (which would shape the last line again for nothing).
    // A big block goes in piece by piece, so that every cut sees the layout of what came before and
    // no paragraph grows long enough to make later appends slow.
    QTextDocument *doc = ui->textBrowser->document();
    QTextCursor end(doc);
    for (int from = 0; from < text.size(); from += kInsertPiece) {
        end.beginEditBlock();
        cutTailParagraph(doc, end);
        end.movePosition(QTextCursor::End);
        end.insertText(text.mid(from, kInsertPiece));
        end.endEditBlock();
    }
}
