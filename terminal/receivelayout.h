#pragma once

#include <QAbstractTextDocumentLayout>
#include <QFont>
#include <QRect>
#include <QScrollBar>
#include <QTextFrameFormat>
#include <QTextOption>
#include <QVector>

#include <functional>

#include "wordtiles.h"

class QTextBlock;
class QTextBlockFormat;
class QTextLayout;
class QTextLine;

// The receive box's document layout. Qt's own layout keeps every paragraph laid out for good: a
// 44-byte record for each shown line of the whole history, some 3 bytes per received byte, and a
// trim at the top re-places every paragraph below it. This one places paragraphs exactly where Qt's
// would (same line breaking, line heights and paragraph margins, for the plain paragraphs the box
// holds: no frames, tables, lists or floats), but keeps only each paragraph's place and height. Lines
// exist only for the last paragraph and for the few paragraphs recently drawn or asked about; any
// other is laid out again when it is needed, the way Qt's cursor code expects of a lazy layout
// (blockBoundingRect() makes sure a paragraph's lines are there). The others do not even keep their
// QTextLayout object, which Qt makes again when anything asks for it.
class ReceiveLayout : public QAbstractTextDocumentLayout {
    Q_OBJECT
public:
    explicit ReceiveLayout(QTextDocument *doc);

    void draw(QPainter *painter, const PaintContext &context) override;
    int hitTest(const QPointF &point, Qt::HitTestAccuracy accuracy) const override;
    int pageCount() const override;
    QSizeF documentSize() const override;
    QRectF frameBoundingRect(QTextFrame *frame) const override;
    QRectF blockBoundingRect(const QTextBlock &block) const override;

    // Whether words may be drawn from copies (see WordTiles); on unless switched off, so that a
    // test can set the two side by side.
    void setWordTiles(bool on) { tilesEnabled = on; }

protected:
    void documentChanged(int from, int charsRemoved, int charsAdded) override;

private:
    // Where a paragraph sits, in 1/64 px (Qt's fixed-point unit, so that sums come out as Qt's do).
    struct Place {
        qint64 top;
        qint64 advance; // from its top to where the next paragraph's margin starts
    };

    // What the whole layout depends on besides the text.
    struct LayoutInputs {
        QSizeF page;
        QTextFrameFormat frame;
        QFont font;
        QVector<qreal> option;
        QList<QTextOption::Tab> tabs;
        qreal indentWidth = 0;
        const QPaintDevice *device = nullptr;
        bool operator==(const LayoutInputs &other) const;
    };
    LayoutInputs currentInputs() const;
    void readFrameGeometry();
    void placeFrom(int first, int relaidUntil, int unchangedBefore);
    qint64 layOut(const QTextBlock &block, qint64 top) const;
    qint64 keepLines(const QTextBlock &block, int unchangedBefore) const;
    struct LineStep {
        qint64 height = 0;     // to the next line's top
        qint64 bottom = 0;     // to this line's bottom, which may differ (fonts of negative leading)
        qint64 adjustment = 0; // how far the line sits above its slot (fixed and minimum heights)
    };
    static LineStep lineStep(const QTextLine &line, const QTextBlockFormat &format, qreal scaling);
    void ensureLaidOut(const QTextBlock &block) const;
    void remember(int blockNumber) const;
    void forgetBeyondLimit() const;
    void releaseLayouts();
    int blockAt(qint64 y) const;
    qint64 marginBefore(const QTextBlockFormat &format, const QTextBlockFormat &previous) const;
    qreal dpiScale() const;
    void drawBlock(QPainter *painter, const PaintContext &context, const QTextBlock &block,
                   const QRectF &frameClip) const;
    bool drawFromTiles(QPainter *painter, const PaintContext &context, int first, const QRectF &clip) const;
    bool forEachDrawnBlock(const PaintContext &context, int first,
                           const std::function<bool(const QTextBlock &)> &visit) const;

    QVector<Place> places;
    LayoutInputs laidOutWith;
    // Paragraphs other than the last that hold their lines, most recently used last.
    mutable QVector<int> recent;
    // Paragraphs that left `recent`, whose layout objects go at the next turn of the event loop.
    mutable QVector<int> released;
    mutable bool releaseQueued = false;
    qint64 marginLeft = 0; // the frame's own margins, outside which nothing is drawn
    qint64 marginRight = 0;
    qint64 frameLeft = 0; // where paragraphs start and end, inside margin, border and padding
    qint64 frameRight = 0;
    qint64 frameTop = 0;
    qint64 frameBottom = 0; // margin, border and padding below the last paragraph
    qint64 contentBottom = 0;
    mutable qint64 widest = 0;
    bool tilesEnabled = true;
    mutable WordTiles wordTiles;
    mutable QVector<WordTiles::Placed> placedWords;
};

// The receive box's scroll bars. At full line rate the range grows at every screen update, while the
// slider of a long history sits at its least length at the bottom and looks the same each time: it
// is repainted only when what it shows changes. Its size hint, asked a dozen times an update by the
// scroll area's layout, is worked out once per style and font.
class SteadyScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;
    QSize sizeHint() const override;
    bool event(QEvent *event) override;

protected:
    void sliderChange(SliderChange change) override;
    void paintEvent(QPaintEvent *event) override;

private:
    struct Look {
        QRect slider;
        bool atMinimum = false;
        bool atMaximum = false;
        bool operator==(const Look &other) const
        {
            return slider == other.slider && atMinimum == other.atMinimum && atMaximum == other.atMaximum;
        }
    };
    Look look() const;

    Look shown;
    mutable QSize hint;
};
