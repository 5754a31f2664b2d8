#include "ptylink.h"

#include "linespeed.h"
#include "serialwire.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {
constexpr int readChunk = 4096;

bool makeRaw(int fd)
{
    termios tio;
    if (::tcgetattr(fd, &tio) != 0)
        return false;
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&tio, B115200);
    ::cfsetospeed(&tio, B115200);
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

void setFlags(int fd, bool nonBlocking)
{
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    if (nonBlocking)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}
}

PtyLink::PtyLink(QObject *parent)
    : QObject(parent)
    , fromHost(new SerialWire(this))
    , toHost(new SerialWire(this))
{
    connect(fromHost, &SerialWire::arrived, this, [this](const QByteArray &bytes, int) { arrivedFromHost(bytes); });
    connect(toHost, &SerialWire::arrived, this, &PtyLink::queueForHost);
}

PtyLink::~PtyLink()
{
    close();
}

bool PtyLink::open(const QString &linkPath, QString *error)
{
    close();
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("openpty failed: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    setFlags(master, true);
    setFlags(slave, false);
    if (!makeRaw(slave) || !makeRaw(master)) {
        *error = QStringLiteral("cannot set up %1 raw").arg(QString::fromLocal8Bit(name));
        ::close(master);
        ::close(slave);
        return false;
    }
    const QByteArray linkBytes = QFile::encodeName(linkPath);
    struct stat st;
    if (::lstat(linkBytes.constData(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(linkBytes.constData());
    if (::symlink(name, linkBytes.constData()) != 0) {
        *error = QStringLiteral("cannot create link %1: %2").arg(linkPath, QString::fromLocal8Bit(std::strerror(errno)));
        ::close(master);
        ::close(slave);
        return false;
    }

    masterFd = master;
    slaveFd = slave;
    link = linkPath;
    txQueue.clear();
    fromHost->clear();
    toHost->clear();

    readNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &PtyLink::readMaster);
    writeNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &PtyLink::writeMaster);
    return true;
}

void PtyLink::close()
{
    fromHost->clear();
    toHost->clear();
    // The notifiers may be the very senders whose slot is running now.
    for (QSocketNotifier *notifier : {readNotifier, writeNotifier}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->disconnect(this);
            notifier->deleteLater();
        }
    }
    readNotifier = nullptr;
    writeNotifier = nullptr;
    if (!link.isEmpty()) {
        const QByteArray linkBytes = QFile::encodeName(link);
        struct stat st;
        if (::lstat(linkBytes.constData(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(linkBytes.constData());
    }
    if (masterFd >= 0)
        ::close(masterFd);
    if (slaveFd >= 0)
        ::close(slaveFd);
    masterFd = -1;
    slaveFd = -1;
    txQueue.clear();
}

int PtyLink::hostBaud() const
{
    return readLineSpeed(slaveFd);
}

void PtyLink::send(const QByteArray &bytes)
{
    if (!isOpen() || bytes.isEmpty())
        return;
    if (throttle)
        toHost->push(bytes, chipBaud);
    else
        queueForHost(bytes, chipBaud);
}

void PtyLink::queueForHost(const QByteArray &bytes, int baud)
{
    txQueue.append({bytes, baud});
    writeMaster();
}

void PtyLink::readMaster()
{
    if (!isOpen())
        return;
    char buffer[readChunk];
    const ssize_t got = ::read(masterFd, buffer, sizeof buffer);
    if (got <= 0)
        return;
    const int host = hostBaud();
    const QByteArray bytes(buffer, static_cast<int>(got));
    if (host != chipBaud) {
        emit baudMismatch(bytes.size(), true, host, chipBaud);
    } else if (throttle) {
        fromHost->push(bytes, host);
        // What the host writes beyond a UART's buffer waits in the terminal, as it would in
        // the driver, and goes on the wire right behind the bytes before it.
        if (fromHost->pending() >= readChunk)
            readNotifier->setEnabled(false);
    } else {
        emit received(bytes);
    }
}

void PtyLink::arrivedFromHost(const QByteArray &bytes)
{
    if (readNotifier && fromHost->pending() < readChunk)
        readNotifier->setEnabled(true);
    emit received(bytes);
}

void PtyLink::writeMaster()
{
    while (isOpen() && !txQueue.isEmpty()) {
        Chunk &head = txQueue.first();
        const int host = hostBaud();
        if (host != head.chipBaud) {
            const int dropped = head.bytes.size();
            const int sentAt = head.chipBaud;
            txQueue.removeFirst();
            emit baudMismatch(dropped, false, host, sentAt);
            continue;
        }
        const ssize_t written = ::write(masterFd, head.bytes.constData(), static_cast<size_t>(head.bytes.size()));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            // The host does not read: wait until the line has room again.
            writeNotifier->setEnabled(true);
            return;
        }
        head.bytes.remove(0, static_cast<int>(written));
        if (head.bytes.isEmpty())
            txQueue.removeFirst();
    }
    if (writeNotifier)
        writeNotifier->setEnabled(false);
}
