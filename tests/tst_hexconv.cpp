#include "testaccess.h"

#include <QtTest>

class TestHexConversions : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { window = new MainWindow; }
    void cleanupTestCase() { delete window; }

    void string2Hex_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("groups") << "01 02 0A" << QByteArray::fromHex("01020A");
        QTest::newRow("pairs") << "01020A" << QByteArray::fromHex("01020A");
        QTest::newRow("mixed") << "0102 0A" << QByteArray::fromHex("01020A");
        QTest::newRow("lower and upper") << "0a0B" << QByteArray::fromHex("0A0B");
        QTest::newRow("letters") << "ab cd" << QByteArray::fromHex("ABCD");
        QTest::newRow("odd length drops last") << "123" << QByteArray::fromHex("12");
        QTest::newRow("lone digit pairs with blank") << "1 2" << QByteArray::fromHex("0F");
        QTest::newRow("odd group then pair") << "123 45" << QByteArray::fromHex("122F45");
        QTest::newRow("invalid high digit") << "G1" << QByteArray::fromHex("F1");
        QTest::newRow("invalid low digit") << "1G" << QByteArray::fromHex("0F");
        QTest::newRow("both invalid") << "GG" << QByteArray::fromHex("EF");
        QTest::newRow("empty") << "" << QByteArray();
        QTest::newRow("blanks only") << "    " << QByteArray();
        QTest::newRow("leading blank") << " 41" << QByteArray::fromHex("41");
        QTest::newRow("command frame") << "A99A04D2" << QByteArray::fromHex("A99A04D2");
        QTest::newRow("all ones") << "FF ff" << QByteArray::fromHex("FFFF");
        // Above U+00FF a character reads as code 0, an invalid digit (-1).
        QTest::newRow("chinese high") << QString::fromUtf8("中1") << QByteArray::fromHex("F1");
        QTest::newRow("chinese low") << QString::fromUtf8("1中") << QByteArray::fromHex("0F");
        QTest::newRow("latin-1 letter") << QString::fromUtf8("é0") << QByteArray::fromHex("F0");
        QTest::newRow("embedded nul") << QString(QChar(0)) + "1" << QByteArray::fromHex("F1");
        QTest::newRow("tab is no blank") << "\t1" << QByteArray::fromHex("F1");
        QTest::newRow("blank as low digit") << "A " << QByteArray::fromHex("9F");
    }
    void string2Hex()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        MainWindowTestAccess access(*window);
        QCOMPARE(access.String2Hex(text), bytes);
        // Whatever the array held before is gone, however long it was.
        QCOMPARE(access.String2Hex(text, QByteArray(1000, 'x')), bytes);
    }

    void count_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count");
        QTest::newRow("groups") << "01 02 03" << 3;
        QTest::newRow("pairs") << "010203" << 3;
        QTest::newRow("odd pairs round up") << "01020" << 3;
        QTest::newRow("long group counts once") << "0102 03" << 2;
        QTest::newRow("start text") << "1 2 3 4 5 10 11 12 13 14" << 10;
        QTest::newRow("one letter") << "a" << 1;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("two blanks") << "  " << 0;
        QTest::newRow("leading repeated trailing blanks") << " 1  2 " << 2;
        QTest::newRow("tab belongs to group") << "1\t2 3" << 2;
        QTest::newRow("line break belongs to group") << "1\n2" << 2;
        QTest::newRow("no blank, chinese") << QString::fromUtf8("中文字") << 2;
    }
    void count()
    {
        QFETCH(QString, text);
        QFETCH(int, count);
        QCOMPARE(MainWindowTestAccess(*window).Count(text), count);
    }

    void qstrtoInt_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");
        for (int d = 0; d <= 9; ++d)
            QTest::addRow("digit %d", d) << QString::number(d) << d;
        QTest::newRow("b") << "b" << 11;
        QTest::newRow("c") << "c" << 12;
        QTest::newRow("d") << "d" << 13;
        QTest::newRow("e") << "e" << 14;
        QTest::newRow("f") << "f" << 15;
        QTest::newRow("a reads 10") << "a" << 10;
        QTest::newRow("upper C reads 10") << "C" << 10;
        QTest::newRow("upper B reads 10") << "B" << 10;
        QTest::newRow("only first character") << "1f" << 1;
        QTest::newRow("x") << "x" << 10;
        QTest::newRow("g") << "g" << 10;
        QTest::newRow("empty") << "" << 10;
    }
    void qstrtoInt()
    {
        QFETCH(QString, text);
        QFETCH(int, value);
        QCOMPARE(MainWindowTestAccess(*window).QstrtoInt(text), value);
    }

    void inttoHex_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "0";
        QTest::newRow("9") << 9 << "9";
        QTest::newRow("10") << 10 << "A";
        QTest::newRow("11") << 11 << "B";
        QTest::newRow("15") << 15 << "F";
        QTest::newRow("16") << 16 << "";
        QTest::newRow("-1") << -1 << "";
        QTest::newRow("large") << 1000 << "";
    }
    void inttoHex()
    {
        QFETCH(int, value);
        QFETCH(QString, text);
        QCOMPARE(MainWindowTestAccess(*window).InttoHex(value), text);
    }

    void convertHexChar_data()
    {
        QTest::addColumn<char>("ch");
        QTest::addColumn<int>("value");
        QTest::newRow("0") << '0' << 0;
        QTest::newRow("7") << '7' << 7;
        QTest::newRow("9") << '9' << 9;
        QTest::newRow("b") << 'b' << 11;
        QTest::newRow("B") << 'B' << 11;
        QTest::newRow("A") << 'A' << 10;
        QTest::newRow("f") << 'f' << 15;
        QTest::newRow("F") << 'F' << 15;
        QTest::newRow("g") << 'g' << -1;
        QTest::newRow("G") << 'G' << -1;
        QTest::newRow("blank") << ' ' << -1;
        QTest::newRow("@ before A") << '@' << -1;
        QTest::newRow("slash before 0") << '/' << -1;
        QTest::newRow("colon after 9") << ':' << -1;
        QTest::newRow("nul") << '\0' << -1;
        QTest::newRow("high byte") << char(0xC8) << -1;
    }
    void convertHexChar()
    {
        QFETCH(char, ch);
        QFETCH(int, value);
        QCOMPARE(int(MainWindowTestAccess(*window).ConvertHexChar(ch)), value);
    }

    // Every two-digit text decodes to its byte, in both cases: the send path and the frames rely on it.
    void string2HexRoundTrip()
    {
        MainWindowTestAccess access(*window);
        for (int b = 0; b < 256; ++b) {
            const QString upper = QString("%1").arg(b, 2, 16, QLatin1Char('0')).toUpper();
            QCOMPARE(access.String2Hex(upper), QByteArray(1, char(b)));
            QCOMPARE(access.String2Hex(upper.toLower()), QByteArray(1, char(b)));
            QCOMPARE(access.InttoHex(b / 16) + access.InttoHex(b % 16), upper);
        }
    }

private:
    MainWindow *window = nullptr;
};

QTEST_MAIN(TestHexConversions)
#include "tst_hexconv.moc"
