#pragma once

// What the fuzz targets share: the one application and window they drive, the texts an input
// stands for, and the check that stops the run on the first disagreement.

#include "mainwindow.h"
#include "testaccess.h"

#include <QApplication>
#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Stops the run with a crash file. The message says which rule broke; libFuzzer saves the input.
#define FUZZ_CHECK(condition, ...)                                                                                     \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n  ", #condition, __FILE__, __LINE__);                 \
            std::fprintf(stderr, __VA_ARGS__);                                                                         \
            std::fputc('\n', stderr);                                                                                  \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

namespace fuzz {

// The application, headless. Its own argument list: libFuzzer's flags are none of Qt's business.
inline QApplication &application()
{
    static int argc = 1;
    static char name[] = "talven-fuzz";
    static char *argv[] = {name, nullptr};
    static QApplication *app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

// The window lives as long as the process: the fuzzer never returns from its loop.
inline MainWindow &window()
{
    application();
    static MainWindow *w = new MainWindow;
    return *w;
}

inline MainWindowTestAccess &access()
{
    static MainWindowTestAccess a(window());
    return a;
}

inline QByteArray bytesOf(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

// Raw UTF-16 code units, lone surrogates and all. Copied, since the input need not be aligned.
inline QString utf16Of(const QByteArray &raw)
{
    QString text(raw.size() / 2, Qt::Uninitialized);
    std::memcpy(text.data(), raw.constData(), size_t(text.size()) * sizeof(QChar));
    return text;
}

// The ways a text box can come to hold an input: typed or pasted UTF-8 (with U+FFFD for broken
// sequences), arbitrary UTF-16 code units (characters beyond Latin-1, lone surrogates), and one
// character per byte (every Latin-1 code, NUL included).
inline QVector<QString> textsOf(const QByteArray &raw)
{
    return {QString::fromUtf8(raw), utf16Of(raw), QString::fromLatin1(raw)};
}

// For messages: the text as UTF-16 code units in hex.
inline QByteArray dump(const QString &text)
{
    QByteArray out;
    for (const QChar ch : text)
        out += QByteArray::number(ch.unicode(), 16) + ' ';
    return out.left(600);
}

inline QByteArray dump(const QByteArray &bytes)
{
    return bytes.toHex(' ').left(600);
}

} // namespace fuzz
