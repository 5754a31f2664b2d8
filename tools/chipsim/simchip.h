#ifndef SIMCHIP_H
#define SIMCHIP_H

#include "chipfaults.h"
#include "chipoptions.h"
#include "transcript.h"
#include "ymodemreceiver.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

class ChipFamily;
class PtyLink;
class QTimer;

// One simulated chip on one link: its ROM loader, the RAM loader it becomes after the
// upload, and the faults it was told to show.
class SimChip : public QObject
{
    Q_OBJECT

public:
    SimChip(int index, const ChipOptions &options, const QString &linkPath, const QString &outDir,
            bool throttle, QObject *parent = nullptr);
    ~SimChip() override;

    // Opens the transcript (when there is an output folder); false with a reason.
    bool prepare(QString *error);

    bool plug(QString *error);
    void unplug(const QString &cause = QString());
    bool isPlugged() const;
    // Power cycle on the same link: a fresh chip in its ROM loader (or RAM loader, if so set).
    void reboot();

    int index() const { return chipIndex; }
    QString linkPath() const { return link; }
    QString familyName() const { return options.family; }

    ChipOptions &nextOptions() { return options; }
    ChipFaults &faults() { return chipFaults; }

private:
    enum class Transfer { None, Loader, Image };
    struct PendingLine {
        QByteArray line;
        qint64 due;
    };

    void dropWork();
    void powerUp();
    void onReceived(const QByteArray &bytes);
    void takeLines(const QByteArray &bytes);
    void processQueue();
    void handleLine(const QByteArray &line);
    void handleRom(const QByteArray &body, const QByteArray &command);
    void handleRam(const QByteArray &command);
    void finishErase();
    void startTransfer(Transfer kind, bool prompt, const QByteArray &firstPrompt);
    void onFileReceived(const YmodemReceiver::File &file);
    void onTransferFinished(YmodemReceiver::Outcome outcome);
    ChipFaults::BlockReply blockReply(int k);

    void answer(const QByteArray &bytes, const QString &command);
    void send(const QByteArray &bytes);
    void setChipBaud(int baud);
    void log(const QString &event, const QJsonObject &fields = QJsonObject());
    void violation(const QString &what, QJsonObject fields = QJsonObject());
    void state(const QString &what, const QString &cause = QString());
    QString storeFile(const QString &name, const QByteArray &data);

    const int chipIndex;
    const QString link;
    const QString outDir;
    const bool throttle;
    ChipOptions options;
    ChipOptions active;
    ChipFaults chipFaults;
    const ChipFamily *family = nullptr;
    PtyLink *ptyLink;
    YmodemReceiver *receiver;
    QTimer *queueTimer;
    QTimer *eraseTimer;
    Transcript transcript;

    bool inRam = false;
    bool erasing = false;
    int chipBaud = 115200;
    int bootNumber = 0;
    int fileCount = 0;
    bool haveStartAddr = false;
    quint32 startAddr = 0;
    qint64 announcedLoaderSize = -1;
    Transfer transfer = Transfer::None;
    bool loaderReceived = false;
    QSet<int> nakedBlocks;
    QByteArray lineBuffer;
    QList<PendingLine> queue;
};

#endif
