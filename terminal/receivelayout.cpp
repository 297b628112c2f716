#include "receivelayout.h"

#include <QFontMetricsF>
#include <QPaintDevice>
#include <QPainter>
#include <QStyle>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextLayout>
#include <QtMath>
#include <private/qtextengine_p.h>

#include <algorithm>
#include <climits>

namespace {

// Paragraphs besides the last that may hold their lines at once: the few a view shows, plus the
// few Qt's cursor and selection code asks about in one go.
constexpr int kRecentLimit = 8;

// Qt's text layout counts in 1/64 px and rounds every value it takes in this way.
qint64 fixed(qreal value)
{
    return qRound64(value * 64);
}

qreal real(qint64 value)
{
    return qreal(value) / 64;
}

} // namespace

ReceiveLayout::ReceiveLayout(QTextDocument *doc)
    : QAbstractTextDocumentLayout(doc)
{
}

qreal ReceiveLayout::dpiScale() const
{
    const QPaintDevice *device = paintDevice();
    return device ? qreal(device->logicalDpiY()) / 96 : 1;
}

bool ReceiveLayout::LayoutInputs::operator==(const LayoutInputs &other) const
{
    return page == other.page && frame == other.frame && font == other.font && option == other.option &&
           tabs == other.tabs && indentWidth == other.indentWidth && device == other.device;
}

ReceiveLayout::LayoutInputs ReceiveLayout::currentInputs() const
{
    const QTextDocument *doc = document();
    const QTextOption &option = doc->defaultTextOption();
    return {doc->pageSize(),
            doc->rootFrame()->frameFormat(),
            doc->defaultFont(),
            {qreal(option.alignment()), qreal(option.textDirection()), qreal(option.wrapMode()), qreal(option.flags()),
             option.tabStopDistance()},
            option.tabs(),
            doc->indentWidth(),
            paintDevice()};
}

void ReceiveLayout::readFrameGeometry()
{
    const QTextFrameFormat format = document()->rootFrame()->frameFormat();
    const qreal scale = dpiScale();
    // Whole pixels, as Qt rounds a frame's margins.
    const auto whole = [scale](qreal value) {
        return (fixed(value * scale) + 32) & ~qint64(63);
    };
    marginLeft = whole(format.leftMargin());
    marginRight = whole(format.rightMargin());
    const qint64 inset = whole(format.border()) + whole(format.padding());
    const qint64 width = fixed(format.width().value(qMax<qreal>(0, document()->pageSize().width())));
    frameLeft = marginLeft + inset;
    frameRight = width - inset - marginRight;
    frameTop = whole(format.topMargin()) + inset;
    frameBottom = inset + whole(format.bottomMargin());
}

qint64 ReceiveLayout::marginBefore(const QTextBlockFormat &format, const QTextBlockFormat &previous) const
{
    qreal margin = qMax(format.topMargin(), previous.bottomMargin());
    if (margin > 0 && paintDevice())
        margin *= dpiScale();
    return fixed(margin);
}

// Lays a paragraph out with its top at `top`, line for line as Qt's document layout does for a
// paragraph without floats beside it, and returns how far down the next one starts.
qint64 ReceiveLayout::layOut(const QTextBlock &block, qint64 top) const
{
    QTextLayout *layout = block.layout();
    const QTextBlockFormat format = block.blockFormat();
    const QTextOption &documentOption = document()->defaultTextOption();
    const Qt::LayoutDirection direction = block.textDirection();
    const bool rightToLeft = direction == Qt::RightToLeft;

    qint64 extraMargin = 0;
    if (documentOption.flags() & QTextOption::AddSpaceForLineAndParagraphSeparators)
        extraMargin = fixed(QFontMetricsF(block.charFormat().font()).horizontalAdvance(QChar(0x21B5)));
    const qint64 indent = fixed(format.indent() * document()->indentWidth() * (paintDevice() ? dpiScale() : 1));
    const qint64 leftMargin = fixed(format.leftMargin()) + (rightToLeft ? extraMargin : indent);
    const qint64 rightMargin = fixed(format.rightMargin()) + (rightToLeft ? indent : extraMargin);

    layout->setPosition(QPointF(real(frameLeft), real(top)));

    QTextOption option = documentOption;
    option.setTextDirection(direction);
    option.setTabs(format.tabPositions());
    Qt::Alignment alignment = documentOption.alignment();
    if (format.hasProperty(QTextFormat::BlockAlignment))
        alignment = format.alignment();
    option.setAlignment(QStyle::visualAlignment(direction, alignment));
    if (format.nonBreakableLines() || document()->pageSize().width() < 0)
        option.setWrapMode(QTextOption::ManualWrap);
    layout->setTextOption(option);
    const bool wordOrAnywhere = option.wrapMode() == QTextOption::WrapAtWordBoundaryOrAnywhere;

    const qreal scaling = paintDevice() ? dpiScale() : 1;
    const qint64 textIndent = fixed(format.textIndent());
    qint64 y = 0;
    qint64 bottom = 0;
    bool firstLine = true;
    layout->beginLayout();
    for (QTextLine line = layout->createLine(); line.isValid(); line = layout->createLine()) {
        line.setLeadingIncluded(true);
        qint64 left = frameLeft + leftMargin;
        qint64 right = frameRight - rightMargin;
        if (firstLine) {
            if (rightToLeft)
                right -= textIndent;
            else
                left += textIndent;
            firstLine = false;
        }
        line.setLineWidth(real(right - left));
        // A run that cannot be broken is wider than the line: Qt breaks it anywhere, and leaves the
        // paragraph's option at word wrapping afterwards.
        if (fixed(line.naturalTextWidth()) > right - left) {
            line.setLineWidth(real(right - left));
            if (fixed(line.naturalTextWidth()) > right - left) {
                if (wordOrAnywhere) {
                    option.setWrapMode(QTextOption::WrapAnywhere);
                    layout->setTextOption(option);
                }
                line.setLineWidth(qMax(line.naturalTextWidth(), real(right - left)));
                if (wordOrAnywhere) {
                    option.setWrapMode(QTextOption::WordWrap);
                    layout->setTextOption(option);
                }
            }
        }

        const qreal rawHeight = qCeil(line.ascent() + line.descent() + line.leading());
        const qint64 lineHeight = fixed(format.lineHeight(rawHeight, scaling));
        const qint64 lineBottom = fixed(format.lineHeight(line.height(), scaling));
        qint64 adjustment = 0;
        if (format.lineHeightType() == QTextBlockFormat::FixedHeight)
            adjustment = fixed(line.ascent() + qMax<qreal>(line.leading(), 0)) - lineHeight * 4 / 5;
        else if (format.lineHeightType() == QTextBlockFormat::MinimumHeight)
            adjustment = fixed(line.height()) - lineHeight;

        line.setPosition(QPointF(real(left - frameLeft), real(y - adjustment)));
        bottom = y + lineBottom;
        y += lineHeight;
        widest = qMax(widest, fixed(line.x() + line.naturalTextWidth()) + rightMargin);
    }
    layout->endLayout();
    return qMax(y, bottom);
}

// Places paragraphs from `first` on: those up to `relaidUntil` are laid out again, the others keep
// their heights and only move. Stops where a paragraph is already where it belongs.
void ReceiveLayout::placeFrom(int first, int relaidUntil)
{
    QTextBlock block = document()->findBlockByNumber(first);
    qint64 y = frameTop;
    QTextBlockFormat previous;
    if (first > 0) {
        y = places[first - 1].top + places[first - 1].advance;
        previous = block.previous().blockFormat();
    }
    int n = first;
    for (; block.isValid(); block = block.next(), ++n) {
        const QTextBlockFormat format = block.blockFormat();
        Place &place = places[n];
        if (!block.isVisible()) {
            place = {y, 0};
        } else {
            if (n > 0)
                y += marginBefore(format, previous);
            if (n <= relaidUntil) {
                place = {y, layOut(block, y)};
                remember(n);
            } else if (place.top == y) {
                break;
            } else {
                place.top = y;
            }
            y += place.advance;
        }
        previous = format;
    }
    contentBottom = places.isEmpty() ? frameTop : places.last().top + places.last().advance;

    // The paragraphs that hold lines follow their new places.
    const int last = places.size() - 1;
    for (int held : qAsConst(recent) + QVector<int>{last}) {
        QTextLayout *layout = document()->findBlockByNumber(held).layout();
        if (layout && layout->lineCount() > 0)
            layout->setPosition(QPointF(real(frameLeft), real(places[held].top)));
    }
}

void ReceiveLayout::remember(int blockNumber) const
{
    if (blockNumber == places.size() - 1)
        return;
    recent.removeOne(blockNumber);
    recent.append(blockNumber);
    forgetBeyondLimit();
}

void ReceiveLayout::forgetBeyondLimit() const
{
    while (recent.size() > kRecentLimit) {
        const int oldest = recent.takeFirst();
        if (oldest == places.size() - 1)
            continue;
        // QTextLayout::clearLayout() empties its line array but keeps the array's memory for the next
        // layout: what stays allocated would be the whole history's lines again.
        QTextBlock block = document()->findBlockByNumber(oldest);
        block.clearLayout();
        if (QTextLayout *layout = block.layout())
            layout->engine()->lines = QScriptLineArray();
    }
}

void ReceiveLayout::ensureLaidOut(const QTextBlock &block) const
{
    // Asked from a handler of the document's own change signal, before documentChanged(): the
    // places are those of the text before the change.
    if (places.size() != document()->blockCount())
        return;
    const int n = block.blockNumber();
    if (n < 0 || !block.isVisible())
        return;
    if (block.layout()->lineCount() == 0)
        layOut(block, places[n].top);
    remember(n);
}

void ReceiveLayout::documentChanged(int from, int charsRemoved, int charsAdded)
{
    QTextDocument *doc = document();
    const int count = doc->blockCount();
    if (doc->pageSize().isNull()) {
        // Nothing is shown before the view gives the page its width; it lays everything out then.
        places.fill(Place{frameTop, 0}, count);
        recent.clear();
        laidOutWith = LayoutInputs();
        return;
    }

    const QSizeF oldSize = documentSize();
    int first = 0;
    int lastNew = count - 1;
    int oldLast = places.size() - 1;
    const bool whole = (from == 0 && charsRemoved == 0 && charsAdded == doc->characterCount()) || places.isEmpty();
    if (whole) {
        // The view sets the page size again on every resize event, and each time the document asks
        // for everything to be laid out anew; with hours of history that is seconds of work.
        const LayoutInputs now = currentInputs();
        if (now == laidOutWith && places.size() == count)
            return;
        laidOutWith = now;
        readFrameGeometry();
        widest = 0;
        recent.clear();
    } else {
        const int end = doc->characterCount() - 1;
        first = doc->findBlock(qBound(0, from, end)).blockNumber();
        // The paragraph just after the change may have been split off from the changed one.
        lastNew = doc->findBlock(qBound(0, from + charsAdded, end)).blockNumber();
        const int unchangedAfter = count - 1 - lastNew;
        oldLast = places.size() - 1 - unchangedAfter;
        if (first < 0 || lastNew < first || oldLast < first - 1) {
            first = 0;
            lastNew = count - 1;
            oldLast = places.size() - 1;
        }
    }

    // Paragraphs after the change keep their heights; those that hold lines keep their place in
    // the list under their new numbers.
    const int shift = lastNew - oldLast;
    QVector<int> kept;
    for (int n : qAsConst(recent)) {
        if (n < first)
            kept.append(n);
        else if (n > oldLast)
            kept.append(n + shift);
    }
    recent = kept;
    places.erase(places.begin() + first, places.begin() + oldLast + 1);
    places.insert(first, lastNew - first + 1, Place{0, 0});
    const qint64 changedTop = first > 0 ? places[first - 1].top + places[first - 1].advance : 0;
    placeFrom(first, lastNew);

    const QSizeF newSize = documentSize();
    if (newSize != oldSize)
        emit documentSizeChanged(newSize);
    emit update(QRectF(0, real(changedTop), qreal(INT_MAX), qreal(INT_MAX)));
}

int ReceiveLayout::blockAt(qint64 y) const
{
    const auto after = std::upper_bound(places.cbegin(), places.cend(), y,
                                        [](qint64 value, const Place &place) { return value < place.top; });
    return qMax(0, int(after - places.cbegin()) - 1);
}

void ReceiveLayout::drawBlock(QPainter *painter, const PaintContext &context, const QTextBlock &block,
                              const QRectF &frameClip) const
{
    const QTextLayout *layout = block.layout();
    const QRectF r = layout->boundingRect().translated(layout->position());
    if (context.clip.isValid() && (r.bottom() < context.clip.y() || r.top() > context.clip.bottom()))
        return;

    const QBrush background = block.blockFormat().background();
    if (background != Qt::NoBrush) {
        painter->save();
        painter->setBrushOrigin(r.topLeft());
        painter->fillRect(r, background);
        painter->restore();
    }

    QVector<QTextLayout::FormatRange> selections;
    const int position = block.position();
    const int length = block.length();
    for (const Selection &range : context.selections) {
        const int start = range.cursor.selectionStart() - position;
        const int end = range.cursor.selectionEnd() - position;
        if (start < length && end > 0 && end > start) {
            selections.append({start, end - start, range.format});
        } else if (!range.cursor.hasSelection() && range.format.hasProperty(QTextFormat::FullWidthSelection) &&
                   block.contains(range.cursor.position())) {
            const QTextLine line = layout->lineForTextPosition(range.cursor.position() - position);
            QTextLayout::FormatRange whole{line.textStart(), line.textLength(), range.format};
            if (whole.start + whole.length == length - 1)
                ++whole.length; // the paragraph's end with it
            selections.append(whole);
        }
    }

    const QPen oldPen = painter->pen();
    painter->setPen(context.palette.color(QPalette::Text));
    layout->draw(painter, QPointF(), selections, context.clip.isValid() ? (context.clip & frameClip) : frameClip);
    if ((context.cursorPosition >= position && context.cursorPosition < position + length) ||
        (context.cursorPosition < -1 && !layout->preeditAreaText().isEmpty())) {
        const int at = context.cursorPosition < -1 ? layout->preeditAreaPosition() - (context.cursorPosition + 2)
                                                   : context.cursorPosition - position;
        const QVariant width = property("cursorWidth");
        layout->drawCursor(painter, QPointF(), at, width.isValid() ? width.toInt() : 1);
    }
    painter->setPen(oldPen);
}

void ReceiveLayout::draw(QPainter *painter, const PaintContext &context)
{
    if (places.isEmpty() || document()->pageSize().isNull())
        return;
    const QSizeF size = documentSize();
    const QRectF frameClip = QRectF(QPointF(), size).adjusted(real(marginLeft), 0, -real(marginRight), 0);
    // A paragraph's last line may reach a pixel into the next one's top (fonts of negative leading).
    int n = context.clip.isValid() ? qMax(0, blockAt(fixed(context.clip.top())) - 1) : 0;
    for (QTextBlock block = document()->findBlockByNumber(n); block.isValid() && n < places.size();
         block = block.next(), ++n) {
        if (context.clip.isValid() && real(places[n].top) > context.clip.bottom())
            break;
        if (!block.isVisible())
            continue;
        ensureLaidOut(block);
        drawBlock(painter, context, block, frameClip);
    }
}

int ReceiveLayout::hitTest(const QPointF &point, Qt::HitTestAccuracy accuracy) const
{
    if (places.isEmpty() || document()->pageSize().isNull())
        return accuracy == Qt::ExactHit ? -1 : 0;
    int n = blockAt(fixed(point.y()));
    QTextBlock block = document()->findBlockByNumber(n);
    while (!block.isVisible() && block.previous().isValid())
        block = block.previous();
    ensureLaidOut(block);

    enum { Before, After, Inside, Exact } hit = Inside;
    const QTextLayout *layout = block.layout();
    const QRectF rect = layout->boundingRect().translated(layout->position());
    int position = block.position();
    if (point.y() < rect.top()) {
        hit = Before;
    } else if (point.y() > rect.bottom()) {
        position += block.length() - 1;
        hit = After;
    } else {
        const QPointF inBlock = point - layout->position();
        int offset = 0;
        for (int i = 0; i < layout->lineCount(); ++i) {
            const QTextLine line = layout->lineAt(i);
            const QRectF lineRect = line.naturalTextRect();
            if (lineRect.top() > inBlock.y()) {
                offset = qMin(offset, line.textStart());
            } else if (lineRect.bottom() <= inBlock.y()) {
                offset = qMax(offset, line.textStart() + line.textLength());
            } else {
                if (lineRect.left() <= inBlock.x() && lineRect.right() >= inBlock.x())
                    hit = Exact;
                // An anchor is hit over the whole of its characters, not only their left halves.
                offset = line.xToCursor(inBlock.x(), accuracy == Qt::ExactHit ? QTextLine::CursorOnCharacter
                                                                              : QTextLine::CursorBetweenCharacters);
                break;
            }
        }
        position += offset;
    }
    if (accuracy == Qt::ExactHit && hit < Exact)
        return -1;
    return qBound(0, position, document()->rootFrame()->lastPosition());
}

int ReceiveLayout::pageCount() const
{
    const QSizeF page = document()->pageSize();
    if (page.height() < 0)
        return 1;
    return qCeil(documentSize().height() / page.height());
}

QSizeF ReceiveLayout::documentSize() const
{
    const qint64 margins = marginLeft + marginRight + 2 * (frameLeft - marginLeft);
    return QSizeF(real(qMax(frameRight - frameLeft, widest) + margins), real(contentBottom + frameBottom));
}

QRectF ReceiveLayout::frameBoundingRect(QTextFrame *frame) const
{
    if (frame != document()->rootFrame() || document()->pageSize().isNull())
        return QRectF();
    return QRectF(QPointF(), documentSize());
}

QRectF ReceiveLayout::blockBoundingRect(const QTextBlock &block) const
{
    if (document()->pageSize().isNull() || !block.isValid() || !block.isVisible() || places.isEmpty())
        return QRectF();
    ensureLaidOut(block);
    const QTextLayout *layout = block.layout();
    QRectF rect = layout->boundingRect();
    rect.moveTopLeft(layout->position());
    return rect;
}
