#include "ymodemreceiver.h"

#include "transcript.h"

#include <QTimer>

namespace {
constexpr char SOH = 0x01;
constexpr char STX = 0x02;
constexpr char EOT = 0x04;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr char CAN = 0x18;
constexpr int stallMs = 1000;
const QByteArray cancelBytes("\x18\x18", 2);
}

YmodemReceiver::YmodemReceiver(QObject *parent)
    : QObject(parent)
    , promptTimer(new QTimer(this))
    , giveUpTimer(new QTimer(this))
    , stallTimer(new QTimer(this))
{
    promptTimer->setInterval(500);
    giveUpTimer->setSingleShot(true);
    stallTimer->setInterval(stallMs);
    connect(promptTimer, &QTimer::timeout, this, &YmodemReceiver::promptTick);
    connect(giveUpTimer, &QTimer::timeout, this, [this] {
        emit violation(QStringLiteral("transfer given up after %1 ms without progress").arg(giveUpMs));
        end(Outcome::TimedOut);
    });
    connect(stallTimer, &QTimer::timeout, this, &YmodemReceiver::stallTick);
}

void YmodemReceiver::setTiming(int cIntervalMs, int giveUp)
{
    promptTimer->setInterval(cIntervalMs);
    giveUpMs = giveUp;
}

void YmodemReceiver::start(bool prompt, const QByteArray &firstPrompt)
{
    stop();
    state = State::WaitHeader;
    file = File();
    expected = 1;
    prompting = prompt;
    junkReported = false;
    giveUpTimer->start(giveUpMs);
    if (prompting) {
        emit output(firstPrompt);
        promptTimer->start();
    }
}

void YmodemReceiver::stop()
{
    state = State::Idle;
    pending.clear();
    promptTimer->stop();
    giveUpTimer->stop();
    stallTimer->stop();
}

QByteArray YmodemReceiver::feed(const QByteArray &bytes)
{
    if (!isActive())
        return bytes;
    const QByteArray work = pending + bytes;
    pending.clear();
    stallTimer->start();
    int pos = 0;
    while (isActive() && pos < work.size()) {
        const char first = work.at(pos);
        if (first == SOH || first == STX) {
            const int length = (first == SOH ? 128 : 1024) + 5;
            if (work.size() - pos < length)
                break;
            const QByteArray packet = work.mid(pos, length);
            pos += length;
            handlePacket(packet);
        } else if (first == EOT) {
            ++pos;
            handleEot();
        } else if (first == CAN) {
            ++pos;
            emit violation(QStringLiteral("transfer cancelled by the host"));
            end(Outcome::HostCancelled);
        } else {
            ++pos;
            if (!junkReported) {
                junkReported = true;
                emit violation(QStringLiteral("unexpected bytes during a transfer"));
            }
        }
    }
    if (isActive()) {
        pending = work.mid(pos);
        return QByteArray();
    }
    return work.mid(pos);
}

void YmodemReceiver::handlePacket(const QByteArray &packet)
{
    const int length = packet.size() - 5;
    const quint8 number = static_cast<quint8>(packet.at(1));
    const quint8 complement = static_cast<quint8>(packet.at(2));
    const QByteArray data = packet.mid(3, length);
    const quint16 crc = static_cast<quint16>((static_cast<quint8>(packet.at(3 + length)) << 8)
                                             | static_cast<quint8>(packet.at(4 + length)));
    if (static_cast<quint8>(~number) != complement) {
        emit violation(QStringLiteral("block %1: complement 0x%2 does not match").arg(number).arg(complement, 2, 16, QLatin1Char('0')));
        emit output(QByteArray(1, NAK));
        return;
    }
    if (crc16(data.constData(), data.size()) != crc) {
        emit violation(QStringLiteral("block %1: bad CRC").arg(number));
        emit output(QByteArray(1, NAK));
        return;
    }
    switch (state) {
    case State::WaitHeader:
    case State::WaitNextHeader:
        if (number != 0) {
            emit violation(QStringLiteral("block %1 where a header was due").arg(number));
            cancel(Outcome::ProtocolError);
            return;
        }
        handleHeader(data);
        return;
    case State::WaitData:
        handleData(number, data);
        return;
    case State::AfterFirstEot:
        emit violation(QStringLiteral("block %1 after EOT").arg(number));
        cancel(Outcome::ProtocolError);
        return;
    case State::Idle:
        return;
    }
}

void YmodemReceiver::handleHeader(const QByteArray &data)
{
    const int nameEnd = data.indexOf('\0');
    if (nameEnd < 0) {
        emit violation(QStringLiteral("header: file name not terminated by NUL"));
        cancel(Outcome::ProtocolError);
        return;
    }
    if (nameEnd == 0) {
        // An empty name closes the batch; some senders leave bytes behind it.
        emit output(QByteArray(1, ACK));
        if (state == State::WaitHeader) {
            emit violation(QStringLiteral("batch closed without a file"));
            end(Outcome::ProtocolError);
        } else {
            end(Outcome::Completed);
        }
        return;
    }
    if (state == State::WaitNextHeader) {
        emit violation(QStringLiteral("a second file in one batch"));
        cancel(Outcome::ProtocolError);
        return;
    }

    // "name NUL size", the size in decimal and ended by NUL or by a blank before the
    // optional fields that other senders add.
    int pos = nameEnd + 1;
    const int digitsStart = pos;
    while (pos < data.size() && data.at(pos) >= '0' && data.at(pos) <= '9')
        ++pos;
    if (pos == digitsStart || pos - digitsStart > 10 || pos >= data.size() || (data.at(pos) != '\0' && data.at(pos) != ' ')) {
        emit violation(QStringLiteral("header: no decimal size ended by NUL after the name"));
        cancel(Outcome::ProtocolError);
        return;
    }
    file.name = QString::fromLatin1(data.left(nameEnd));
    file.size = data.mid(digitsStart, pos - digitsStart).toLongLong();
    QString reason;
    if (acceptHeader && !acceptHeader(file.name, file.size, &reason)) {
        emit violation(reason);
        cancel(Outcome::ChipCancelled);
        return;
    }
    progress();
    promptTimer->stop();
    state = State::WaitData;
    emit output(QByteArrayLiteral("\x06" "C"));
}

void YmodemReceiver::handleData(quint8 number, const QByteArray &data)
{
    if (number == 0 && expected == 1) {
        // The header again: our ACK went astray.
        emit output(QByteArrayLiteral("\x06" "C"));
        return;
    }
    if (number == static_cast<quint8>(expected - 1)) {
        emit output(QByteArray(1, ACK));
        return;
    }
    if (number != static_cast<quint8>(expected)) {
        emit violation(QStringLiteral("block %1 where block %2 was due").arg(number).arg(expected & 0xFF));
        cancel(Outcome::ProtocolError);
        return;
    }
    const ChipFaults::BlockReply reply = blockReply ? blockReply(expected) : ChipFaults::BlockReply::Ack;
    switch (reply) {
    case ChipFaults::BlockReply::Ack:
        progress();
        file.data += data;
        file.blocks.append(data.size());
        file.lastAckUs = Transcript::elapsedUs();
        if (file.firstAckUs < 0)
            file.firstAckUs = file.lastAckUs;
        ++expected;
        emit output(QByteArray(1, ACK));
        return;
    case ChipFaults::BlockReply::Nak:
        emit output(QByteArray(1, NAK));
        return;
    case ChipFaults::BlockReply::Cancel:
        cancel(Outcome::ChipCancelled);
        return;
    case ChipFaults::BlockReply::AbortA:
        emit output(QByteArrayLiteral("A"));
        end(Outcome::ChipCancelled);
        return;
    case ChipFaults::BlockReply::Disconnect:
        end(Outcome::Disconnected);
        return;
    }
}

void YmodemReceiver::handleEot()
{
    switch (state) {
    case State::WaitData:
        // The first EOT is refused, so that a stray EOT byte cannot end the file.
        progress();
        state = State::AfterFirstEot;
        emit output(QByteArray(1, NAK));
        return;
    case State::AfterFirstEot:
        progress();
        if (file.data.size() < file.size) {
            emit violation(QStringLiteral("file \"%1\" ended after %2 of %3 bytes").arg(file.name).arg(file.data.size()).arg(file.size));
            cancel(Outcome::ProtocolError);
            return;
        }
        emit output(QByteArray(1, ACK));
        file.data.truncate(static_cast<int>(file.size));
        emit fileReceived(file);
        state = State::WaitNextHeader;
        emit output(QByteArrayLiteral("C"));
        promptTimer->start();
        return;
    case State::WaitNextHeader:
        emit output(QByteArray(1, ACK));
        return;
    case State::WaitHeader:
    case State::Idle:
        if (!junkReported) {
            junkReported = true;
            emit violation(QStringLiteral("EOT before any header"));
        }
        return;
    }
}

void YmodemReceiver::promptTick()
{
    // A C in the middle of an arriving header would make the sender repeat it.
    if (prompting && pending.isEmpty())
        emit output(QByteArrayLiteral("C"));
}

void YmodemReceiver::stallTick()
{
    if (!pending.isEmpty()) {
        emit violation(QStringLiteral("incomplete block of %1 bytes dropped").arg(pending.size()));
        pending.clear();
    }
    switch (state) {
    case State::WaitData:
        emit output(expected == 1 ? QByteArrayLiteral("C") : QByteArray(1, NAK));
        break;
    case State::AfterFirstEot:
        emit output(QByteArray(1, NAK));
        break;
    default:
        stallTimer->stop();
        break;
    }
}

void YmodemReceiver::progress()
{
    giveUpTimer->start(giveUpMs);
}

void YmodemReceiver::cancel(Outcome outcome)
{
    emit output(cancelBytes);
    end(outcome);
}

void YmodemReceiver::end(Outcome outcome)
{
    if (!isActive())
        return;
    stop();
    emit finished(outcome);
}

quint16 YmodemReceiver::crc16(const char *data, int length)
{
    // CRC-16/XMODEM a byte at a time by shifts alone, not the sender's way: a chip checks every
    // block before its ACK, and this keeps the check to a few instructions a byte.
    quint16 crc = 0;
    for (int i = 0; i < length; ++i) {
        crc = static_cast<quint16>((crc >> 8) | (crc << 8));
        crc ^= static_cast<quint8>(data[i]);
        crc ^= static_cast<quint16>((crc & 0xFF) >> 4);
        crc ^= static_cast<quint16>(crc << 12);
        crc ^= static_cast<quint16>((crc & 0xFF) << 5);
    }
    return crc;
}
