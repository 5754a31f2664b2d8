#ifndef WORKER_H
#define WORKER_H

#include "runrecord.h"
#include "runrecorder.h"
#include "userconfig.h"
#include "ymodemfiletransmit.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QSerialPort>
#include <QString>

class QTimer;

// Drives one chip on one serial line: asks the ROM loader for its version, uploads the RAM
// loader, then writes the images (or erases the flash) and reports one result code per run.
// Lives in a thread of its own and talks only through queued signals. It acts when an answer
// arrives, a transfer ends or its single deadline falls due; between those it costs nothing.
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
    // Configuration, port and mode take effect at the next start, never under a running chip.
    void slotSetUserConfig(UserConfig userConfig);
    void slotSetWorkerPortName(QString serialPortName);
    void slotSetWorkerMode(int mode);
    void slotSetEraseChipFirst(bool mode);
    void slotWorkerStart();

protected slots:
    void slotSerialReadyRead();
    void slotSerialErrorOccurred(QSerialPort::SerialPortError error);
    void slotDeadlineDue();
    void slotTransmitProgress(int progress);
    void slotTransmitStatus(YmodemFileTransmit::Status status);

private:
    // The command exchanges of the dialogue; their rules are one table in the source.
    enum Exchange {
        EX_VERSION,
        EX_DOWNLOAD,
        EX_ERASE_ALL,
        EX_FILECOUNT,
        EX_BAUDRATE,
        EX_STARTADDR,
        EX_UPGRADE,
        EX_COUNT
    };
    // Time an exchange has waited in this run, over all its visits, and when it resends next.
    struct WaitAccount
    {
        qint64 spentMs = 0;
        qint64 nextResendMs = 0;
    };

    // Run control
    bool interruptRun();
    void startRun();
    void restartSoon(int delayMs);
    void finish(int code);
    void restartOrFail(int code);
    void sendFailed(int code);
    bool isContinuousDownload() const;
    bool isYmodemStep() const;

    // The stepper: one exchange at a time, one deadline at a time.
    void beginExchange(Exchange exchange, const QByteArray &line);
    bool sendExchangeLine();
    int budgetOf(Exchange waiting) const;
    void armExchange();
    void exchangeDeadline();
    bool takeAnswer();
    void answered(Exchange exchange);
    void arm(int delayMs);
    void schedule();

    // The dialogue
    void afterVersion();
    void askDownload();
    void sendLoader();
    void loaderUploaded();
    void afterLoaderSettled();
    void askEraseAll();
    void askFileCount();
    void afterFileCount();
    void askBaudrate();
    void afterBaudrate();
    void askStartAddr();
    void sendImage();
    void imageSent();
    void downloadDone();
    void windDownDone();
    quint32 baudrateTarget() const;
    bool currentImage(FileCfg *image);

    bool writeLine(const QByteArray &line, bool flush);
    bool openPort();
    void closePortAfterRun();
    void setPortSpeed(quint32 baudrate);
    void beginRecord();
    void reportResult(int code);

    // Taken over at the next start.
    UserConfig nextConfig;
    QString nextPortName;
    int nextWorkMode = WORK_MODE_DOWNLOAD;
    bool eraseChipFirst = false;

    // The running configuration.
    UserConfig userConfig;
    int workMode = WORK_MODE_DOWNLOAD;
    bool continuousMode = false;
    QString serialPortName;
    // The RAM loader of this run (a resource path for a built-in one), or the file that failed.
    QString loaderFile;

    QSerialPort *serialPort = nullptr;
    QTimer *deadlineTimer = nullptr;
    YmodemFileTransmit *transmitter = nullptr;

    CmdStageFlag cmdStage = STEP_WORK_STOP;
    QByteArray rxBuffer;
    Exchange exchange = EX_VERSION;
    QByteArray exchangeLine;
    WaitAccount accounts[EX_COUNT];
    QElapsedTimer waitClock;
    QDeadlineTimer stepDue{ QDeadlineTimer::Forever };
    QDeadlineTimer runDue{ QDeadlineTimer::Forever };

    ChipCodeVerFlag chipCodeVer = CodeUnKnown;
    qint8 filesDone = -1;
    quint32 fileIndex = 0;
    // Images whose transfer ended well in this run, and the loader's count before the first.
    int imagesSent = 0;
    // The last (image, percent) reported, so that each is reported once.
    QPair<int, int> lastProgress;
    bool loaderCountKnown = false;
    int loaderCountAtStart = 0;
    QString lastCmd;
    bool useUserBaudrate = false;
    bool eraseConfirmed = false;
    // The loader was told to leave 115200 and has not been seen back there: a restart first
    // brings it back, or the new run's "version" would cross the line at the wrong speed.
    bool loaderMayBeFast = false;
    quint32 loaderFastBaudrate = 0;
    bool windingDown = false;
    // Held back after one report while a continuous worker's port stays unavailable.
    bool portFailureReported = false;

    RunRecorder recorder;
    int imageInFlight = -1;
};

Q_DECLARE_METATYPE(Worker::ChipCodeVerFlag)

// Registers the chip code (as "ChipCodeVerFlag" and "ChipCodeVerFlag&") and RunRecord for
// queued signals.
void registerWorkerMetaTypes();

#endif // WORKER_H
