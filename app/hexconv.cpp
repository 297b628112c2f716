// Hex text <-> bytes and digits. These rules are shared by the send walk, the command frames and
// the reply decoding, which depend on their quirks (a lone digit pairs with the following blank,
// "G1" gives 0xF1, QstrtoInt reads upper-case "B" as 10); keep them as they are.

#include "mainwindow.h"

// The slots take their text by value: the signatures are part of the window's meta-object interface.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
int MainWindow::Count(QString text)
{
    if (!text.contains(QLatin1Char(' ')))
        return (text.length() + 1) / 2;
    int groups = 0;
    bool inGroup = false;
    for (const QChar ch : text) {
        const bool blank = ch == QLatin1Char(' ');
        if (!blank && !inGroup)
            ++groups;
        inGroup = !blank;
    }
    return groups;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param)
void MainWindow::String2Hex(QString str, QByteArray &senddata)
{
    const int len = str.length();
    QByteArray bytes;
    bytes.reserve(len / 2);
    int i = 0;
    while (i < len) {
        // A character above U+00FF reads as 0: no hex digit.
        const char high = str.at(i).toLatin1();
        if (high == ' ') {
            ++i;
            continue;
        }
        if (i + 1 >= len)
            break;
        const char low = str.at(i + 1).toLatin1();
        // An invalid digit counts as -1, so "G1" is 0xF1 and "1G" is 0x0F.
        const int value = 16 * ConvertHexChar(high) + ConvertHexChar(low);
        bytes.append(static_cast<char>(value & 0xFF));
        i += 2;
    }
    senddata = bytes;
}

char MainWindow::ConvertHexChar(char ch)
{
    if (ch >= '0' && ch <= '9')
        return static_cast<char>(ch - '0');
    if (ch >= 'A' && ch <= 'F')
        return static_cast<char>(ch - 'A' + 10);
    if (ch >= 'a' && ch <= 'f')
        return static_cast<char>(ch - 'a' + 10);
    return -1;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param)
int MainWindow::QstrtoInt(QString str)
{
    // Callers pass digits cut from a lower-case dump, for which this is the whole rule.
    const QChar first = str.isEmpty() ? QChar() : str.at(0);
    if (first >= QLatin1Char('0') && first <= QLatin1Char('9'))
        return first.unicode() - '0';
    if (first >= QLatin1Char('b') && first <= QLatin1Char('f'))
        return first.unicode() - 'a' + 10;
    return 10;
}

QString MainWindow::InttoHex(int value)
{
    if (value < 0 || value > 15)
        return QString();
    return QString(QLatin1Char("0123456789ABCDEF"[value]));
}
