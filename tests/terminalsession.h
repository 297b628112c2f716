#pragma once

// A user at the terminal: the window shown, one of its port names pointing at a pseudo-terminal,
// and the mouse and keyboard actions of the terminal tests. The test plays the far end of the line
// on pty's master side.

#include "mainwindow.h"
#include "portname.h"
#include "testaccess.h"
#include "testsupport.h"
#include "ui_mainwindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextEdit>
#include <QtTest>

// How the receive box shows a block: two upper-case hex digits and a blank per byte.
inline QString shownAsHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper()) + (bytes.isEmpty() ? "" : " ");
}

class TerminalSession {
public:
    explicit TerminalSession(const QString &portName = QStringLiteral("COM3"))
        : m_portName(portName)
    {
        redirectPortForTesting(m_portName, pty.slavePath());
        window.show();
        // The receive box wraps at the width the shown window gives it.
        if (!QTest::qWaitForWindowExposed(&window))
            qWarning("the terminal window was not exposed");
    }
    ~TerminalSession() { redirectPortForTesting(m_portName, QString()); }
    TerminalSession(const TerminalSession &) = delete;
    TerminalSession &operator=(const TerminalSession &) = delete;

    // Declared before the window, so the window (and its port) goes first and the line outlives it.
    PtyPair pty;
    MainWindow window;
    MainWindowTestAccess access{window};
    Ui::MainWindow *const ui = access.ui();

    QString portName() const { return m_portName; }

    // Choosing from a closed combo box by typing, the way a keyboard user does.
    static void choose(QComboBox *box, const QString &text)
    {
        box->setFocus();
        QTest::keyClicks(box, text);
    }
    static void click(QAbstractButton *button) { QTest::mouseClick(button, Qt::LeftButton); }

    void pickPort(const QString &name) { choose(ui->comboBox_5, name); }
    void pickRate(const QString &rate) { choose(ui->comboBox_6, rate); }
    void clickOpenClose() { click(ui->pushButton_10); }
    void clickSend() { click(ui->pushButton_17); }
    void clickAutoSend() { click(ui->checkBox); }

    // Picks this session's port and opens it; true when the window went to the open state.
    bool open()
    {
        pickPort(m_portName);
        clickOpenClose();
        return access.portOpen();
    }

    void typeSendText(const QString &text)
    {
        click(ui->pushButton_15);
        const QStringList lines = text.split(QLatin1Char('\n'));
        for (int i = 0; i < lines.size(); ++i) {
            if (i > 0)
                QTest::keyClick(ui->textEdit_2, Qt::Key_Return);
            QTest::keyClicks(ui->textEdit_2, lines[i]);
        }
    }

    // Replaces a line edit's text by typing, as a user does: select all, delete, type.
    static void typeInto(QLineEdit *field, const QString &text)
    {
        field->selectAll();
        QTest::keyClick(field, Qt::Key_Backspace);
        QTest::keyClicks(field, text);
    }
    void typePeriod(const QString &ms) { typeInto(ui->lineEdit_14, ms); }

    // The far end sends `bytes`; returns once the window has taken them all in and, unless told
    // otherwise (long runs of blocks, checked at the end), shown them.
    enum Shown { AndShown, CountedOnly };
    bool deliver(const QByteArray &bytes, Shown shown = AndShown, int timeoutMs = 5000)
    {
        const qint64 target = access.receivedBytes() + bytes.size();
        if (!pty.write(bytes))
            return false;
        QDeadlineTimer deadline(timeoutMs);
        const auto done = [&] {
            return access.receivedBytes() == target && (shown == CountedOnly || access.displayCurrent());
        };
        while (!done() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return done();
    }

    // Waits for the next screen update of what was received.
    bool waitForDisplay(int timeoutMs = 1000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!access.displayCurrent() && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return access.displayCurrent();
    }

    // The receive box as the user reads it: paragraph breaks the box inserts for itself are not text.
    QString receivedText() const { return ui->textBrowser->toPlainText().remove(QLatin1Char('\n')); }

private:
    QString m_portName;
};
