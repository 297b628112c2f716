#pragma once

// Shared helpers of the serial tests: a real pseudo-terminal pair, and a catcher for modal boxes.

#include <QAbstractButton>
#include <QApplication>
#include <QByteArray>
#include <QDeadlineTimer>
#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// A pseudo-terminal pair. The program opens slavePath() as its serial device; the test plays the
// far end of the line on the master side. The pair keeps its own slave descriptor open, so that
// the line stays up whatever the program does, and so its termios can be read.
class PtyPair {
public:
    PtyPair()
    {
        char name[128] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0) {
            m_slavePath = QString::fromLocal8Bit(name);
            ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
            // Raw on both sides, so no byte is translated or echoed before the program sets the line.
            termios t{};
            ::tcgetattr(m_slave, &t);
            ::cfmakeraw(&t);
            ::tcsetattr(m_slave, TCSANOW, &t);
        }
    }
    ~PtyPair()
    {
        closeMaster();
        if (m_slave >= 0)
            ::close(m_slave);
    }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0 && m_slave >= 0; }
    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    // What the program wrote so far; processes events meanwhile (the port writes from the event loop).
    QByteArray readAvailable()
    {
        QApplication::processEvents();
        QByteArray out;
        char buf[4096];
        for (;;) {
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, int(n));
        }
        return out;
    }

    // Reads until `count` bytes have come or `timeoutMs` has passed, keeping the event loop running.
    QByteArray read(int count, int timeoutMs = 3000)
    {
        QByteArray out;
        QDeadlineTimer deadline(timeoutMs);
        while (out.size() < count && !deadline.hasExpired()) {
            out += readAvailable();
            if (out.size() < count)
                QApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return out;
    }

    // Waits `ms` with the event loop running and returns everything the program wrote meanwhile.
    QByteArray drain(int ms)
    {
        QByteArray out;
        QDeadlineTimer deadline(ms);
        while (!deadline.hasExpired()) {
            out += readAvailable();
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        return out + readAvailable();
    }

    bool write(const QByteArray &bytes)
    {
        const char *p = bytes.constData();
        qint64 left = bytes.size();
        while (left > 0) {
            const ssize_t n = ::write(m_master, p, size_t(left));
            if (n < 0 && errno != EAGAIN && errno != EINTR)
                return false;
            if (n > 0) {
                p += n;
                left -= n;
            }
        }
        return true;
    }

    // The line settings as the program left them (speed, 8N1, flow control).
    termios slaveTermios() const
    {
        termios t{};
        ::tcgetattr(m_slave, &t);
        return t;
    }

    // Holds the program's output in the driver, as a line held by flow control would (tcflow).
    void holdOutput(bool hold) { ::tcflow(m_slave, hold ? TCOOFF : TCOON); }
    // Received bytes the program has not taken from the driver yet.
    int unreadByProgram() const
    {
        int bytes = 0;
        ::ioctl(m_slave, TIOCINQ, &bytes);
        return bytes;
    }

    // Pulls the cable: the far end goes away.
    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
};

// Closes every modal message box as soon as it shows, recording its title and text. Keeps the
// tests from hanging on QMessageBox::warning/about, which run their own event loop.
class ModalCatcher {
public:
    struct Box {
        QString title;
        QString text;
        int buttonCount;
    };

    ModalCatcher()
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            boxes.append({box->windowTitle(), box->text(), box->buttons().size()});
            box->done(QMessageBox::Ok);
        });
        m_timer.start(10);
    }

    QVector<Box> boxes;

private:
    QTimer m_timer;
};
