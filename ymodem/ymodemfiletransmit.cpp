#include "ymodemfiletransmit.h"

#include <QFile>
#include <QFileInfo>
#include <QMetaType>
#include <QSerialPort>
#include <QTimer>
#include <QVector>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// What the chip's loader answers to a line it does not understand: the chip is
// reading commands, not a transfer.
const QByteArray REFUSAL_TEXT = QByteArrayLiteral("unknown cmd!");

// Garbage a receiver at another line speed produces.
constexpr char WRONG_SPEED_ZERO = '\x00';
constexpr char WRONG_SPEED_HIGH = '\x80';

constexpr int NAME_HEAD_LENGTH = 10;
constexpr int NAME_TAIL_LENGTH = 20;
const QString NAME_ELISION = QStringLiteral("-xxx-");

} // namespace

YmodemFileTransmit::YmodemFileTransmit(QObject *parent)
    : QObject(parent), Ymodem(499, 5, 999), file(new QFile)
{
    qRegisterMetaType<YmodemFileTransmit::Status>();
    // 200 steps of 5 ms between resends, failure after three silent intervals.
    setTickDivisor(199);
    setTimeoutLimit(2);
    setErrorLimit(999);
    // The divisor counts 5 ms steps; the clock reads microseconds.
    setClockUnitsPerTick(STEP_INTERVAL_MS * 1000);
    clock.start();
}

YmodemFileTransmit::~YmodemFileTransmit()
{
    if (file->isOpen())
        file->close();
    delete file;
    delete readTimer;
    delete writeTimer;
}

void YmodemFileTransmit::setFileName(const QString &name)
{
    file->setFileName(name);
}

void YmodemFileTransmit::setSerialPort(QSerialPort *port)
{
    if (port != serialPort)
        disconnect(lineConnection);
    serialPort = port;
}

bool YmodemFileTransmit::startTransmit()
{
    progress = 0;
    status = STATUS_ESTABLISHING;
    recentInput.clear();
    createTimers();

    if (!serialPort)
        return false;
    if (!serialPort->isOpen())
        serialPort->open(QIODevice::ReadWrite);
    if (!serialPort->isOpen())
        return false;

    // The reply to a block moves the transfer on at once: waiting for the next tick
    // would idle the line for half a step on every block.
    disconnect(lineConnection);
    lineConnection = connect(serialPort, &QIODevice::readyRead, this, &YmodemFileTransmit::lineReadable);
    readTimer->start(STEP_INTERVAL_MS);
    return true;
}

void YmodemFileTransmit::stopTransmit()
{
    file->close();
    abort();
    createTimers();
    stopStepping();
    status = STATUS_ABORTED;
    writeTimer->start(STATUS_DELAY_MS);
}

int YmodemFileTransmit::transmitProgress() const
{
    return progress;
}

YmodemFileTransmit::Status YmodemFileTransmit::transmitStatus() const
{
    return status;
}

void YmodemFileTransmit::readTimeOut()
{
    readTimer->stop();
    transmit();
    if (status == STATUS_ESTABLISHING || status == STATUS_TRANSMITTING)
        readTimer->start(STEP_INTERVAL_MS);
}

void YmodemFileTransmit::lineReadable()
{
    if (!portReady())
        return;
    // One step takes at most one reply byte and a packet's worth at the most, so the
    // bytes waiting bound the steps.
    for (qint64 steps = serialPort->bytesAvailable() + 1;
         steps > 0 && serialPort->bytesAvailable() > 0
         && (status == STATUS_ESTABLISHING || status == STATUS_TRANSMITTING);
         --steps) {
        transmit();
    }
    // The step timer only stands in for a silent receiver: while replies keep coming it
    // need not wake the thread on every block as well.
    if (readTimer->isActive())
        readTimer->start(STEP_INTERVAL_MS);
}

void YmodemFileTransmit::writeTimeOut()
{
    writeTimer->stop();
    emit sigTransmitStatus(status);
}

uint32_t YmodemFileTransmit::handleEvent(uint32_t event, uint8_t *buffer, uint32_t *length)
{
    switch (event) {
    case EVENT_ESTABLISH:
        return establish(buffer, length);
    case EVENT_TRANSMIT:
        return transmitBlock(buffer, length);
    case EVENT_FINISH:
        finish(STATUS_FINISHED);
        return ACK;
    case EVENT_ABORT:
        finish(STATUS_ABORTED);
        return CAN;
    case EVENT_TIMEOUT:
        finish(STATUS_TIMED_OUT);
        return CAN;
    default:
        finish(STATUS_ERROR);
        return CAN;
    }
}

uint32_t YmodemFileTransmit::readBytes(uint8_t *buffer, uint32_t length)
{
    if (!portReady())
        return 0;
    const qint64 count = serialPort->read(reinterpret_cast<char *>(buffer), length);
    if (count <= 0)
        return 0;
    recentInput.append(reinterpret_cast<const char *>(buffer), static_cast<int>(count));
    const int keep = REFUSAL_TEXT.size() - 1;
    if (recentInput.size() > keep)
        recentInput.remove(0, recentInput.size() - keep);
    return static_cast<uint32_t>(count);
}

uint32_t YmodemFileTransmit::writeBytes(uint8_t *buffer, uint32_t length)
{
    if (!portReady())
        return 0;
    const char *bytes = reinterpret_cast<const char *>(buffer);
    // Straight to the line while nothing waits in the port's own buffer: the buffered way
    // arms and disarms a write notifier for every block, two more rounds of the event loop
    // per block on every port. What the line does not take at once goes the buffered way.
    qint64 direct = 0;
    if (serialPort->bytesToWrite() == 0 && serialPort->handle() >= 0) {
        do
            direct = ::write(serialPort->handle(), bytes, length);
        while (direct < 0 && errno == EINTR);
        direct = qMax<qint64>(direct, 0);
    }
    if (direct == length)
        return length;
    const qint64 count = serialPort->write(bytes + direct, length - direct);
    serialPort->flush();
    return count > 0 ? static_cast<uint32_t>(direct + count) : static_cast<uint32_t>(direct);
}

uint64_t YmodemFileTransmit::clockNow()
{
    return static_cast<uint64_t>(clock.nsecsElapsed() / 1000);
}

bool YmodemFileTransmit::isPeerRefusing()
{
    if (!portReady())
        return false;
    const QByteArray seen = recentInput + serialPort->peek(serialPort->bytesAvailable());
    return seen.contains(REFUSAL_TEXT) || seen.contains(WRONG_SPEED_ZERO) || seen.contains(WRONG_SPEED_HIGH);
}

uint32_t YmodemFileTransmit::establish(uint8_t *buffer, uint32_t *length)
{
    if (file->isOpen())
        file->close();
    if (!buffer || !length || !file->open(QIODevice::ReadOnly)) {
        finish(STATUS_ERROR);
        return CAN;
    }
    fileSize = file->size();
    fileCount = 0;

    // name NUL size NUL, all within the 128-byte header block
    const QByteArray size = QByteArray::number(fileSize);
    const QByteArray name = headerFileName(static_cast<int>(SHORT_BLOCK_SIZE) - 2 - size.size());
    char *out = reinterpret_cast<char *>(buffer);
    std::memcpy(out, name.constData(), static_cast<size_t>(name.size()));
    out[name.size()] = '\0';
    std::memcpy(out + name.size() + 1, size.constData(), static_cast<size_t>(size.size()));
    out[name.size() + 1 + size.size()] = '\0';
    *length = SHORT_BLOCK_SIZE;

    status = STATUS_ESTABLISHING;
    emit sigTransmitStatus(STATUS_ESTABLISHING);
    return ACK;
}

uint32_t YmodemFileTransmit::transmitBlock(uint8_t *buffer, uint32_t *length)
{
    if (fileCount >= fileSize) {
        status = STATUS_TRANSMITTING;
        emit sigTransmitStatus(STATUS_TRANSMITTING);
        return EOT;
    }
    if (!buffer || !length) {
        finish(STATUS_ERROR);
        return CAN;
    }

    // Only a remainder that fits a short block travels in one; the rest go in
    // long blocks unless the loader asked for short ones.
    const qint64 remaining = fileSize - fileCount;
    const uint32_t blockSize =
            (remaining <= SHORT_BLOCK_SIZE || blockMode() == 0) ? SHORT_BLOCK_SIZE : LONG_BLOCK_SIZE;
    // Never past the size announced in the header, even if the file has grown.
    const qint64 count = file->read(reinterpret_cast<char *>(buffer), qMin<qint64>(blockSize, remaining));
    if (count <= 0) {
        // The file shrank or became unreadable: cancel instead of padding the
        // announced size with zeros.
        finish(STATUS_ERROR);
        return CAN;
    }
    *length = blockSize;
    fileCount += count;
    progress = static_cast<int>(static_cast<quint64>(fileCount) * 100 / static_cast<quint64>(fileSize));

    status = STATUS_TRANSMITTING;
    emit sigTransmitProgress(progress);
    emit sigTransmitStatus(STATUS_TRANSMITTING);
    return ACK;
}

void YmodemFileTransmit::finish(Status finalStatus)
{
    if (file->isOpen())
        file->close();
    status = finalStatus;
    createTimers();
    stopStepping();
    writeTimer->start(STATUS_DELAY_MS);
}

// After the transfer the owner reads the line again.
void YmodemFileTransmit::stopStepping()
{
    readTimer->stop();
    disconnect(lineConnection);
}

void YmodemFileTransmit::createTimers()
{
    if (!readTimer) {
        readTimer = new QTimer;
        readTimer->setTimerType(Qt::PreciseTimer);
    }
    if (!writeTimer) {
        writeTimer = new QTimer;
        writeTimer->setTimerType(Qt::PreciseTimer);
    }
    connect(readTimer, &QTimer::timeout, this, &YmodemFileTransmit::readTimeOut, Qt::UniqueConnection);
    connect(writeTimer, &QTimer::timeout, this, &YmodemFileTransmit::writeTimeOut, Qt::UniqueConnection);
}

bool YmodemFileTransmit::portReady() const
{
    return serialPort && serialPort->isOpen();
}

// Names over 30 characters keep their first 10 and last 20 characters; a name
// whose encoding still does not fit is shortened by whole characters from the end.
QByteArray YmodemFileTransmit::headerFileName(int maxBytes) const
{
    QVector<uint> chars = QFileInfo(file->fileName()).fileName().toUcs4();
    if (chars.size() > MAX_HEADER_NAME_LENGTH)
        chars = chars.mid(0, NAME_HEAD_LENGTH) + NAME_ELISION.toUcs4() + chars.mid(chars.size() - NAME_TAIL_LENGTH);

    QByteArray encoded = QString::fromUcs4(chars.constData(), chars.size()).toLocal8Bit();
    while (encoded.size() > maxBytes && !chars.isEmpty()) {
        chars.removeLast();
        encoded = QString::fromUcs4(chars.constData(), chars.size()).toLocal8Bit();
    }
    return encoded;
}
