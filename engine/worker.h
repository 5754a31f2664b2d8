#ifndef WORKER_H
#define WORKER_H

#include "runrecord.h"
#include "userconfig.h"
#include "ymodemfiletransmit.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QSerialPort>
#include <QString>

class QTimer;

// Drives one chip on one serial line: asks the ROM loader for its version, uploads the RAM
// loader, then writes the images (or erases the flash) and reports one result code per run.
// Lives in a thread of its own and talks only through queued signals.
class Worker : public QObject
{
    Q_OBJECT

public:
    enum ChipCodeVerFlag {
        CodeInROM = 0x1000,
        CodeInROM_ZR740A = 0x1820,
        CodeInROM_ZR740C = 0x1821,
        CodeInROM_ZR610A = 0x1210,
        CodeInRAM = 0x2000,
        CodeUnKnown = 0x3000,
    };
    Q_ENUM(ChipCodeVerFlag)

    enum WorkModeFlag {
        WORK_MODE_DOWNLOAD = 1,
        WORK_MODE_ERASE = 2,
        WORK_MODE_UNKNOWN = 3,
    };
    Q_ENUM(WorkModeFlag)

    enum CmdStageFlag {
        STEP_INITIAL = 0x0000,
        STEP_CMD_VERSION_SEND = 0x0100,
        STEP_CMD_VERSION_WAIT = 0x0101,
        STEP_CMD_VERSION_POST = 0x0102,
        STEP_ROMCODE_DOWNLOAD_SEND = 0x0200,
        STEP_ROMCODE_DOWNLOAD_WAIT = 0x0201,
        STEP_ROMCODE_DOWNLOAD_POST = 0x0202,
        STEP_ROMCODE_YMODEM_START = 0x0300,
        STEP_ROMCODE_YMODEM_WAIT = 0x0301,
        STEP_ROMCODE_YMODEM_POST = 0x0302,
        STEP_ROMCODE_YMODEM_ERROR = 0x0303,
        STEP_RAMCODE_WAIT_READY = 0xF101,
        STEP_RAMCODE_ERASEALL_SEND = 0xF200,
        STEP_RAMCODE_ERASEALL_WAIT = 0xF201,
        STEP_RAMCODE_ERASEALL_POST = 0xF202,
        STEP_RAMCODE_BAUDRATE_SEND = 0xF300,
        STEP_RAMCODE_BAUDRATE_WAIT = 0xF301,
        STEP_RAMCODE_BAUDRATE_POST = 0xF302,
        STEP_RAMCODE_STARTADDR_SEND = 0xF400,
        STEP_RAMCODE_STARTADDR_WAIT = 0xF401,
        STEP_RAMCODE_STARTADDR_POST = 0xF402,
        STEP_RAMCODE_UPGRADE_SEND = 0xF500,
        STEP_RAMCODE_UPGRADE_WAIT = 0xF501,
        STEP_RAMCODE_UPGRADE_POST = 0xF502,
        STEP_RAMCODE_YMODEM_START = 0xF600,
        STEP_RAMCODE_YMODEM_WAIT = 0xF601,
        STEP_RAMCODE_YMODEM_POST = 0xF602,
        STEP_RAMCODE_YMODEM_ERROR = 0xF603,
        STEP_RAMCODE_FILECOUNT_SEND = 0xF700,
        STEP_RAMCODE_FILECOUNT_WAIT = 0xF701,
        STEP_RAMCODE_FILECOUNT_POST = 0xF702,
        STEP_WORK_STOP = 0xFFAA,
    };
    Q_ENUM(CmdStageFlag)

    explicit Worker();
    ~Worker() override;

signals:
    // Every result carries the record of the run it ends.
    void sigWorkerReportResult(int result, RunRecord record);
    void sigWorkerReadyToWork(Worker::ChipCodeVerFlag codeVer);
    void sigWorkerReportYmodemProgress(int fileID, int progress);

public slots:
    void slotWorkerInit();
    void slotSetUserConfig(UserConfig userConfig);
    void slotSetWorkerPortName(QString serialPortName);
    void slotSetWorkerMode(int mode);
    void slotSetEraseChipFirst(bool mode);
    void slotWorkerStart();

protected slots:
    void slotSerialReadyRead();
    void slotSerialErrorOccurred(QSerialPort::SerialPortError error);
    void slotWorkerProcessCheck();
    void slotEraseTimeout();
    void slotTransmitProgress(int progress);
    void slotTransmitStatus(YmodemFileTransmit::Status status);

private:
    bool sendCmdVersion();
    bool sendCmdDownload(ChipCodeVerFlag codeVer);
    bool sendCmdEraseAll();
    bool sendCmdBaudrate(quint32 baudrate);
    bool sendCmdStartAddr(quint32 startAddr);
    bool sendCmdUpgrade();
    bool sendCmdFileCount();
    bool sendCmdDownloadSuccess();
    bool sendCmdReboot();
    bool writeLine(const QByteArray &line, bool flush);

    bool runSharedStep();
    void runDownloadStep();
    void runEraseStep();
    bool handleAnswer();
    bool currentImage(FileCfg *image);
    bool openPort();
    void closePortAfterRun();
    void setPortSpeed(quint32 baudrate);
    void restartProcessTimer(int intervalMs);
    void failWith(int code);
    void failSend(int code);
    void reportOrFail(int code);
    void restartOrFail(int code);
    void resetWaitCounters();
    bool isContinuousDownload() const;
    bool isYmodemStep() const;
    bool resendDue(int counter) const;
    void beginRecord();
    void reportResult(int code);

    UserConfig userConfig;
    int workMode = WORK_MODE_DOWNLOAD;
    bool continuousMode = false;
    bool eraseChipFirst = false;
    QString serialPortName;
    QByteArray rxBuffer;
    QSerialPort *serialPort = nullptr;
    QTimer *processTimer = nullptr;
    QTimer *eraseTimer = nullptr;
    YmodemFileTransmit *transmitter = nullptr;
    CmdStageFlag cmdStage = STEP_INITIAL;
    qint8 filesDone = -1;
    quint32 fileIndex = 0;
    // Images whose transfer ended well in this run, and the loader's count before the first.
    int imagesSent = 0;
    bool loaderCountKnown = false;
    int loaderCountAtStart = 0;
    QString lastCmd;
    ChipCodeVerFlag chipCodeVer = CodeUnKnown;
    bool useUserBaudrate = false;
    int resultCode = 0;
    bool eraseConfirmed = false;
    int versionWaitTicks = 0;
    int downloadWaitTicks = 0;
    int fileCountWaitTicks = 0;
    int baudrateWaitTicks = 0;
    int startAddrWaitTicks = 0;
    int upgradeWaitTicks = 0;
    int eraseWaitTicks = 0;

    // The configured images with their hashes, taken when the configuration's run starts and
    // refreshed for a file that changed on disk since.
    struct HashedImage
    {
        RunImage image;
        QDateTime modified;
    };
    QList<HashedImage> configuredImages;
    RunRecord record;
    int imageInFlight = -1;

    // Held back after one report while a continuous worker's port stays unavailable.
    bool portFailureReported = false;
};

Q_DECLARE_METATYPE(Worker::ChipCodeVerFlag)

// Registers the chip code (as "ChipCodeVerFlag" and "ChipCodeVerFlag&") and RunRecord for
// queued signals.
void registerWorkerMetaTypes();

#endif // WORKER_H
