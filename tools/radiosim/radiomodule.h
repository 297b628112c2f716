#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>

class QSocketNotifier;

// A radio data module as its serial line sees it: it answers the read command with its parameter
// block, takes the four write commands with a one-byte acknowledgement, and after a serial-rate
// write moves its own line to the new rate. In echo mode it is a loop-back plug instead.
//
// The module runs in the thread it lives in, driven by that thread's event loop. Its settings and
// its state may be read and changed from any thread, so a test can keep it on a thread of its own
// (where it answers while the program under test blocks in a wait, as a real module would).
class RadioModule : public QObject {
    Q_OBJECT

public:
    struct Parameters {
        quint8 channel = 20;
        quint8 channelRateCode = 0x64;
        quint8 baudCode = 0x02;
        quint8 powerCode = 0x0A;
        quint16 id = 1234;
    };

    static constexpr quint8 Accepted = 0xAA;
    // What the module answers to a value it cannot take, and what --refuse answers by default.
    static constexpr quint8 Refused = 0x55;

    explicit RadioModule(QObject *parent = nullptr);
    ~RadioModule() override;
    RadioModule(const RadioModule &) = delete;
    RadioModule &operator=(const RadioModule &) = delete;

    // Where the module sits; one of these, once. On failure errorString() says why.
    // A new pseudo-terminal: the module keeps the master side, devicePath() is the side to open.
    bool openPseudoTerminal();
    // A serial device (or any terminal device): the module sets it raw, 8N1, at its serial rate.
    bool openDevice(const QString &path);
    // A descriptor the caller keeps and closes, e.g. the master side of a test's pseudo-terminal.
    bool attach(int fd);

    QString devicePath() const;
    QString errorString() const;

    Parameters parameters() const;
    void setParameters(const Parameters &parameters);
    // The byte that answers a write. Anything but Accepted makes a module that refuses every write.
    void setWriteAnswer(quint8 answer);
    // Sends the parameter reply in two pieces this many milliseconds apart; 0 sends it whole.
    void setSplitDelay(int ms);
    // Takes frames but neither answers nor changes anything: a module that is off or deaf.
    void setSilent(bool silent);
    // A loop-back instead of a module: every piece read off the line goes straight back, unchanged
    // and whole, and no frame is looked for. What a link test runs against.
    void setEcho(bool echo);

    // The rate the module's own line runs at now.
    int lineBaudRate() const;
    // Every well-formed frame taken so far, in order.
    QList<QByteArray> frames() const;

    static int baudRateForCode(quint8 code);

signals:
    // Bytes as they come off the line, before they are cut into frames.
    void received(const QByteArray &bytes);
    // One frame dealt with; `answer` is empty when the module stayed silent.
    void frameHandled(const QByteArray &frame, const QByteArray &answer);
    // The device went away (a USB adapter pulled); the module no longer answers.
    void lineLost();

private:
    bool startOn(int fd, bool owned, bool ownsLineRate);
    void readLine();
    void takeFrames();
    QByteArray answerFrame(const QByteArray &frame);
    void sendReply(const QByteArray &reply, int splitDelay);
    bool writeAll(const QByteArray &bytes);
    void applyLineRate(int baudRate);

    mutable QMutex m_mutex;
    Parameters m_parameters;
    quint8 m_writeAnswer = Accepted;
    int m_splitDelay = 0;
    bool m_silent = false;
    bool m_echo = false;
    int m_lineBaudRate = 9600;
    QList<QByteArray> m_frames;

    int m_fd = -1;
    bool m_ownsFd = false;
    // A pseudo-terminal's master keeps no rate of its own: its termios is the other side's.
    bool m_ownsLineRate = false;
    int m_keptSlaveFd = -1;
    QString m_devicePath;
    QString m_error;
    QByteArray m_input;
    QSocketNotifier *m_notifier = nullptr;
};
