#ifndef YMODEMFILETRANSMIT_H
#define YMODEMFILETRANSMIT_H

#include "ymodem.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

class QFile;
class QSerialPort;
class QTimer;

// Sends one file (a path or a resource) over an opened serial line by YMODEM.
// The engine is stepped as soon as the receiver's bytes arrive and every 5 ms, and
// measures its time-outs on a monotonic clock in 5 ms ticks; a final status is
// delivered 100 ms after the transfer has ended, so the receiver has settled before
// the owner moves on.
class YmodemFileTransmit : public QObject, public Ymodem
{
    Q_OBJECT

public:
    // Numbered like the engine's events.
    enum Status {
        STATUS_ESTABLISHING = 0,
        STATUS_TRANSMITTING = 1,
        STATUS_FINISHED = 2,
        STATUS_ABORTED = 3,
        STATUS_TIMED_OUT = 4,
        STATUS_ERROR = 5
    };
    Q_ENUM(Status)

    static constexpr int STEP_INTERVAL_MS = 5;
    static constexpr int STATUS_DELAY_MS = 100;
    static constexpr int MAX_HEADER_NAME_LENGTH = 30;

    explicit YmodemFileTransmit(QObject *parent = nullptr);
    ~YmodemFileTransmit() override;

    void setFileName(const QString &name);
    void setSerialPort(QSerialPort *port);

    bool startTransmit();
    void stopTransmit();

    int transmitProgress() const;
    Status transmitStatus() const;

signals:
    void sigTransmitProgress(int progress);
    void sigTransmitStatus(YmodemFileTransmit::Status status);

private slots:
    void readTimeOut();
    void writeTimeOut();
    void lineReadable();

private:
    uint32_t handleEvent(uint32_t event, uint8_t *buffer, uint32_t *length) override;
    uint32_t readBytes(uint8_t *buffer, uint32_t length) override;
    uint32_t writeBytes(uint8_t *buffer, uint32_t length) override;
    bool isPeerRefusing() override;
    uint64_t clockNow() override;

    uint32_t establish(uint8_t *buffer, uint32_t *length);
    uint32_t transmitBlock(uint8_t *buffer, uint32_t *length);
    void finish(Status finalStatus);
    void stopStepping();
    void createTimers();
    bool portReady() const;
    QByteArray headerFileName(int maxBytes) const;

    QFile *file;
    QTimer *readTimer = nullptr;
    QTimer *writeTimer = nullptr;
    QSerialPort *serialPort = nullptr;
    int progress = 0;
    Status status = STATUS_ESTABLISHING;
    qint64 fileSize = 0;
    qint64 fileCount = 0;
    // The last bytes the engine consumed: a refusal such as "unknown cmd!" is
    // recognised even when the engine has already read its first bytes.
    QByteArray recentInput;
    QElapsedTimer clock;
    QMetaObject::Connection lineConnection;
};

#endif // YMODEMFILETRANSMIT_H
