#pragma once

#include <QHash>
#include <QImage>
#include <QPainter>
#include <QPoint>
#include <QRawFont>
#include <QRect>
#include <QVector>

class QTextLine;

// Words of the receive box drawn once and then copied. At full line rate every line in view is new
// at each update, and Qt blends each glyph's coverage into the view pixel by pixel: that blend was
// two fifths of an update's cost. The box holds only the 256 hex pairs, so a pair drawn onto the
// view's plain background, at the same sub-pixel position and in the same colours, comes out as
// the same pixels every time. Each is made by Qt's own glyph drawing onto an image filled with that
// background, cut to the pixels the glyphs touch, and copied into place from then on.
class WordTiles {
public:
    struct Placed {
        QPoint at; // the painter's logical pixels
        QImage image;
    };
    struct Look {
        QRgb pen = 0;
        QRgb backdrop = 0;
        QPainter::RenderHints hints;
    };

    // Appends the words of `line` (its layout at `layoutPosition`) and the rectangle their pixels
    // cover; false if the line holds anything a copy would not reproduce exactly.
    bool tileLine(const QTextLine &line, const QPointF &layoutPosition, const Look &look, QVector<Placed> &placed,
                  QRect &ink);

    // Whether what `painter` draws on is a surface the copies may go straight onto: Qt's raster
    // engine on a 32-bit image, whole-pixel offsets, no scaling, opacity or other composition.
    static bool suits(const QPainter *painter);

private:
    static constexpr int kMostGlyphs = 4;
    struct Key {
        const void *engine = nullptr;
        QRgb pen = 0;
        QRgb backdrop = 0;
        int hints = 0;
        int count = 0;
        quint32 glyphs[kMostGlyphs] = {};
        int subPixel[kMostGlyphs] = {}; // in 1/64 px
        int offset[kMostGlyphs] = {};   // whole pixels from the first glyph
        bool operator==(const Key &other) const;
    };
    friend uint qHash(const Key &key, uint seed);
    struct Tile {
        QImage image; // null: the word touches no pixel
        QPoint offset;
    };
    struct Font {
        QRawFont raw; // holds its engine, so that the engine's address stays this font's
        quint32 space = 0;
        bool usable = false;
    };

    const Font &fontOf(const QRawFont &raw);
    const Tile &tileFor(const Key &key, const QRawFont &raw);

    QHash<const void *, Font> fonts;
    QHash<Key, Tile> tiles;
};
