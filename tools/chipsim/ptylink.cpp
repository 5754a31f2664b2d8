#include "ptylink.h"

#include "linespeed.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

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
    , readResume(new QTimer(this))
    , writeResume(new QTimer(this))
{
    readResume->setSingleShot(true);
    readResume->setTimerType(Qt::PreciseTimer);
    writeResume->setSingleShot(true);
    writeResume->setTimerType(Qt::PreciseTimer);
    connect(readResume, &QTimer::timeout, this, [this] {
        if (readNotifier)
            readNotifier->setEnabled(true);
    });
    connect(writeResume, &QTimer::timeout, this, &PtyLink::writeMaster);
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
    rxBucket = Bucket();
    txBucket = Bucket();
    rxBucket.clock.start();
    txBucket.clock.start();

    readNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Read, this);
    connect(readNotifier, &QSocketNotifier::activated, this, &PtyLink::readMaster);
    writeNotifier = new QSocketNotifier(masterFd, QSocketNotifier::Write, this);
    writeNotifier->setEnabled(false);
    connect(writeNotifier, &QSocketNotifier::activated, this, &PtyLink::writeMaster);
    return true;
}

void PtyLink::close()
{
    readResume->stop();
    writeResume->stop();
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
    txQueue.append({bytes, chipBaud});
    writeMaster();
}

int PtyLink::bytesPerSecond() const
{
    const int baud = hostBaud();
    return baud > 0 ? baud / 10 : 11520;
}

// Adds the credit earned since the last refill, capped at a 20 ms burst, and returns the cap.
qint64 PtyLink::refill(Bucket &bucket) const
{
    const int rate = bytesPerSecond();
    const qint64 cap = qMax<qint64>(16, rate / 50);
    bucket.credit += bucket.clock.nsecsElapsed() * 1e-9 * rate;
    bucket.clock.restart();
    if (bucket.credit > cap)
        bucket.credit = static_cast<double>(cap);
    return cap;
}

int PtyLink::msUntilCredit(const Bucket &bucket, double wanted) const
{
    const double missing = wanted - bucket.credit;
    return qMax(1, static_cast<int>(missing * 1000.0 / bytesPerSecond() + 0.999));
}

void PtyLink::readMaster()
{
    if (!isOpen())
        return;
    int allowed = readChunk;
    qint64 cap = 0;
    if (throttle) {
        cap = refill(rxBucket);
        allowed = qMin(readChunk, static_cast<int>(rxBucket.credit));
        if (allowed < 1) {
            readNotifier->setEnabled(false);
            readResume->start(msUntilCredit(rxBucket, qMin<qint64>(cap, 32)));
            return;
        }
    }
    char buffer[readChunk];
    const ssize_t got = ::read(masterFd, buffer, static_cast<size_t>(allowed));
    if (got <= 0)
        return;
    if (throttle)
        rxBucket.credit -= got;

    const int host = hostBaud();
    const QByteArray bytes(buffer, static_cast<int>(got));
    if (host != chipBaud)
        emit baudMismatch(bytes.size(), true, host, chipBaud);
    else
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
        int allowed = head.bytes.size();
        if (throttle) {
            const qint64 cap = refill(txBucket);
            allowed = qMin(allowed, static_cast<int>(txBucket.credit));
            if (allowed < 1) {
                writeResume->start(msUntilCredit(txBucket, qMin<qint64>(cap, qMin(32, head.bytes.size()))));
                return;
            }
        }
        const ssize_t written = ::write(masterFd, head.bytes.constData(), static_cast<size_t>(allowed));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            // The host does not read: wait until the line has room again.
            writeNotifier->setEnabled(true);
            return;
        }
        if (throttle)
            txBucket.credit -= written;
        head.bytes.remove(0, static_cast<int>(written));
        if (head.bytes.isEmpty())
            txQueue.removeFirst();
    }
    if (writeNotifier)
        writeNotifier->setEnabled(false);
}
