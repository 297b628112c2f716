#include "radiomodule.h"

#include <QMutexLocker>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

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

} // namespace

RadioModule::RadioModule(QObject *parent)
    : QObject(parent)
{
}

RadioModule::~RadioModule()
{
    delete m_notifier;
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
                writeAll(bytes);
            else
                m_input.append(bytes);
            emit received(bytes);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        // End of file or an I/O error: the device is gone. Stop listening, or the notifier would
        // fire forever on a dead descriptor.
        m_notifier->setEnabled(false);
        emit lineLost();
        return;
    }
    if (!echo)
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
    writeAll(reply);
    // The acknowledgement still goes out at the old rate; only then does the line change.
    if (newLineRate != 0)
        applyLineRate(newLineRate);
    return reply;
}

void RadioModule::sendReply(const QByteArray &reply, int splitDelay)
{
    if (splitDelay <= 0) {
        writeAll(reply);
        return;
    }
    writeAll(reply.left(3));
    const QByteArray rest = reply.mid(3);
    QTimer::singleShot(splitDelay, this, [this, rest] { writeAll(rest); });
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

void RadioModule::applyLineRate(int baudRate)
{
    {
        QMutexLocker lock(&m_mutex);
        m_lineBaudRate = baudRate;
    }
    // On a pseudo-terminal's master side the termios belongs to the slave, which the other program
    // sets for itself; changing it from here would overwrite its settings.
    if (!m_ownsLineRate)
        return;
    termios t{};
    if (::tcgetattr(m_fd, &t) != 0)
        return;
    ::tcdrain(m_fd);
    ::cfsetispeed(&t, speedFor(baudRate));
    ::cfsetospeed(&t, speedFor(baudRate));
    ::tcsetattr(m_fd, TCSANOW, &t);
}
