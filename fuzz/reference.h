#pragma once

// The conversion and send rules restated the plain way, apart from the program's code, so that the
// fuzz targets can hold the program to them. Written for clarity, not speed.

#include <QByteArray>
#include <QChar>
#include <QString>
#include <QStringList>

namespace reference {

// A character as the byte conversions read it: its Latin-1 code, and 0 for anything above U+00FF.
inline unsigned char latin1Code(QChar ch)
{
    return ch.unicode() > 0xFF ? 0 : static_cast<unsigned char>(ch.unicode());
}

// A hex digit's value, upper or lower case; -1 for any other character.
inline int hexDigit(unsigned char ch)
{
    const char *const upper = "0123456789ABCDEF";
    const char *const lower = "0123456789abcdef";
    for (int value = 0; value < 16; ++value) {
        if (ch == static_cast<unsigned char>(upper[value]) || ch == static_cast<unsigned char>(lower[value]))
            return value;
    }
    return -1;
}

// Pairs of characters, one byte each. A blank is skipped only where a byte would begin; a character
// without a partner at the end is dropped; an invalid digit takes part as -1; the byte is the value
// modulo 256.
inline QByteArray string2Hex(const QString &text)
{
    QByteArray bytes;
    int i = 0;
    while (i < text.size()) {
        const unsigned char first = latin1Code(text.at(i));
        if (first == ' ') {
            i += 1;
            continue;
        }
        if (i + 1 == text.size())
            break;
        const unsigned char second = latin1Code(text.at(i + 1));
        const int value = 16 * hexDigit(first) + hexDigit(second);
        bytes.append(static_cast<char>(((value % 256) + 256) % 256));
        i += 2;
    }
    return bytes;
}

// Without a blank: half the length, rounded up. With one: the number of blank-separated groups.
// Only U+0020 is a blank.
inline int count(const QString &text)
{
    if (text.indexOf(QLatin1Char(' ')) < 0)
        return text.size() / 2 + text.size() % 2;
    return text.split(QLatin1Char(' '), Qt::SkipEmptyParts).size();
}

// The byte text a chunk of the send box stands for: its decimal value, with a leading 0 below 10.
inline QString chunkText(const QString &chunk)
{
    const int value = chunk.toInt(nullptr, 10);
    if (value >= 0 && value <= 9)
        return QLatin1Char('0') + QString::number(value);
    return QString::number(value);
}

// The chunks of the send box, in the order they go out: each group (cut at U+0020) in two-character
// pieces from its start, and an odd group's last character alone.
inline QStringList sendChunks(const QString &boxText)
{
    QStringList chunks;
    for (const QString &group : boxText.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        for (int start = 0; start + 2 <= group.size(); start += 2)
            chunks << group.mid(start, 2);
        if (group.size() % 2 == 1)
            chunks << group.right(1);
    }
    return chunks;
}

} // namespace reference
