// The link statistics: the error rate computed each second from the counters on screen, clearing
// the counters, 64-bit counts, and a whole link test against a far end that echoes.

#include "terminalsession.h"

#include <QtTest>

namespace {
const QByteArray startBlock = QByteArray::fromHex("0102030405060708091011121314");

// A counter as the window draws it: its text whole in the label at the label's own face, inside
// the window, clear of the widgets beside it (those it overlapped at the form's geometry are the
// frames it sits on), and at least `smallestPoints` large.
QString drawnWhole(const QLabel *label, const QRect &formGeometry, int smallestPoints = 1)
{
    const int needed = QFontMetrics(label->font()).horizontalAdvance(label->text());
    if (needed > label->contentsRect().width())
        return QString("%1: \"%2\" needs %3 px of %4")
            .arg(label->objectName(), label->text())
            .arg(needed)
            .arg(label->contentsRect().width());
    if (!label->parentWidget()->rect().contains(label->geometry()))
        return label->objectName() + " leaves the window";
    for (const QWidget *other : label->parentWidget()->findChildren<QWidget *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (other != label && !other->geometry().intersects(formGeometry) &&
            other->geometry().intersects(label->geometry()))
            return QString("%1 covers %2").arg(label->objectName(), other->objectName());
    }
    if (label->font().pointSize() < smallestPoints)
        return QString("%1 drawn at %2 pt").arg(label->objectName()).arg(label->font().pointSize());
    return QString();
}
} // namespace

class TestStatistics : public QObject {
    Q_OBJECT

private slots:
    void errorRate_data();
    void errorRate();
    void idleUntilFirstSend();
    void clearingCounters();
    void countersStayReadable_data();
    void countersStayReadable();
    void loopbackLinkTestSurvivesAPulledCable();
};

void TestStatistics::errorRate_data()
{
    QTest::addColumn<int>("sends");
    QTest::addColumn<int>("matches");
    QTest::addColumn<QString>("rate");
    QTest::newRow("one send, echoed") << 1 << 1 << "0.00%";
    QTest::newRow("one send, lost") << 1 << 0 << "100.00%";
    QTest::newRow("10 sends, 9 back") << 10 << 9 << "10.00%";
    QTest::newRow("3 sends, 1 back") << 3 << 1 << "66.67%";
    QTest::newRow("3 sends, 2 back") << 3 << 2 << "33.33%";
    QTest::newRow("7 sends, 3 back") << 7 << 3 << "57.14%";
    QTest::newRow("more back than sent") << 1 << 2 << "-100.00%";
}

void TestStatistics::errorRate()
{
    QFETCH(int, sends);
    QFETCH(int, matches);
    QFETCH(QString, rate);

    TerminalSession s;
    QVERIFY(s.open());
    for (int i = 0; i < sends; ++i)
        s.clickSend();
    for (int i = 0; i < matches; ++i)
        QVERIFY(s.deliver(startBlock));
    QCOMPARE(s.ui->label_46->text(), QString::number(sends));
    QCOMPARE(s.ui->label_32->text(), QString::number(matches));

    s.access.timeFunction1();
    QCOMPARE(s.ui->label_45->text(), rate);
    const QString whole = drawnWhole(s.ui->label_45, QRect(76, 557, 61, 20), 7);
    QVERIFY2(whole.isEmpty(), qPrintable(whole));
    // With nothing new the tick writes the same figure again.
    s.access.timeFunction1();
    QCOMPARE(s.ui->label_45->text(), rate);
}

void TestStatistics::idleUntilFirstSend()
{
    TerminalSession s;
    QVERIFY(s.open());
    // Receptions alone do not start the figure.
    QVERIFY(s.deliver(startBlock));
    for (int i = 0; i < 3; ++i) {
        s.access.timeFunction1();
        QCOMPARE(s.ui->label_45->text(), QString());
    }
    s.clickSend();
    s.access.timeFunction1();
    QCOMPARE(s.ui->label_45->text(), QString("0.00%"));
}

void TestStatistics::clearingCounters()
{
    TerminalSession s;
    QVERIFY(s.open());
    s.typePeriod("20");
    s.clickAutoSend();
    QTRY_VERIFY(s.access.sendCount() >= 2);
    QVERIFY(s.deliver(startBlock));
    s.access.timeFunction1();
    QVERIFY(!s.ui->label_45->text().isEmpty());
    s.clickAutoSend();
    s.pty.drain(50);

    const QString received = s.ui->textBrowser->toPlainText();
    TerminalSession::click(s.ui->pushButton_24);
    QCOMPARE(s.ui->label_22->text(), QString("0"));
    QCOMPARE(s.ui->label_26->text(), QString("0"));
    QCOMPARE(s.ui->label_32->text(), QString("0"));
    QCOMPARE(s.ui->label_46->text(), QString("0"));
    QCOMPARE(s.ui->label_45->text(), QString());
    s.access.timeFunction1();
    QCOMPARE(s.ui->label_45->text(), QString());
    // The boxes and the port are left as they were.
    QCOMPARE(s.ui->textBrowser->toPlainText(), received);
    QCOMPARE(s.ui->textEdit_2->toPlainText(), QString("1 2 3 4 5 6 7 8 9 10 11 12 13 14"));
    QVERIFY(s.access.portOpen());

    // Counting starts again from the first send and reception after the clear.
    s.clickSend();
    QCOMPARE(s.ui->label_46->text(), QString("1"));
    QCOMPARE(s.ui->label_22->text(), QString("14"));
    QVERIFY(s.deliver(startBlock));
    QCOMPARE(s.ui->label_26->text(), QString("14"));
    QCOMPARE(s.ui->label_32->text(), QString("1"));
}

void TestStatistics::countersStayReadable_data()
{
    QTest::addColumn<qint64>("sent");
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("sends");
    QTest::addColumn<qint64>("matches");
    QTest::addColumn<int>("smallestPoints");
    QTest::newRow("8 digits") << qint64(99999980) << qint64(99999980) << qint64(99999998) << qint64(99999998) << 7;
    QTest::newRow("past the 32-bit limit")
        << qint64(2147483640) << qint64(2147483640) << qint64(2147483647) << qint64(2147483647) << 1;
}

void TestStatistics::countersStayReadable()
{
    QFETCH(qint64, sent);
    QFETCH(qint64, received);
    QFETCH(qint64, sends);
    QFETCH(qint64, matches);
    QFETCH(int, smallestPoints);

    TerminalSession s;
    QVERIFY(s.open());
    QLabel *const counters[] = {s.ui->label_22, s.ui->label_46, s.ui->label_26, s.ui->label_32, s.ui->label_45};
    QHash<QLabel *, QPair<QRect, QString>> form;
    for (QLabel *label : counters)
        form.insert(label, {label->geometry(), label->styleSheet()});

    s.access.setCounters(sent, received, sends, matches);
    s.clickSend();
    QVERIFY(s.deliver(startBlock));
    QCOMPARE(s.ui->label_22->text(), QString::number(sent + 14));
    QCOMPARE(s.ui->label_46->text(), QString::number(sends + 1));
    QCOMPARE(s.ui->label_26->text(), QString::number(received + 14));
    QCOMPARE(s.ui->label_32->text(), QString::number(matches + 1));
    s.access.timeFunction1();
    QCOMPARE(s.ui->label_45->text(), QString("0.00%"));
    for (QLabel *label : counters) {
        const QString whole = drawnWhole(label, form.value(label).first, smallestPoints);
        QVERIFY2(whole.isEmpty(), qPrintable(whole));
    }

    // Short figures look exactly as the form has them again.
    TerminalSession::click(s.ui->pushButton_24);
    for (QLabel *label : counters) {
        QCOMPARE(label->geometry(), form.value(label).first);
        QCOMPARE(label->styleSheet(), form.value(label).second);
    }
}

void TestStatistics::loopbackLinkTestSurvivesAPulledCable()
{
    ModalCatcher boxes;
    TerminalSession s;
    QVERIFY(s.open());
    s.typePeriod("20");
    s.clickAutoSend();

    // The far end echoes each send as soon as it has come in whole.
    QByteArray pending;
    QDeadlineTimer deadline(20000);
    while (s.access.matchCount() < 20 && !deadline.hasExpired()) {
        pending += s.pty.readAvailable();
        while (pending.size() >= startBlock.size()) {
            QVERIFY(s.pty.write(pending.left(startBlock.size())));
            pending.remove(0, startBlock.size());
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    QVERIFY(s.access.matchCount() >= 20);
    s.access.timeFunction1();
    QVERIFY(s.ui->label_45->text().endsWith('%'));

    // Cable pulled: the window goes to the closed state with one warning.
    s.pty.closeMaster();
    QTRY_COMPARE(boxes.boxes.size(), 1);
    QVERIFY(!s.access.portOpen());
    QVERIFY(!s.ui->checkBox->isChecked());
    const qint64 sends = s.access.sendCount();
    const qint64 matches = s.access.matchCount();
    QVERIFY(matches >= 20 && matches <= sends);

    // Plugged back in: the user opens again, restarts auto-send and the counts carry on.
    PtyPair again;
    redirectPortForTesting(s.portName(), again.slavePath());
    s.clickOpenClose();
    QVERIFY(s.access.portOpen());
    s.clickAutoSend();
    QByteArray echoed = again.read(startBlock.size());
    QCOMPARE(echoed, startBlock);
    QVERIFY(again.write(echoed));
    QTRY_VERIFY(s.access.matchCount() == matches + 1);
    QVERIFY(s.access.sendCount() > sends);
    QCOMPARE(boxes.boxes.size(), 1);
}

QTEST_MAIN(TestStatistics)
#include "tst_statistics.moc"
