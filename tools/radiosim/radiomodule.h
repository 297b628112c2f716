#pragma once

#include <QByteArray>
#include <QList>
#include <QVector>
#include <QMutex>
#include <QObject>
#include <QString>

class QSocketNotifier;

// What the far end's line and the USB adapter in front of it do to bytes in time. Bytes queued for
// the line come off it one by one at the line's rate (ten bit times a byte: start, eight data bits,
// stop), and the adapter hands them to the computer in pieces: a piece of `pieceSize` bytes as soon
// as that many have come in, and, with `everyMs`, whatever has come in at each tick of its latency
// timer (an FTDI adapter's default is 16 ms). With neither, each queued run of bytes is handed over
// whole when its last byte is in; with a piece size but no timer, the rest when the line falls quiet.
//
// Pure bookkeeping on nanosecond times the caller passes (a monotonic clock's), so that it can be
// checked without waiting. Every hand-over time is computed from the start of the line's busy spell,
// never by adding up intervals, so a run of days keeps to the line's rate to the nanosecond.
class LineShaper {
public:
    struct Shape {
        // Bytes take their time on the line; otherwise they are all in as soon as queued.
        bool paced = false;
        // Bytes a piece holds at most; 0 for no limit.
        int pieceSize = 0;
        // The adapter's latency timer; 0 for none.
        int everyMs = 0;
    };

    LineShaper() = default;
    LineShaper(const Shape &shape, int baudRate);

    void setShape(const Shape &shape);
    Shape shape() const { return m_shape; }
    // Bytes queued later go at this rate; those already queued keep theirs.
    void setBaudRate(int baudRate);

    // Bytes handed to the line at `now`.
    void queue(qint64 now, const QByteArray &bytes);
    // The pieces due by `now`, in order; each is one hand-over to the computer.
    QList<QByteArray> takeDue(qint64 now);
    // When the next piece is due; -1 when nothing is queued.
    qint64 nextDue() const;
    // Bytes queued and not handed over yet.
    qint64 pending() const { return m_pending; }
    // The time the line has sent everything queued (now or earlier when it is idle).
    qint64 lineFreeAt() const;

    // The time byte `index` (counted from the start of a busy spell at `origin`) is in, at `baudRate`.
    static qint64 byteInAt(qint64 origin, qint64 index, int baudRate);

private:
    struct Run {
        QByteArray bytes;
        int taken = 0;
        qint64 origin = 0;
        qint64 firstIndex = 0;
        int baudRate = 0; // 0: not paced, all in at `origin`
        qint64 inAt(int i) const;
    };
    enum class Event { None, Piece, RunEnd, Quiet, Tick };
    // The next hand-over: when, what kind, and how many bytes it takes.
    Event next(qint64 *at, qint64 *count) const;
    qint64 inBy(qint64 t) const;
    qint64 tickAt(qint64 k) const;

    Shape m_shape;
    int m_baudRate = 9600;
    QVector<Run> m_runs;
    qint64 m_pending = 0;
    // The current busy spell of the line: its start and the bytes queued in it so far.
    qint64 m_spellOrigin = 0;
    qint64 m_spellBytes = 0;
    int m_spellBaudRate = 0;
    // The latency timer's grid and the next tick not yet used.
    bool m_ticking = false;
    qint64 m_tickOrigin = 0;
    qint64 m_nextTick = 1;
};

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

    // How the module's output comes out on the line: paced and in pieces (see LineShaper). Set it
    // before the module is opened; the default hands every write over at once, as it is made.
    void setLineShape(const LineShaper::Shape &shape);
    // A module that reports on its own: it sends the 14 bytes 01 02 .. 09 10 11 12 13 14 (the send
    // box's start text, as hex) over and over, as fast as its line goes, and answers nothing. Needs a
    // paced line. On its own pseudo-terminal it drops what the other side has left unread for a
    // second, as a line with nobody listening loses it, so that a program opening the device later
    // is not handed a backlog.
    void setStream(bool stream);
    static QByteArray streamBlock();

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
    bool isShaping() const;
    // Everything the module sends goes through here.
    void output(const QByteArray &bytes);
    // Hands over what is due, tops up the stream and sets the timer for the next piece.
    void deliverDue();
    void handOver(const QByteArray &piece);
    void writeBacklog();
    void dropUnreadStream();
    void applyTermiosRate(int baudRate);

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

    LineShaper m_shaper;
    bool m_stream = false;
    // A timerfd on the monotonic clock: QTimer counts whole milliseconds, and a 19,200-baud line
    // hands over a byte every 0.52 ms.
    int m_timerFd = -1;
    QSocketNotifier *m_timerNotifier = nullptr;
    // Pieces due while the other side's buffer was full, in order; written when it takes them.
    QByteArray m_backlog;
    QSocketNotifier *m_writeNotifier = nullptr;
    // A rate change waits until the last byte at the old rate is out.
    int m_deferredTermiosRate = 0;
    bool m_droppingStream = false;
};
