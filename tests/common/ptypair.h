#ifndef PTYPAIR_H
#define PTYPAIR_H

// A pseudo-terminal pair standing in for a serial line in tests.
//
// The code under test opens slavePath() with a real QSerialPort; the test, or a
// peer process (lrzsz, the chip simulator) whose stdin/stdout are dup2'ed from
// masterFd(), plays the far end of the line.
//
//     PtyPair pty;
//     QVERIFY2(pty.open(), qPrintable(pty.errorString()));
//     port.setPortName(pty.slavePath());
//     pty.writeMaster("C");
//     const QByteArray reply = pty.readMaster(500);
//
// - The line is raw in both directions: no echo, no line editing, no CR/LF
//   translation, 8 data bits.
// - Both fds are close-on-exec, so a child only gets what is dup2'ed into it.
// - The master stays blocking: a child that inherits it expects blocking reads
//   (O_NONBLOCK would be shared with it). readMaster() polls instead.
// - The pair keeps its own slave fd open until closeSlave(), so the master never
//   sees a hang-up while the port under test is closed and reopened.

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

class PtyPair
{
public:
    PtyPair() = default;
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;
    ~PtyPair() { close(); }

    bool open()
    {
        close();
        int master = -1;
        int slave = -1;
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return fail(QStringLiteral("openpty"));
        m_master = master;
        m_slave = slave;
        m_slavePath = QString::fromLocal8Bit(name);
        if (!makeRaw(m_slave)) {
            fail(QStringLiteral("tcsetattr"));
            close();
            return false;
        }
        if (::fcntl(m_master, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(m_slave, F_SETFD, FD_CLOEXEC) != 0) {
            fail(QStringLiteral("fcntl"));
            close();
            return false;
        }
        return true;
    }

    bool isOpen() const { return m_master >= 0; }
    int masterFd() const { return m_master; }
    int slaveFd() const { return m_slave; }
    QString slavePath() const { return m_slavePath; }
    QString errorString() const { return m_error; }

    void closeSlave()
    {
        if (m_slave >= 0)
            ::close(m_slave);
        m_slave = -1;
    }

    void close()
    {
        closeSlave();
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    // Writes everything, waiting while the line's buffer is full.
    bool writeMaster(const QByteArray &data)
    {
        qint64 done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(m_master, data.constData() + done, static_cast<size_t>(data.size() - done));
            if (n > 0) {
                done += n;
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                return fail(QStringLiteral("write"));
            } else {
                pollfd p{m_master, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
        return true;
    }

    // Waits up to waitMs for the first byte, then returns everything the line
    // holds without blocking. Returns an empty array when nothing arrived.
    QByteArray readMaster(int waitMs = 0)
    {
        QByteArray result;
        int timeout = waitMs;
        for (;;) {
            pollfd p{m_master, POLLIN, 0};
            const int ready = ::poll(&p, 1, timeout);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0 || !(p.revents & POLLIN))
                break;
            char chunk[4096];
            const ssize_t n = ::read(m_master, chunk, sizeof chunk);
            if (n <= 0)
                break;
            result.append(chunk, static_cast<int>(n));
            timeout = 0;
        }
        return result;
    }

    static bool makeRaw(int fd)
    {
        termios tio;
        if (::tcgetattr(fd, &tio) != 0)
            return false;
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        return ::tcsetattr(fd, TCSANOW, &tio) == 0;
    }

private:
    bool fail(const QString &what)
    {
        m_error = what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QString m_error;
};

#endif // PTYPAIR_H
