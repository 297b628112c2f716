#pragma once

// The one door from the tests into MainWindow's private state (declared a friend there).

#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QTimer>

class MainWindowTestAccess {
public:
    explicit MainWindowTestAccess(MainWindow &window)
        : w(window)
    {
    }

    Ui::MainWindow *ui() const { return w.ui; }
    QSerialPort *port() const { return w.myCom; }
    bool portOpen() const { return w.portOpen; }
    QTimer *autoSendTimer() const { return w.autoSendTimer; }
    QTimer *displayTimer() const { return w.displayTimer; }
    void setDisplaySpacing(int ms) { w.displaySpacing = ms; }
    // True once everything received so far is on screen.
    bool displayCurrent() const { return !w.displayTimer->isActive(); }
    void setHistoryLimit(int characters) { w.historyLimit = characters; }
    void flushReceiveDisplay() { w.flushReceiveDisplay(); }

    qint64 sentBytes() const { return w.sentBytes; }
    qint64 receivedBytes() const { return w.receivedBytes; }
    qint64 sendCount() const { return w.sendCount; }
    qint64 matchCount() const { return w.matchCount; }
    void setCounters(qint64 sent, qint64 received, qint64 sends, qint64 matches)
    {
        w.sentBytes = sent;
        w.receivedBytes = received;
        w.sendCount = sends;
        w.matchCount = matches;
    }

    bool &readParamPending() { return w.readParamPending; }
    bool &channelWritePending() { return w.channelWritePending; }
    bool &idWritePending() { return w.idWritePending; }
    bool &baudWritePending() { return w.baudWritePending; }
    bool &powerWritePending() { return w.powerWritePending; }
    int replyChannel() const { return w.replyChannel; }
    int replyId() const { return w.replyId; }

    // The conversions and ticks, called the way the program calls them: directly.
    int Count(const QString &text) { return w.Count(text); }
    QByteArray String2Hex(const QString &text, QByteArray bytes = {})
    {
        w.String2Hex(text, bytes);
        return bytes;
    }
    char ConvertHexChar(char ch) { return w.ConvertHexChar(ch); }
    int QstrtoInt(const QString &text) { return w.QstrtoInt(text); }
    QString InttoHex(int value) { return w.InttoHex(value); }
    void timeFunction() { w.timeFunction(); }
    void timeFunction1() { w.timeFunction1(); }
    void readMyCom() { w.readMyCom(); }

    // The send operation as the send button runs it, and the walk's cursor that closes each group.
    void on_pushButton_17_clicked() { w.on_pushButton_17_clicked(); }
    int tokenLen() const { return w.tokenLen; }
    // The radio replies without the port: the block in rxBytes is echoed and decoded, or judged.
    QByteArray &rxBytes() { return w.rxBytes; }
    void showParamReply() { w.showParamReply(); }
    void confirmPendingWrites() { w.confirmPendingWrites(); }

private:
    MainWindow &w;
};
