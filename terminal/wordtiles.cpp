#include "wordtiles.h"

#include <QGlyphRun>
#include <QPaintEngine>
#include <QTextLine>
#include <QtMath>
#include <private/qfixed_p.h>
#include <private/qfontengine_p.h>
#include <private/qrawfont_p.h>

#include <climits>

namespace {

// Some 700 B each: the 256 pairs at the few sub-pixel positions a font's advances reach, in one
// colour scheme, with room to spare. Past it (a change of font or colours) the cache starts again.
constexpr int kMostTiles = 4096;

} // namespace

bool WordTiles::Key::operator==(const Key &other) const
{
    if (engine != other.engine || pen != other.pen || backdrop != other.backdrop || hints != other.hints ||
        count != other.count)
        return false;
    for (int k = 0; k < count; ++k) {
        if (glyphs[k] != other.glyphs[k] || subPixel[k] != other.subPixel[k] || offset[k] != other.offset[k])
            return false;
    }
    return true;
}

uint qHash(const WordTiles::Key &key, uint seed)
{
    uint h = qHash(key.engine, seed) ^ qHash(key.pen) ^ (qHash(key.backdrop) << 1) ^ uint(key.hints);
    for (int k = 0; k < key.count; ++k)
        h = h * 31 + key.glyphs[k] * 131 + uint(key.subPixel[k]) * 7 + uint(key.offset[k]);
    return h;
}

bool WordTiles::suits(const QPainter *painter)
{
    QPaintEngine *engine = painter->paintEngine();
    if (!engine || engine->type() != QPaintEngine::Raster)
        return false;
    if (painter->compositionMode() != QPainter::CompositionMode_SourceOver || painter->opacity() != 1.0)
        return false;
    // Includes the widget's offset in the window and any device pixel ratio: a copy is placed in
    // whole device pixels, unscaled.
    const QTransform &toDevice = painter->deviceTransform();
    if (toDevice.type() > QTransform::TxTranslate || toDevice.dx() != qRound(toDevice.dx()) ||
        toDevice.dy() != qRound(toDevice.dy()))
        return false;
    const QPaintDevice *target = engine->paintDevice();
    if (!target || target->devicePixelRatioF() != 1)
        return false;
    if (target->devType() == QInternal::Image) {
        // The formats whose glyph blend is the one the copies were made with.
        const QImage::Format format = static_cast<const QImage *>(target)->format();
        return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32 ||
               format == QImage::Format_ARGB32_Premultiplied;
    }
    return target->devType() == QInternal::Pixmap && target->depth() == 32;
}

const WordTiles::Font &WordTiles::fontOf(const QRawFont &raw)
{
    QFontEngine *engine = QRawFontPrivate::get(raw)->fontEngine;
    auto found = fonts.find(engine);
    if (found != fonts.end())
        return *found;
    Font font;
    font.raw = raw;
    // Drawn on a widget, an engine's glyphs come in its own format; on an image, always as 8-bit
    // coverage. Only where the two are the same is a word drawn on an image the word on screen
    // (not so with sub-pixel, coloured or bitmap glyphs).
    font.usable = engine && engine->hasInternalCaching() &&
                  (engine->glyphFormat == QFontEngine::Format_A8 || engine->glyphFormat == QFontEngine::Format_None);
    if (font.usable)
        font.space = engine->glyphIndex(' ');
    return *fonts.insert(engine, font);
}

bool WordTiles::tileLine(const QTextLine &line, const QPointF &layoutPosition, const Look &look,
                         QVector<Placed> &placed, QRect &ink)
{
    ink = QRect();
    int lastRight = INT_MIN;
    const QList<QGlyphRun> runs = line.glyphRuns();
    for (const QGlyphRun &run : runs) {
        if (run.flags() & (QGlyphRun::Overline | QGlyphRun::Underline | QGlyphRun::StrikeOut | QGlyphRun::RightToLeft))
            return false;
        const Font &font = fontOf(run.rawFont());
        if (!font.usable)
            return false;
        QFontEngine *engine = QRawFontPrivate::get(font.raw)->fontEngine;
        const QVector<quint32> glyphs = run.glyphIndexes();
        const QVector<QPointF> positions = run.positions();

        Key key;
        key.engine = engine;
        key.pen = look.pen;
        key.backdrop = look.backdrop;
        key.hints = int(look.hints);
        QPoint origin;
        const auto placeWord = [&]() {
            if (key.count == 0)
                return true;
            const Tile &tile = tileFor(key, font.raw);
            key.count = 0;
            if (tile.image.isNull())
                return true;
            const QRect covered(origin + tile.offset, tile.image.size());
            // Copies would overwrite each other's pixels where Qt blends them together.
            if (covered.left() <= lastRight)
                return false;
            lastRight = covered.right();
            ink |= covered;
            placed.append({covered.topLeft(), tile.image});
            return true;
        };
        for (int i = 0; i < glyphs.size(); ++i) {
            if (glyphs.at(i) == font.space) {
                if (!placeWord())
                    return false;
                continue;
            }
            // Where Qt's raster engine puts this glyph: the same fixed-point sums it makes from the
            // same whole-pixel offset, then its rounding.
            const QFixed x = QFixed::fromReal(layoutPosition.x() + positions.at(i).x());
            const QFixed y = QFixed::fromReal(layoutPosition.y() + positions.at(i).y());
            const QPoint at(qFloor(x), qRound(y));
            if (key.count == 0)
                origin = at;
            else if (at.y() != origin.y() || key.count == kMostGlyphs || at.x() - origin.x() > 255)
                return false;
            key.glyphs[key.count] = glyphs.at(i);
            key.subPixel[key.count] = engine->subPixelPositionForX(x).value();
            key.offset[key.count] = at.x() - origin.x();
            ++key.count;
        }
        if (!placeWord())
            return false;
    }
    return true;
}

const WordTiles::Tile &WordTiles::tileFor(const Key &key, const QRawFont &raw)
{
    auto found = tiles.constFind(key);
    if (found != tiles.cend())
        return *found;
    if (tiles.size() >= kMostTiles)
        tiles.clear();

    // Room enough for any glyph's overhang; what the glyphs touch is cut out below.
    const int em = qCeil(raw.pixelSize()) + 2;
    const int left = em;
    const int top = qCeil(raw.ascent()) + em;
    QImage canvas(left + key.offset[key.count - 1] + 2 * em, top + qCeil(raw.descent()) + em,
                  QImage::Format_ARGB32_Premultiplied);
    canvas.fill(key.backdrop);
    QVector<quint32> glyphs;
    QVector<QPointF> positions;
    for (int k = 0; k < key.count; ++k) {
        glyphs.append(key.glyphs[k]);
        positions.append(QPointF(left + key.offset[k] + qreal(key.subPixel[k]) / 64, top));
    }
    QGlyphRun run;
    run.setRawFont(raw);
    run.setGlyphIndexes(glyphs);
    run.setPositions(positions);
    {
        QPainter painter(&canvas);
        painter.setRenderHints(painter.renderHints(), false);
        painter.setRenderHints(QPainter::RenderHints(key.hints));
        painter.setPen(QColor::fromRgba(key.pen));
        painter.drawGlyphRun(QPointF(), run);
    }

    QRect touched;
    for (int y = 0; y < canvas.height(); ++y) {
        const QRgb *pixel = reinterpret_cast<const QRgb *>(canvas.constScanLine(y));
        for (int x = 0; x < canvas.width(); ++x) {
            if (pixel[x] != key.backdrop)
                touched |= QRect(x, y, 1, 1);
        }
    }
    Tile tile;
    if (!touched.isEmpty()) {
        // Opaque throughout, so copied rather than blended.
        tile.image = canvas.copy(touched);
        tile.image.reinterpretAsFormat(QImage::Format_RGB32);
        tile.offset = touched.topLeft() - QPoint(left, top);
    }
    return *tiles.insert(key, tile);
}
