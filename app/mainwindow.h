#pragma once

// Talven's one window. All state lives here; the slots are implemented by subsystem:
//   app/       construction, destruction and the hex conversions
//   terminal/  port open/close, send and auto-send, link statistics, receive display
//   radio/     module command frames and reply decoding
//
// How a received block travels (readMyCom, terminal/receive.cpp):
//   1. readParamPending set   -> the block is the module's parameter reply: gather it for up to
//                                100 ms, echo it, decode it into lineEdit_23..27 (radio/replies.cpp).
//                                Nothing else runs for that block.
//   2. otherwise              -> terminal steps: read, complete-reception test against the send box,
//                                counters, hex display in the receive box.
//   3. then                   -> every pending write flag (channel, ID, baud, power, in that order)
//                                is judged "OK"/"ERROR" on that same block (radio/replies.cpp).
//
// Shared cursors: hexPos and byteNo are used by the send walk, the receive display and the
// parameter echo alike; textPos and tokenLen by the send walk. Each operation sets them before use.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>

class QTimer;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private:
    Ui::MainWindow *ui;
    QSerialPort *myCom;
    bool portOpen;
    QByteArray rxBytes;
    QByteArray txBytes;
    QString txText;
    int hexPos;
    int byteNo;
    int replyChannel;
    int replyId;
    int tokenLen;
    int textPos;
    // 64-bit so that a week-long link test never shows a wrapped, negative count.
    qint64 sentBytes;
    qint64 receivedBytes;
    qint64 sendCount;
    qint64 matchCount;
    bool readParamPending;
    bool channelWritePending;
    bool idWritePending;
    bool baudWritePending;
    bool powerWritePending;
    QTimer *autoSendTimer;
    // The module's baud change in progress (radio/commands.cpp): the frame goes out at the old rate,
    // and once it has left, the port moves to the new one. Driven by a short timer, not by waiting.
    struct BaudSwitch {
        QTimer *timer = nullptr;
        QString rate;
        QString frame;
        QDeadlineTimer deadline;
        bool frameWritten = false;
    } baudSwitch;

private slots:
    // app: hex conversions (called directly, never connected)
    int Count(QString text);
    // terminal: auto-send tick and one-second statistics tick
    void timeFunction();
    void timeFunction1();
    // app: hex conversions
    void String2Hex(QString str, QByteArray &senddata);
    char ConvertHexChar(char ch);
    int QstrtoInt(QString str);
    QString InttoHex(int value);
    // terminal + radio: the one receive handler
    void readMyCom();
    // terminal: port, housekeeping, send
    void on_pushButton_14_clicked();
    void on_pushButton_16_clicked();
    void on_pushButton_15_clicked();
    void on_pushButton_10_clicked();
    void on_pushButton_12_clicked();
    void on_pushButton_17_clicked();
    void on_textBrowser_textChanged();
    // radio: command frames
    void on_pushButton_23_clicked();
    void on_pushButton_18_clicked();
    void on_pushButton_20_clicked();
    void on_pushButton_21_clicked();
    void on_pushButton_22_clicked();
    // terminal: auto-send switch, clear counters
    void on_checkBox_clicked();
    void on_pushButton_24_clicked();

private:
    // terminal/port.cpp: the one place for each port rule
    bool openPort(const QString &baudText);
    bool applyLineSettings(const QString &baudText);
    void setPortControlsEnabled(bool open);
    void setPortCommandsEnabled(bool enabled);
    void enterClosedState();
    void showPortWarning();
    void onPortError(QSerialPort::SerialPortError error);
    // terminal/send.cpp
    void sendOnce();
    void sendChunk(const QStringRef &chunk);
    // terminal/receive.cpp
    void appendToReceiveBox(const QByteArray &bytes);
    // radio/replies.cpp
    void decodeParamReply();
    void showParamReply();
    void confirmPendingWrites();
    // radio/commands.cpp
    void sendFrame(const QString &hexText, bool &pendingFlag);
    void continueBaudSwitch();

    // Tests reach private state through this one friend, defined in tests/.
    friend class MainWindowTestAccess;
};
