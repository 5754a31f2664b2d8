#ifndef PTYPAIR_H
#define PTYPAIR_H

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

// A pseudo-terminal standing in for a serial line: the code under test opens slavePath() with a
// real QSerialPort, the far end (the test, or a peer process given masterFd()) plays the chip.
// Raw both ways; both fds close-on-exec; the master stays blocking because a child that inherits
// it expects blocking reads; the pair holds the slave open, so the master never sees a hang-up
// while the port under test is closed and reopened.
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
        char name[256] = {};
        if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0)
            return fail("openpty");
        m_slavePath = QString::fromLocal8Bit(name);
        termios tio;
        bool ok = ::tcgetattr(m_slave, &tio) == 0;
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        ok = ok && ::tcsetattr(m_slave, TCSANOW, &tio) == 0
             && ::fcntl(m_master, F_SETFD, FD_CLOEXEC) == 0 && ::fcntl(m_slave, F_SETFD, FD_CLOEXEC) == 0;
        if (!ok) {
            fail("pty setup");
            close();
        }
        return ok;
    }

    int masterFd() const { return m_master; }
    QString slavePath() const { return m_slavePath; }
    QString errorString() const { return m_error; }

    void close()
    {
        for (int *fd : { &m_slave, &m_master }) {
            if (*fd >= 0)
                ::close(*fd);
            *fd = -1;
        }
    }

    // Writes everything; the master blocks while the line's buffer is full.
    bool writeMaster(const QByteArray &data)
    {
        for (qint64 done = 0, n; done < data.size(); done += qMax<qint64>(n, 0))
            if ((n = ::write(m_master, data.constData() + done, static_cast<size_t>(data.size() - done))) < 0 && errno != EINTR)
                return fail("write");
        return true;
    }

    // Takes whatever the line holds, without blocking.
    QByteArray readMaster()
    {
        QByteArray result;
        char chunk[4096];
        pollfd p{ m_master, POLLIN, 0 };
        for (ssize_t n; ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) && (n = ::read(m_master, chunk, sizeof chunk)) > 0;)
            result.append(chunk, static_cast<int>(n));
        return result;
    }

private:
    bool fail(const char *what)
    {
        m_error = QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }

    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QString m_error;
};

#endif // PTYPAIR_H
