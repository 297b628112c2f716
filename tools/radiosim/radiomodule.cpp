#include "radiomodule.h"

#include <QMutexLocker>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace {

// Frames are the command byte 0xA0 + n, then n * 16 + 0x0A, then the parameter bytes.
int frameLength(quint8 command)
{
    switch (command) {
    case 0xA6: // read parameters
        return 2;
    case 0xA7: // channel
    case 0xA3: // serial rate code
    case 0xAB: // power code
        return 3;
    case 0xA9: // ID, high byte first
        return 4;
    default:
        return 0;
    }
}

bool isKnownPowerCode(quint8 code)
{
    return code == 0x00 || code == 0x05 || code == 0x07 || code == 0x0A;
}

speed_t speedFor(int baudRate)
{
    switch (baudRate) {
    case 4800:
        return B4800;
    case 19200:
        return B19200;
    default:
        return B9600;
    }
}

bool isPseudoTerminalMaster(int fd)
{
#ifdef TIOCGPTN
    unsigned int number = 0;
    return ::ioctl(fd, TIOCGPTN, &number) == 0;
#else
    return ::ptsname(fd) != nullptr;
#endif
}

QString systemError(const QString &what)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

constexpr qint64 kNsPerMs = 1000000;
// Ten bit times a byte, in nanoseconds times the rate.
constexpr qint64 kByteNsTimesBaud = 10LL * 1000000000LL;

qint64 monotonicNow()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

} // namespace

// --- LineShaper ---

LineShaper::LineShaper(const Shape &shape, int baudRate)
    : m_shape(shape)
    , m_baudRate(baudRate)
{
}

void LineShaper::setShape(const Shape &shape)
{
    m_shape = shape;
}

void LineShaper::setBaudRate(int baudRate)
{
    m_baudRate = baudRate;
}

qint64 LineShaper::byteInAt(qint64 origin, qint64 index, int baudRate)
{
    // In 128 bits: a week of bytes times ten seconds' worth of nanoseconds overflows 64.
    return origin + qint64(__int128(index + 1) * kByteNsTimesBaud / baudRate);
}

qint64 LineShaper::Run::inAt(int i) const
{
    return baudRate > 0 ? byteInAt(origin, firstIndex + i, baudRate) : origin;
}

qint64 LineShaper::lineFreeAt() const
{
    if (m_spellBytes == 0 || m_spellBaudRate == 0)
        return m_spellOrigin;
    return byteInAt(m_spellOrigin, m_spellBytes - 1, m_spellBaudRate);
}

void LineShaper::queue(qint64 now, const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    Run run;
    run.bytes = bytes;
    if (m_shape.paced) {
        // A new spell when the line has gone quiet or its rate has changed; otherwise the bytes
        // follow the last queued ones without a gap.
        const qint64 freeAt = lineFreeAt();
        if (m_spellBaudRate != m_baudRate || m_spellBytes == 0 || freeAt <= now) {
            m_spellOrigin = std::max(now, freeAt);
            m_spellBytes = 0;
            m_spellBaudRate = m_baudRate;
        }
        run.origin = m_spellOrigin;
        run.firstIndex = m_spellBytes;
        run.baudRate = m_spellBaudRate;
        m_spellBytes += bytes.size();
    } else {
        run.origin = now;
    }
    if (m_shape.everyMs > 0 && !m_ticking) {
        m_ticking = true;
        m_tickOrigin = now;
        m_nextTick = 1;
    }
    m_runs.append(run);
    m_pending += bytes.size();
}

qint64 LineShaper::tickAt(qint64 k) const
{
    return m_tickOrigin + k * m_shape.everyMs * kNsPerMs;
}

// Pending bytes in by `t`.
qint64 LineShaper::inBy(qint64 t) const
{
    qint64 count = 0;
    for (const Run &run : m_runs) {
        const int left = run.bytes.size() - run.taken;
        if (run.inAt(run.bytes.size() - 1) <= t) {
            count += left;
            continue;
        }
        // Runs come off the line in order: the first one not wholly in ends the count.
        int lo = run.taken, hi = run.bytes.size() - 1; // the first byte not in lies in [lo, hi]
        while (lo < hi) {
            const int mid = (lo + hi) / 2;
            if (run.inAt(mid) <= t)
                lo = mid + 1;
            else
                hi = mid;
        }
        return count + (lo - run.taken);
    }
    return count;
}

LineShaper::Event LineShaper::next(qint64 *at, qint64 *count) const
{
    if (m_pending == 0)
        return Event::None;
    const auto pendingInAt = [this](qint64 j) {
        for (const Run &run : m_runs) {
            const int left = run.bytes.size() - run.taken;
            if (j < left)
                return run.inAt(run.taken + int(j));
            j -= left;
        }
        return qint64(-1);
    };
    const int n = m_shape.pieceSize;
    Event event = Event::None;
    if (n > 0 && m_pending >= n) {
        event = Event::Piece;
        *at = pendingInAt(n - 1);
        *count = n;
    } else if (n > 0 && m_shape.everyMs == 0) {
        event = Event::Quiet;
        *at = pendingInAt(m_pending - 1);
        *count = m_pending;
    } else if (n == 0 && m_shape.everyMs == 0) {
        const Run &first = m_runs.constFirst();
        event = Event::RunEnd;
        *at = first.inAt(first.bytes.size() - 1);
        *count = first.bytes.size() - first.taken;
    }
    if (m_shape.everyMs > 0) {
        // The first tick, not used yet, at which the first pending byte is in.
        const qint64 firstIn = pendingInAt(0);
        const qint64 step = m_shape.everyMs * kNsPerMs;
        const qint64 k = std::max(m_nextTick, (firstIn - m_tickOrigin + step - 1) / step);
        const qint64 tick = tickAt(k);
        if (event == Event::None || tick < *at) {
            event = Event::Tick;
            *at = tick;
            *count = inBy(tick);
            if (n > 0)
                *count = std::min<qint64>(*count, n);
        }
    }
    return event;
}

qint64 LineShaper::nextDue() const
{
    qint64 at = -1, count = 0;
    return next(&at, &count) == Event::None ? -1 : at;
}

QList<QByteArray> LineShaper::takeDue(qint64 now)
{
    QList<QByteArray> pieces;
    for (;;) {
        qint64 at = 0, count = 0;
        const Event event = next(&at, &count);
        if (event == Event::None || at > now)
            break;
        if (event == Event::Tick) {
            const qint64 step = m_shape.everyMs * kNsPerMs;
            m_nextTick = (at - m_tickOrigin) / step + 1;
        }
        QByteArray piece;
        piece.reserve(int(count));
        while (count > 0) {
            Run &run = m_runs.first();
            const int take = int(std::min<qint64>(count, run.bytes.size() - run.taken));
            piece.append(run.bytes.constData() + run.taken, take);
            run.taken += take;
            count -= take;
            if (run.taken == run.bytes.size())
                m_runs.removeFirst();
        }
        m_pending -= piece.size();
        pieces.append(piece);
    }
    return pieces;
}

RadioModule::RadioModule(QObject *parent)
    : QObject(parent)
{
}

RadioModule::~RadioModule()
{
    delete m_notifier;
    delete m_timerNotifier;
    delete m_writeNotifier;
    if (m_timerFd >= 0)
        ::close(m_timerFd);
    if (m_ownsFd && m_fd >= 0)
        ::close(m_fd);
    if (m_keptSlaveFd >= 0)
        ::close(m_keptSlaveFd);
}

bool RadioModule::openPseudoTerminal()
{
    int master = -1;
    int slave = -1;
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        m_error = systemError(QStringLiteral("cannot create a pseudo-terminal"));
        return false;
    }
    // Raw from the start, so that nothing the other side sends is echoed or translated before it
    // has set the line itself.
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    // Holding the slave open keeps the master readable without end-of-file while the other program
    // closes and reopens its side (as it does when it changes its rate).
    m_keptSlaveFd = slave;
    m_devicePath = QString::fromLocal8Bit(name);
    return startOn(master, true, false);
}

bool RadioModule::openDevice(const QString &path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        m_error = systemError(QStringLiteral("cannot open %1").arg(path));
        return false;
    }
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        m_error = systemError(QStringLiteral("%1 is not a serial device").arg(path));
        ::close(fd);
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS);
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    ::tcsetattr(fd, TCSANOW, &t);
    m_devicePath = path;
    return startOn(fd, true, !isPseudoTerminalMaster(fd));
}

bool RadioModule::attach(int fd)
{
    if (fd < 0 || !::isatty(fd)) {
        m_error = QStringLiteral("not a terminal descriptor");
        return false;
    }
    return startOn(fd, false, !isPseudoTerminalMaster(fd));
}

bool RadioModule::startOn(int fd, bool owned, bool ownsLineRate)
{
    m_fd = fd;
    m_ownsFd = owned;
    m_ownsLineRate = ownsLineRate;
    ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    applyLineRate(baudRateForCode(parameters().baudCode));
    m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &RadioModule::readLine);
    if (isShaping()) {
        m_timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (m_timerFd < 0) {
            m_error = systemError(QStringLiteral("cannot create a timer"));
            return false;
        }
        m_timerNotifier = new QSocketNotifier(m_timerFd, QSocketNotifier::Read, this);
        connect(m_timerNotifier, &QSocketNotifier::activated, this, [this] {
            quint64 expirations = 0;
            while (::read(m_timerFd, &expirations, sizeof expirations) > 0) {
            }
            deliverDue();
        });
        m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
        m_writeNotifier->setEnabled(false);
        connect(m_writeNotifier, &QSocketNotifier::activated, this, &RadioModule::writeBacklog);
        if (m_stream)
            deliverDue();
    }
    return true;
}

QString RadioModule::devicePath() const
{
    return m_devicePath;
}

QString RadioModule::errorString() const
{
    return m_error;
}

RadioModule::Parameters RadioModule::parameters() const
{
    QMutexLocker lock(&m_mutex);
    return m_parameters;
}

void RadioModule::setParameters(const Parameters &parameters)
{
    QMutexLocker lock(&m_mutex);
    m_parameters = parameters;
}

void RadioModule::setWriteAnswer(quint8 answer)
{
    QMutexLocker lock(&m_mutex);
    m_writeAnswer = answer;
}

void RadioModule::setSplitDelay(int ms)
{
    QMutexLocker lock(&m_mutex);
    m_splitDelay = ms;
}

void RadioModule::setSilent(bool silent)
{
    QMutexLocker lock(&m_mutex);
    m_silent = silent;
}

void RadioModule::setEcho(bool echo)
{
    QMutexLocker lock(&m_mutex);
    m_echo = echo;
}

void RadioModule::setLineShape(const LineShaper::Shape &shape)
{
    m_shaper.setShape(shape);
}

void RadioModule::setStream(bool stream)
{
    m_stream = stream;
}

QByteArray RadioModule::streamBlock()
{
    return QByteArray::fromHex("0102030405060708091011121314");
}

bool RadioModule::isShaping() const
{
    const LineShaper::Shape shape = m_shaper.shape();
    return m_stream || shape.paced || shape.pieceSize > 0 || shape.everyMs > 0;
}

int RadioModule::lineBaudRate() const
{
    QMutexLocker lock(&m_mutex);
    return m_lineBaudRate;
}

QList<QByteArray> RadioModule::frames() const
{
    QMutexLocker lock(&m_mutex);
    return m_frames;
}

int RadioModule::baudRateForCode(quint8 code)
{
    switch (code) {
    case 0x01:
        return 4800;
    case 0x02:
        return 9600;
    case 0x03:
        return 19200;
    default:
        return 0;
    }
}

void RadioModule::readLine()
{
    bool echo = false;
    {
        QMutexLocker lock(&m_mutex);
        echo = m_echo;
    }
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0) {
            const QByteArray bytes(buffer, int(n));
            // Back at once and in one write, so the other side can get each piece back whole, the way
            // a module in loop-back returns a packet. Kept out of the frame buffer: a loop-back answers
            // nothing, and switching echo off later must not answer what went by meanwhile.
            if (echo)
                output(bytes);
            else if (!m_stream)
                m_input.append(bytes);
            emit received(bytes);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        // End of file or an I/O error: the device is gone. Stop listening, or the notifier would
        // fire forever on a dead descriptor.
        m_notifier->setEnabled(false);
        if (m_timerNotifier) {
            m_timerNotifier->setEnabled(false);
            m_writeNotifier->setEnabled(false);
        }
        emit lineLost();
        return;
    }
    if (!echo && !m_stream)
        takeFrames();
}

void RadioModule::takeFrames()
{
    // Frames may come in pieces or several in one read; anything that cannot start a frame is
    // dropped a byte at a time, so the module finds its feet again after noise on the line.
    while (!m_input.isEmpty()) {
        const auto command = quint8(m_input.at(0));
        const int length = frameLength(command);
        if (length == 0) {
            m_input.remove(0, 1);
            continue;
        }
        if (m_input.size() < 2)
            return;
        const auto expectedSecond = quint8(((command & 0x0F) << 4) | 0x0A);
        if (quint8(m_input.at(1)) != expectedSecond) {
            m_input.remove(0, 1);
            continue;
        }
        if (m_input.size() < length)
            return;
        const QByteArray frame = m_input.left(length);
        m_input.remove(0, length);
        emit frameHandled(frame, answerFrame(frame));
    }
}

QByteArray RadioModule::answerFrame(const QByteArray &frame)
{
    QMutexLocker lock(&m_mutex);
    m_frames.append(frame);
    if (m_silent)
        return {};

    const auto command = quint8(frame.at(0));
    if (command == 0xA6) {
        const Parameters &p = m_parameters;
        QByteArray reply;
        reply.append(char(0xA6));
        reply.append(char(p.channel));
        reply.append(char(p.channelRateCode));
        reply.append(char(p.baudCode));
        reply.append(char(p.powerCode));
        reply.append(char(p.id >> 8));
        reply.append(char(p.id & 0xFF));
        const int splitDelay = m_splitDelay;
        lock.unlock();
        sendReply(reply, splitDelay);
        return reply;
    }

    const auto value = quint8(frame.at(2));
    quint8 answer = m_writeAnswer;
    int newLineRate = 0;
    if (answer == Accepted) {
        switch (command) {
        case 0xA7:
            m_parameters.channel = value;
            break;
        case 0xA9:
            m_parameters.id = quint16((value << 8) | quint8(frame.at(3)));
            break;
        case 0xA3:
            if (baudRateForCode(value) == 0) {
                answer = Refused;
            } else {
                m_parameters.baudCode = value;
                newLineRate = baudRateForCode(value);
            }
            break;
        case 0xAB:
            if (isKnownPowerCode(value))
                m_parameters.powerCode = value;
            else
                answer = Refused;
            break;
        }
    }
    lock.unlock();

    QByteArray reply(1, char(answer));
    output(reply);
    // The acknowledgement still goes out at the old rate; only then does the line change.
    if (newLineRate != 0)
        applyLineRate(newLineRate);
    return reply;
}

void RadioModule::sendReply(const QByteArray &reply, int splitDelay)
{
    if (splitDelay <= 0) {
        output(reply);
        return;
    }
    output(reply.left(3));
    const QByteArray rest = reply.mid(3);
    QTimer::singleShot(splitDelay, this, [this, rest] { output(rest); });
}

bool RadioModule::writeAll(const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(m_fd, data, size_t(left));
        if (n > 0) {
            data += n;
            left -= n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            // The other side is not reading; give it a moment rather than spinning.
            pollfd p{m_fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) > 0)
                continue;
        }
        return false;
    }
    return true;
}

void RadioModule::output(const QByteArray &bytes)
{
    if (m_timerFd < 0) {
        writeAll(bytes);
        return;
    }
    m_shaper.queue(monotonicNow(), bytes);
    deliverDue();
}

void RadioModule::deliverDue()
{
    const qint64 now = monotonicNow();
    for (const QByteArray &piece : m_shaper.takeDue(now))
        handOver(piece);
    if (m_stream) {
        // A quarter of a second of line time ahead, and a piece more, so that the line never runs
        // dry between two wake-ups.
        const qint64 ahead = m_shaper.shape().pieceSize + lineBaudRate() / 10 / 4;
        while (m_shaper.pending() < ahead)
            m_shaper.queue(now, streamBlock());
    }
    if (m_deferredTermiosRate != 0 && m_shaper.pending() == 0 && m_backlog.isEmpty()) {
        applyTermiosRate(m_deferredTermiosRate);
        m_deferredTermiosRate = 0;
    }
    itimerspec when{};
    const qint64 due = m_shaper.nextDue();
    if (due >= 0) {
        // Zero would disarm the timer; a piece already due fires at once.
        const qint64 at = std::max<qint64>(due, 1);
        when.it_value.tv_sec = time_t(at / 1000000000LL);
        when.it_value.tv_nsec = long(at % 1000000000LL);
    }
    ::timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &when, nullptr);
}

void RadioModule::handOver(const QByteArray &piece)
{
    if (m_stream)
        dropUnreadStream();
    // Each piece in one write, so that the other side can read it as one.
    if (m_backlog.isEmpty()) {
        ssize_t n = -1;
        do {
            n = ::write(m_fd, piece.constData(), size_t(piece.size()));
        } while (n < 0 && errno == EINTR);
        if (n == piece.size())
            return;
        // Gone rather than full: reading says so; nothing is kept for a line that takes nothing.
        if (n < 0 && errno != EAGAIN)
            return;
        m_backlog = piece.mid(int(std::max<ssize_t>(n, 0)));
    } else {
        m_backlog.append(piece);
    }
    // The other side's buffer is full: the rest goes when it takes more, in order.
    m_writeNotifier->setEnabled(true);
}

void RadioModule::writeBacklog()
{
    while (!m_backlog.isEmpty()) {
        const ssize_t n = ::write(m_fd, m_backlog.constData(), size_t(m_backlog.size()));
        if (n > 0) {
            m_backlog.remove(0, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            m_backlog.clear();
        else
            return;
    }
    m_writeNotifier->setEnabled(false);
    if (m_deferredTermiosRate != 0 && m_shaper.pending() == 0) {
        applyTermiosRate(m_deferredTermiosRate);
        m_deferredTermiosRate = 0;
    }
}

void RadioModule::dropUnreadStream()
{
    // Only on its own pseudo-terminal does the module see the other side's input queue.
    if (m_keptSlaveFd < 0)
        return;
    int unread = 0;
    if (::ioctl(m_keptSlaveFd, FIONREAD, &unread) != 0)
        return;
    const int second = std::max(256, lineBaudRate() / 10);
    if (unread < second && m_backlog.size() < second) {
        m_droppingStream = false;
        return;
    }
    ::tcflush(m_keptSlaveFd, TCIFLUSH);
    m_backlog.clear();
    if (!m_droppingStream)
        std::fprintf(stderr, "talven-radiosim: nobody reads the line; what it does not take is dropped\n");
    m_droppingStream = true;
}

void RadioModule::applyLineRate(int baudRate)
{
    {
        QMutexLocker lock(&m_mutex);
        m_lineBaudRate = baudRate;
    }
    m_shaper.setBaudRate(baudRate);
    // On a pseudo-terminal's master side the termios belongs to the slave, which the other program
    // sets for itself; changing it from here would overwrite its settings.
    if (!m_ownsLineRate)
        return;
    // A shaped line may still hold bytes at the old rate; the rate changes once they are out.
    if (m_timerFd >= 0 && (m_shaper.pending() > 0 || !m_backlog.isEmpty())) {
        m_deferredTermiosRate = baudRate;
        return;
    }
    applyTermiosRate(baudRate);
}

void RadioModule::applyTermiosRate(int baudRate)
{
    termios t{};
    if (::tcgetattr(m_fd, &t) != 0)
        return;
    ::tcdrain(m_fd);
    ::cfsetispeed(&t, speedFor(baudRate));
    ::cfsetospeed(&t, speedFor(baudRate));
    ::tcsetattr(m_fd, TCSANOW, &t);
}
