#ifndef PTYLINK_H
#define PTYLINK_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QSocketNotifier;
class SerialWire;

// The wire between one simulated chip and the host: a pseudo-terminal pair whose slave is
// published under a link path. The host's line speed is read back from the slave; bytes
// that cross while it differs from the chip's own speed are dropped, as a real UART would
// garble them. Optionally each direction is paced like a UART wire at that speed (8N1).
class PtyLink : public QObject
{
    Q_OBJECT

public:
    explicit PtyLink(QObject *parent = nullptr);
    ~PtyLink() override;

    bool open(const QString &linkPath, QString *error);
    void close();
    bool isOpen() const { return masterFd >= 0; }

    QString linkPath() const { return link; }
    int hostBaud() const;

    void setChipBaud(int baud) { chipBaud = baud; }
    int currentChipBaud() const { return chipBaud; }
    void setThrottle(bool on) { throttle = on; }

    // Queues bytes that the chip sends at its current speed.
    void send(const QByteArray &bytes);

signals:
    void received(const QByteArray &bytes);
    void baudMismatch(int bytes, bool fromHost, int hostBaud, int chipBaud);

private slots:
    void readMaster();
    void writeMaster();

private:
    struct Chunk {
        QByteArray bytes;
        int chipBaud;
    };

    void arrivedFromHost(const QByteArray &bytes);
    void queueForHost(const QByteArray &bytes, int baud);

    int masterFd = -1;
    int slaveFd = -1;
    QString link;
    QSocketNotifier *readNotifier = nullptr;
    QSocketNotifier *writeNotifier = nullptr;
    SerialWire *fromHost;
    SerialWire *toHost;
    QList<Chunk> txQueue;
    int chipBaud = 115200;
    bool throttle = false;
};

#endif
