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
// What a block shows (its hex in the receive box, the texts of label_26 and label_32) is gathered
// and put on screen at most 40 ms later, together with everything else received meanwhile
// (flushReceiveDisplay); updates come at most every 40 ms. Counting and the complete-reception
// test stay per block. Whatever reads the screen or writes to the receive box flushes first: the
// error-rate tick, the parameter-reply echo, the clear buttons.
//
// Shared cursors: hexPos and byteNo are used by the send walk, the receive display and the
// parameter echo alike; textPos and tokenLen by the send walk. Each operation sets them before use.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>

class QLabel;
class QTimer;

namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // What the window needs from the application object; call before it is created.
    static void prepareApplication();

    // The receive box keeps at least this many characters of history: a whole day of the default
    // 100 ms link test.
    static constexpr int defaultReceiveHistory = 40000000;

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

    // Receive display, gathered between two screen updates (terminal/receive.cpp).
    QString pendingHex;
    bool countersPending;
    QTimer *displayTimer;
    // At most one update every displaySpacing ms: a stream shows that often, a block after a quiet
    // spell almost at once. lastDisplayAt is displayClock's reading (ms, from construction) at the
    // last update that showed something, pendingSince at the arrival of the oldest block not shown.
    int displaySpacing;
    QElapsedTimer displayClock;
    qint64 lastDisplayAt;
    qint64 pendingSince;
    // The send box as the complete-reception test compares it (blanks and zeros removed), worked
    // out again only when the box has changed.
    QString matchText;
    bool matchTextStale;
    // Characters the receive box keeps at least; past this the oldest text leaves it.
    int historyLimit;
    // An auto-send tick found earlier bytes still queued: the timer waits for the line to take them.
    bool autoSendWaiting;

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
    // terminal/portname.cpp: each port name's tooltip shows the device it opens; refreshPortDevices()
    // looks at the machine again and returns the current name's device
    void followPortDevices();
    QString refreshPortDevices();
    // terminal/send.cpp
    void sendOnce();
    void sendChunk(const QStringRef &chunk);
    void onPortBytesWritten();
    // terminal/receive.cpp
    void appendToReceiveBox(const QByteArray &bytes);
    void insertIntoReceiveBox(const QString &text);
    void trimReceiveHistory();
    void flushReceiveDisplay();
    void clearReceiveBox();
    // terminal/statistics.cpp: a counter label's text, drawn whole however long it grows
    void showFigure(QLabel *label, const QString &text);
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
