#ifndef YMODEMRECEIVER_H
#define YMODEMRECEIVER_H

#include "chipfaults.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class QTimer;

// The chip's side of one YMODEM batch: prompts with C, checks every block (CRC-16,
// block numbers, complements, header layout) and hands over the file truncated to the
// size its header announced.
class YmodemReceiver : public QObject
{
    Q_OBJECT

public:
    enum class Outcome { Completed, HostCancelled, ChipCancelled, TimedOut, ProtocolError, Disconnected };

    struct File {
        QString name;
        qint64 size = 0;
        QByteArray data;
        QList<int> blocks;
        // When the first and the last data block were acknowledged (Transcript::elapsedUs).
        qint64 firstAckUs = -1;
        qint64 lastAckUs = -1;
    };

    explicit YmodemReceiver(QObject *parent = nullptr);

    void setTiming(int cIntervalMs, int giveUpMs);

    // Decides on a header before it is acknowledged; returns false with a reason to refuse it.
    std::function<bool(const QString &name, qint64 size, QString *reason)> acceptHeader;
    // The reply to data block k (1-based, counted over the whole file); plain ACK when unset.
    std::function<ChipFaults::BlockReply(int k)> blockReply;

    // Starts waiting for a header. Without prompting no C is sent at all; firstPrompt
    // replaces the first C.
    void start(bool prompt, const QByteArray &firstPrompt = QByteArrayLiteral("C"));
    void stop();
    bool isActive() const { return state != State::Idle; }

    // Takes bytes from the line; returns those that arrived after the batch ended, which
    // belong to the command dialogue again.
    QByteArray feed(const QByteArray &bytes);

    static quint16 crc16(const char *data, int length);

signals:
    void output(const QByteArray &bytes);
    void violation(const QString &what);
    void fileReceived(const YmodemReceiver::File &file);
    void finished(YmodemReceiver::Outcome outcome);

private:
    enum class State { Idle, WaitHeader, WaitData, AfterFirstEot, WaitNextHeader };

    void handlePacket(const QByteArray &packet);
    void handleHeader(const QByteArray &data);
    void handleData(quint8 number, const QByteArray &data);
    void handleEot();
    void promptTick();
    void stallTick();
    void progress();
    void cancel(Outcome outcome);
    void end(Outcome outcome);

    State state = State::Idle;
    QByteArray pending;
    File file;
    int expected = 1;
    bool prompting = true;
    bool junkReported = false;
    int giveUpMs = 10000;
    QTimer *promptTimer;
    QTimer *giveUpTimer;
    QTimer *stallTimer;
};

#endif
