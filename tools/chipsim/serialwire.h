#ifndef SERIALWIRE_H
#define SERIALWIRE_H

#include <QByteArray>
#include <QObject>

#include <deque>

class QSocketNotifier;

// One direction of a UART line at 8N1. A byte's stop bit ends ten bit times after the later
// of its hand-over and the end of the byte before it: a line that was idle has stored up
// nothing, so a block sent after a pause takes as long as one sent back to back. Bytes are
// passed on once their stop bit has ended, never before; the last byte of a write at once,
// longer writes in slices of about ten milliseconds.
class SerialWire : public QObject
{
    Q_OBJECT

public:
    explicit SerialWire(QObject *parent = nullptr);
    ~SerialWire() override;

    // Puts bytes on the line behind those still on it, at `baud`.
    void push(const QByteArray &bytes, int baud);
    void clear();
    // Bytes on the line that have not arrived yet.
    int pending() const { return queued; }

signals:
    void arrived(const QByteArray &bytes, int baud);

private:
    struct Run {
        QByteArray bytes;
        qint64 startNs;
        int baud;
        int done;
    };

    void deliver();
    void arm();
    static qint64 nowNs();
    static qint64 endOfByte(const Run &run, int count);

    std::deque<Run> runs;
    qint64 freeAtNs = 0;
    // When the timer is set to fire; 0 while it is not.
    qint64 armedNs = 0;
    int queued = 0;
    int timerFd = -1;
    QSocketNotifier *notifier = nullptr;
};

#endif
