#include "receivelayout.h"

#include <QFontMetricsF>
#include <QPaintDevice>
#include <QPainter>
#include <QStyleOptionSlider>
#include <QStyle>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextLayout>
#include <QVarLengthArray>
#include <QWidget>
#include <QtMath>
#include <private/qtextdocument_p.h>
#include <private/qtextengine_p.h>

#include <algorithm>
#include <climits>
#include <optional>

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

// The box's paragraphs are pieces of one text, cut at line starts, and Qt treats a paragraph's
// last line apart: it counts the trailing blank as text, with its width, and marks a selection
// running past it with a stub for the paragraph end. While one of these lives, the last line of a
// cut is what the same line is where the text wraps: its blanks held apart, and a line after it
// (never drawn, far below any clip), so that Qt's drawing and hit testing treat it as any other.
class AsWrapped {
public:
    AsWrapped(const QTextLayout *layout, const QString &text)
        : lines(layout->engine()->lines)
        , asLaidOut(lines.last())
    {
        QScriptLine &last = lines.last();
        int blanks = 0;
        while (blanks < last.length && text.at(last.from + last.length - 1 - blanks).isSpace())
            ++blanks;
        if (blanks > 0) {
            const QTextLine line = layout->lineAt(layout->lineCount() - 1);
            const int end = last.from + last.length;
            last.textWidth -= QFixed::fromReal(line.cursorToX(end)) - QFixed::fromReal(line.cursorToX(end - blanks));
            last.length -= blanks;
            last.trailingSpaces += blanks;
        }
        QScriptLine beyond;
        beyond.from = text.size();
        beyond.y = QFixed::fromFixed(INT_MAX / 2);
        lines.append(beyond);
    }
    ~AsWrapped()
    {
        lines.removeLast();
        lines.last() = asLaidOut;
    }
    AsWrapped(const AsWrapped &) = delete;
    AsWrapped &operator=(const AsWrapped &) = delete;

private:
    QScriptLineArray &lines;
    const QScriptLine asLaidOut;
};

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

        const LineStep step = lineStep(line, format, scaling);
        line.setPosition(QPointF(real(left - frameLeft), real(y - step.adjustment)));
        bottom = y + step.bottom;
        y += step.height;
        widest = qMax(widest, fixed(line.x() + line.naturalTextWidth()) + rightMargin);
    }
    layout->endLayout();
    return qMax(y, bottom);
}

// How far a line takes the paragraph down, as Qt's document layout reckons it.
ReceiveLayout::LineStep ReceiveLayout::lineStep(const QTextLine &line, const QTextBlockFormat &format, qreal scaling)
{
    const qreal rawHeight = qCeil(line.ascent() + line.descent() + line.leading());
    LineStep step;
    step.height = fixed(format.lineHeight(rawHeight, scaling));
    step.bottom = fixed(format.lineHeight(line.height(), scaling));
    if (format.lineHeightType() == QTextBlockFormat::FixedHeight)
        step.adjustment = fixed(line.ascent() + qMax<qreal>(line.leading(), 0)) - step.height * 4 / 5;
    else if (format.lineHeightType() == QTextBlockFormat::MinimumHeight)
        step.adjustment = fixed(line.height()) - step.height;
    return step;
}

// A paragraph cut off the end of a longer one (the receive box cuts its tail where its last line
// starts) still holds the longer one's lines: Qt drops a changed paragraph's glyphs, not its lines.
// When all of its text comes before `unchangedBefore`, where the change began, the lines that cover
// it are still what a new layout would give (same text, format, width and font), and the lines of
// the part cut off are dropped. Returns the paragraph's height, or -1 when it must be laid out again.
qint64 ReceiveLayout::keepLines(const QTextBlock &block, int unchangedBefore) const
{
    const int textLength = block.length() - 1;
    // A change at the paragraph's own start (its format) leaves nothing known to be the same.
    if (textLength <= 0 || block.position() + textLength > unchangedBefore)
        return -1;
    QTextLayout *layout = block.layout();
    QScriptLineArray &lines = layout->engine()->lines;
    int kept = 0;
    int end = 0;
    while (kept < lines.size() && end < textLength) {
        const QScriptLine &line = lines.at(kept++);
        end = line.from + line.length + line.trailingSpaces;
    }
    if (kept == 0 || end != textLength)
        return -1;
    lines.resize(kept);

    const QTextBlockFormat format = block.blockFormat();
    const qreal scaling = paintDevice() ? dpiScale() : 1;
    qint64 y = 0;
    qint64 bottom = 0;
    for (int i = 0; i < kept; ++i) {
        const LineStep step = lineStep(layout->lineAt(i), format, scaling);
        bottom = y + step.bottom;
        y += step.height;
    }
    return qMax(y, bottom);
}

// Places paragraphs from `first` on: those up to `relaidUntil` are laid out again (unless their
// text all comes before `unchangedBefore` and they keep their lines), the others keep their heights
// and only move. Stops where a paragraph is already where it belongs.
void ReceiveLayout::placeFrom(int first, int relaidUntil, int unchangedBefore)
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
                const qint64 kept = keepLines(block, unchangedBefore);
                if (kept >= 0)
                    block.layout()->setPosition(QPointF(real(frameLeft), real(y)));
                place = {y, kept >= 0 ? kept : layOut(block, y)};
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
        released.append(oldest);
    }
    if (!released.isEmpty() && !releaseQueued) {
        releaseQueued = true;
        QMetaObject::invokeMethod(const_cast<ReceiveLayout *>(this), &ReceiveLayout::releaseLayouts,
                                  Qt::QueuedConnection);
    }
}

// Even without lines, a paragraph's QTextLayout and its engine are some 400 bytes: most of what a
// paragraph of the history costs besides its text, some 0.8 bytes a character at 16 lines.
// Qt's cursor and selection code may be holding one while it asks this layout about another
// paragraph, so they are deleted only from the event loop, where nothing is.
void ReceiveLayout::releaseLayouts()
{
    releaseQueued = false;
    const int last = places.size() - 1;
    QTextDocumentPrivate *text = document()->docHandle();
    for (int n : qAsConst(released)) {
        if (n >= last || recent.contains(n))
            continue;
        const QTextBlock block = document()->findBlockByNumber(n);
        if (!block.isValid())
            continue;
        const QTextBlockData *data = text->blockMap().fragment(block.fragmentIndex());
        // QTextBlock::layout() makes a new one when it is next asked for.
        delete data->layout;
        data->layout = nullptr;
    }
    released.clear();
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
        released.clear();
        laidOutWith = LayoutInputs();
        return;
    }

    const QSizeF oldSize = documentSize();
    int first = 0;
    int lastNew = count - 1;
    int oldLast = places.size() - 1;
    // Text before this position is as it was (the change began there).
    int unchangedBefore = -1;
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
        released.clear();
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
        } else {
            unchangedBefore = from;
        }
    }

    // Paragraphs after the change keep their heights; those listed as holding lines, or as about to
    // lose their layout objects, stay listed under their new numbers.
    const int shift = lastNew - oldLast;
    for (QVector<int> *list : {&recent, &released}) {
        QVector<int> kept;
        for (int n : qAsConst(*list)) {
            if (n < first)
                kept.append(n);
            else if (n > oldLast)
                kept.append(n + shift);
        }
        *list = kept;
    }
    places.erase(places.begin() + first, places.begin() + oldLast + 1);
    places.insert(first, lastNew - first + 1, Place{0, 0});
    const qint64 changedTop = first > 0 ? places[first - 1].top + places[first - 1].advance : 0;
    placeFrom(first, lastNew, unchangedBefore);

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

    // A selection that runs on past a cut would show a paragraph end's stub at every cut.
    bool runsOn = false;
    if (block.next().isValid()) {
        for (const QTextLayout::FormatRange &range : qAsConst(selections))
            runsOn = runsOn || range.start + range.length >= length - 1;
    }
    std::optional<AsWrapped> wrapped;
    if (runsOn && layout->lineCount() > 0)
        wrapped.emplace(layout, block.text());
    const QPen oldPen = painter->pen();
    painter->setPen(context.palette.color(QPalette::Text));
    layout->draw(painter, QPointF(), selections, context.clip.isValid() ? (context.clip & frameClip) : frameClip);
    wrapped.reset();
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
    if (drawFromTiles(painter, context, n, context.clip.isValid() ? (context.clip & frameClip) : frameClip))
        return;
    forEachDrawnBlock(context, n, [&](const QTextBlock &block) {
        drawBlock(painter, context, block, frameClip);
        return true;
    });
}

// Walks the paragraphs from the `first` that a paint for `context` touches, each laid out, until
// `visit` returns false; false if it did.
bool ReceiveLayout::forEachDrawnBlock(const PaintContext &context, int first,
                                      const std::function<bool(const QTextBlock &)> &visit) const
{
    int n = first;
    for (QTextBlock block = document()->findBlockByNumber(n); block.isValid() && n < places.size();
         block = block.next(), ++n) {
        if (context.clip.isValid() && real(places[n].top) > context.clip.bottom())
            break;
        if (!block.isVisible())
            continue;
        ensureLaidOut(block);
        const QTextLayout *layout = block.layout();
        const QRectF r = layout->boundingRect().translated(layout->position());
        if (context.clip.isValid() && (r.bottom() < context.clip.y() || r.top() > context.clip.bottom()))
            continue;
        if (!visit(block))
            return false;
    }
    return true;
}

namespace {

// What Qt's line drawing would draw in the painter's pen on the background alone.
bool plainFormat(const QTextCharFormat &format)
{
    for (const int property :
         {int(QTextFormat::ForegroundBrush), int(QTextFormat::BackgroundBrush), int(QTextFormat::FontUnderline),
          int(QTextFormat::TextUnderlineStyle), int(QTextFormat::FontOverline), int(QTextFormat::FontStrikeOut),
          int(QTextFormat::TextOutline), int(QTextFormat::IsAnchor)}) {
        if (format.hasProperty(property))
            return false;
    }
    return true;
}

// The one colour everything under the text was filled with, if it is one: the view's own
// background (no style sheet drawing it, no picture, no transparency).
bool plainBackdrop(const QPainter *painter, QRgb *color)
{
    const QPaintDevice *device = painter->device();
    if (!device || device->devType() != QInternal::Widget)
        return false;
    const auto *widget = static_cast<const QWidget *>(device);
    if (!widget->autoFillBackground() || widget->testAttribute(Qt::WA_StyledBackground) ||
        widget->testAttribute(Qt::WA_TranslucentBackground))
        return false;
    const QBrush &brush = widget->palette().brush(widget->backgroundRole());
    if (brush.style() != Qt::SolidPattern || brush.color().alpha() != 255)
        return false;
    *color = brush.color().rgba();
    return true;
}

} // namespace

// At line rate every line in view is new at each update; copying its words is a fraction of the
// cost of blending their glyphs. Anything the copies might not reproduce pixel for pixel (a
// selection, a cursor, formats, a background of more than one colour, scaling, words that touch)
// leaves the whole paint to Qt's own drawing.
bool ReceiveLayout::drawFromTiles(QPainter *painter, const PaintContext &context, int first, const QRectF &clip) const
{
    WordTiles::Look look;
    if (!tilesEnabled || !context.selections.isEmpty() || context.cursorPosition != -1 || !WordTiles::suits(painter) ||
        !plainBackdrop(painter, &look.backdrop))
        return false;
    look.pen = context.palette.color(QPalette::Text).rgba();
    look.hints = painter->renderHints();

    QVarLengthArray<QRect, 16> inks;
    placedWords.clear();
    const bool plain = forEachDrawnBlock(context, first, [&](const QTextBlock &block) {
        const QTextLayout *layout = block.layout();
        const QPointF at = layout->position();
        if (block.blockFormat().hasProperty(QTextFormat::BackgroundBrush) || !layout->formats().isEmpty() ||
            !layout->preeditAreaText().isEmpty())
            return false;
        for (QTextBlock::iterator it = block.begin(); !it.atEnd(); ++it) {
            if (!plainFormat(it.fragment().charFormat()))
                return false;
        }
        // The lines QTextLayout::draw() would draw for this clip.
        for (int i = 0; i < layout->lineCount(); ++i) {
            const QTextLine line = layout->lineAt(i);
            const qreal top = at.y() + line.y();
            if (top > clip.bottom())
                break;
            if (top + line.height() < clip.top())
                continue;
            QRect ink;
            if (!wordTiles.tileLine(line, at, look, placedWords, ink))
                return false;
            if (!ink.isEmpty())
                inks.append(ink);
        }
        return true;
    });
    if (!plain)
        return false;
    // Lines whose pixels meet (a tall glyph, a tight line spacing) are blended by Qt, not copied.
    for (int i = 0; i < inks.size(); ++i) {
        for (int j = i + 1; j < inks.size(); ++j) {
            if (inks[i].intersects(inks[j]))
                return false;
        }
    }
    for (const WordTiles::Placed &word : qAsConst(placedWords))
        painter->drawImage(word.at, word.image);
    return true;
}

int ReceiveLayout::hitTest(const QPointF &point, Qt::HitTestAccuracy accuracy) const
{
    if (places.isEmpty() || document()->pageSize().isNull())
        return accuracy == Qt::ExactHit ? -1 : 0;
    const qint64 y = fixed(point.y());
    int n = blockAt(y);
    // With a negative margin between them (fonts of negative leading), a paragraph's last line
    // reaches into the next one's first; there, as within a paragraph, the upper line is hit.
    while (n > 0 && y < places[n - 1].top + places[n - 1].advance)
        --n;
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
        const int lineCount = layout->lineCount();
        std::optional<AsWrapped> wrapped;
        if (block.next().isValid() && lineCount > 0)
            wrapped.emplace(layout, block.text());
        for (int i = 0; i < lineCount; ++i) {
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

SteadyScrollBar::Look SteadyScrollBar::look() const
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    Look now;
    now.slider = style()->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, this);
    // The arrows are drawn disabled at the ends.
    now.atMinimum = value() == minimum();
    now.atMaximum = value() == maximum();
    return now;
}

void SteadyScrollBar::sliderChange(SliderChange change)
{
    const Look now = look();
    if (now == shown)
        return;
    shown = now;
    QScrollBar::sliderChange(change);
}

void SteadyScrollBar::paintEvent(QPaintEvent *event)
{
    shown = look();
    QScrollBar::paintEvent(event);
}

QSize SteadyScrollBar::sizeHint() const
{
    if (!hint.isValid())
        hint = QScrollBar::sizeHint();
    return hint;
}

bool SteadyScrollBar::event(QEvent *event)
{
    switch (event->type()) {
    case QEvent::Polish:
    case QEvent::ParentChange:
    case QEvent::StyleChange:
    case QEvent::FontChange:
    case QEvent::LayoutDirectionChange:
    case QEvent::EnabledChange:
        hint = QSize();
        shown = Look();
        break;
    default:
        break;
    }
    return QScrollBar::event(event);
}
