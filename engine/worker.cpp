#include "worker.h"

#include "chipdialogue.h"
#include "chipfamilytable.h"
#include "errorcodes.h"
#include "ramloader.h"
#include "resultmessage.h"

#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <limits>

namespace {

constexpr quint32 ROM_BAUDRATE = 115200;
// The freshly started RAM loader needs a moment before it listens.
constexpr int LOADER_SETTLE_MS = 100;
// The operator's time to swap boards before a continuous line looks for the next chip.
constexpr int NEXT_CHIP_PAUSE_MS = 2000;
// An erase run is bounded as a whole, whatever the ROM loader and the erase itself take.
constexpr int ERASE_BOUND_MS = 30000;
// A continuous worker whose adapter is gone retries at this pace.
constexpr int PORT_RETRY_MS = 1000;
// An erase run whose transmitter cannot start on the port tries again at this pace.
constexpr int LOADER_RETRY_MS = 100;

// One command exchange: what the loader is given to answer, how often the line is repeated,
// how long the whole run may wait for it, and what a silence costs.
struct ExchangeRule
{
    Worker::CmdStageFlag waitStage;
    bool flush;           // the other lines wait at most 1 ms for their bytes to leave
    bool wholeLines;      // the answer is only looked at line by line
    int resendMs;         // 0: the line goes out once
    int budgetMs;         // summed over every visit in one run; 0: only the erase bound holds
    int sendFailedCode;
    int timedOutCode;
    bool restartQuietly;  // a continuous line starts over without a report on a time-out
};

const ExchangeRule RULES[] = {
    { Worker::STEP_CMD_VERSION_WAIT, false, true, 200, 1000, ErrorCodes::RESULT_VERSION_SEND_FAILED,
      ErrorCodes::RESULT_VERSION_READ_FAILED, true },
    { Worker::STEP_ROMCODE_DOWNLOAD_WAIT, true, false, 0, 1000, ErrorCodes::RESULT_DOWNLOAD_SEND_FAILED,
      ErrorCodes::RESULT_RAMCODE_SEND_FAILED, false },
    { Worker::STEP_RAMCODE_ERASEALL_WAIT, true, false, 0, 5000, ErrorCodes::RESULT_ERASE_ALL_SEND_FAILED,
      ErrorCodes::RESULT_ERASE_ALL_READ_FAILED, false },
    { Worker::STEP_RAMCODE_FILECOUNT_WAIT, true, false, 200, 1000, ErrorCodes::RESULT_FILECOUNT_SEND_FAILED,
      ErrorCodes::RESULT_FILECOUNT_READ_FAILED, true },
    // The loader frames its answer as CR LF, text, CR LF: the host changes its own speed only
    // once the whole answer is in, or the answer's tail crosses the wire at the old speed.
    { Worker::STEP_RAMCODE_BAUDRATE_WAIT, true, true, 200, 1000, ErrorCodes::RESULT_BAUDRATE_SEND_FAILED,
      ErrorCodes::RESULT_BAUDRATE_READ_FAILED, true },
    { Worker::STEP_RAMCODE_STARTADDR_WAIT, true, false, 200, 1000, ErrorCodes::RESULT_STARTADDR_SEND_FAILED,
      ErrorCodes::RESULT_STARTADDR_READ_FAILED, false },
    { Worker::STEP_RAMCODE_UPGRADE_WAIT, true, false, 200, 1000, ErrorCodes::RESULT_UPGRADE_SEND_FAILED,
      ErrorCodes::RESULT_FILE_SEND_FAILED, false },
};

} // namespace

Worker::Worker()
    : QObject(nullptr)
{
    // Every owner receives the results across threads; none has to remember the record's type.
    registerWorkerMetaTypes();
}

Worker::~Worker()
{
    if (serialPort && serialPort->isOpen()) {
        // Leaving in the middle of a transfer: tell the chip's receiver, so it does not
        // wait for blocks that never come and the next run finds it listening.
        if (isYmodemStep() && transmitter)
            transmitter->stopTransmit();
        serialPort->close();
    }
}

void Worker::slotWorkerInit()
{
    if (!serialPort) {
        serialPort = new QSerialPort(this);
        connect(serialPort, &QSerialPort::readyRead, this, &Worker::slotSerialReadyRead);
        connect(serialPort, &QSerialPort::errorOccurred, this, &Worker::slotSerialErrorOccurred);
    }
    serialPort->setBaudRate(ROM_BAUDRATE, QSerialPort::AllDirections);
    serialPort->setDataBits(QSerialPort::Data8);
    serialPort->setStopBits(QSerialPort::OneStop);
    serialPort->setParity(QSerialPort::NoParity);
    serialPort->setFlowControl(QSerialPort::NoFlowControl);

    if (!deadlineTimer) {
        deadlineTimer = new QTimer(this);
        deadlineTimer->setTimerType(Qt::PreciseTimer);
        deadlineTimer->setSingleShot(true);
        connect(deadlineTimer, &QTimer::timeout, this, &Worker::slotDeadlineDue, Qt::UniqueConnection);
    }
    if (!transmitter) {
        transmitter = new YmodemFileTransmit(this);
        transmitter->setSerialPort(serialPort);
        connect(transmitter, &YmodemFileTransmit::sigTransmitProgress, this, &Worker::slotTransmitProgress,
                Qt::UniqueConnection);
        connect(transmitter, &YmodemFileTransmit::sigTransmitStatus, this, &Worker::slotTransmitStatus,
                Qt::UniqueConnection);
    }
}

void Worker::slotSetUserConfig(UserConfig config)
{
    nextConfig = config;
}

void Worker::slotSetWorkerPortName(QString name)
{
    nextPortName = name;
}

void Worker::slotSetWorkerMode(int mode)
{
    nextWorkMode = mode;
}

void Worker::slotSetEraseChipFirst(bool mode)
{
    eraseChipFirst = mode;
}

void Worker::slotWorkerStart()
{
    if (!serialPort)
        slotWorkerInit();
    // The chip on the line belongs to the new run: the old one ends here without a report.
    const bool interrupted = interruptRun();

    userConfig = nextConfig;
    workMode = nextWorkMode;
    continuousMode = userConfig.downloadMode() == UserConfig::DOWNLOAD_MODE_CONTINUOUS;
    if (serialPort->isOpen() && serialPort->portName() != nextPortName) {
        serialPort->close();
        loaderMayBeFast = false;
    }
    serialPortName = nextPortName;
    portFailureReported = false;

    const QList<FileCfg> files = userConfig.fileList();
    recorder.setImages(files);
    beginRecord();
    int refused = ErrorCodes::RESULT_SUCCESS;
    for (const FileCfg &file : files) {
        if (!QFileInfo::exists(file.filePath))
            refused = ErrorCodes::RESULT_ARG_FILENAME_INVALID;
    }
    // A download with nothing to write must never end as a pass.
    if (!refused && workMode == WORK_MODE_DOWNLOAD && userConfig.validFileCount() <= 0)
        refused = ErrorCodes::RESULT_ARGS_MISSING;
    loaderFile.clear();
    if (!refused) {
        const RamLoader loaders = RamLoader::checkAll(userConfig.loaderDir());
        if (!loaders.isOk()) {
            loaderFile = loaders.path();
            refused = loaders.errorCode();
        }
    }
    if (refused) {
        closePortAfterRun();
        reportResult(refused);
        return;
    }

    serialPort->setPortName(serialPortName);
    // A run cut short may have left the loader at the image speed; a finished one hands the
    // line to the next board.
    if (interrupted && loaderMayBeFast && openPort()) {
        windingDown = true;
        useUserBaudrate = false;
        setPortSpeed(loaderFastBaudrate);
        accounts[EX_BAUDRATE] = WaitAccount{ 0, RULES[EX_BAUDRATE].resendMs };
        askBaudrate();
        return;
    }
    startRun();
}

// Ends whatever the previous run was doing, so that none of its bytes follows the next run's
// first command: a receiver on the chip is cancelled now, and no deadline of it stays armed.
bool Worker::interruptRun()
{
    if (cmdStage == STEP_WORK_STOP)
        return false;
    deadlineTimer->stop();
    stepDue = QDeadlineTimer(QDeadlineTimer::Forever);
    runDue = QDeadlineTimer(QDeadlineTimer::Forever);
    windingDown = false;
    const bool chipMayReceive = isYmodemStep() || cmdStage == STEP_ROMCODE_DOWNLOAD_WAIT
                                || cmdStage == STEP_RAMCODE_UPGRADE_WAIT;
    if (chipMayReceive && serialPort->isOpen()) {
        transmitter->stopTransmit();
        // The loader takes the CAN bytes its receiver left over as the start of a command
        // line: end that line, so the next command arrives whole.
        serialPort->write("\r\n");
        serialPort->flush();
    }
    cmdStage = STEP_WORK_STOP;
    return true;
}

void Worker::startRun()
{
    beginRecord();
    cmdStage = STEP_INITIAL;
    stepDue = QDeadlineTimer(QDeadlineTimer::Forever);
    for (int i = 0; i < EX_COUNT; ++i)
        accounts[i] = WaitAccount{ 0, RULES[i].resendMs };
    fileIndex = 0;
    filesDone = -1;
    imagesSent = 0;
    lastProgress = {};
    loaderCountKnown = false;
    useUserBaudrate = false;
    eraseConfirmed = false;
    chipCodeVer = CodeUnKnown;
    rxBuffer.clear();
    setPortSpeed(ROM_BAUDRATE);

    if (workMode == WORK_MODE_ERASE) {
        // No check here: a port that does not open fails the first send.
        openPort();
        runDue = QDeadlineTimer(ERASE_BOUND_MS, Qt::PreciseTimer);
    } else if (workMode == WORK_MODE_DOWNLOAD) {
        if (!openPort()) {
            if (!continuousMode) {
                finish(ErrorCodes::RESULT_PORT_OPEN_FAILED);
                return;
            }
            // One report per outage; the fail counter and the log must not flood.
            if (!portFailureReported) {
                portFailureReported = true;
                reportResult(ErrorCodes::RESULT_PORT_OPEN_FAILED);
            }
            restartSoon(PORT_RETRY_MS);
            return;
        }
        portFailureReported = false;
    } else {
        return;
    }
    beginExchange(EX_VERSION, ChipDialogue::versionLine());
}

void Worker::restartSoon(int delayMs)
{
    cmdStage = STEP_INITIAL;
    arm(delayMs);
}

// The run's end with its result; a continuous line reports it and looks for the next chip.
void Worker::finish(int code)
{
    if (isContinuousDownload()) {
        reportResult(code);
        restartSoon(0);
        return;
    }
    deadlineTimer->stop();
    stepDue = QDeadlineTimer(QDeadlineTimer::Forever);
    runDue = QDeadlineTimer(QDeadlineTimer::Forever);
    cmdStage = STEP_WORK_STOP;
    closePortAfterRun();
    reportResult(code);
}

void Worker::restartOrFail(int code)
{
    if (isContinuousDownload())
        restartSoon(0);
    else
        finish(code);
}

// A continuous worker whose adapter vanished under a send starts over, where the outage is
// reported once as a port that cannot be opened.
void Worker::sendFailed(int code)
{
    if (windingDown)
        windDownDone();
    else if (isContinuousDownload() && !serialPort->isOpen())
        restartSoon(0);
    else
        finish(code);
}

// The erase flow has no continuous behaviour, whatever the configured mode.
bool Worker::isContinuousDownload() const
{
    return continuousMode && workMode == WORK_MODE_DOWNLOAD;
}

bool Worker::isYmodemStep() const
{
    return (cmdStage >= STEP_ROMCODE_YMODEM_START && cmdStage <= STEP_ROMCODE_YMODEM_ERROR)
           || (cmdStage >= STEP_RAMCODE_YMODEM_START && cmdStage <= STEP_RAMCODE_YMODEM_ERROR);
}

void Worker::beginExchange(Exchange next, const QByteArray &line)
{
    exchange = next;
    exchangeLine = line;
    cmdStage = static_cast<CmdStageFlag>(RULES[next].waitStage - 1);
    if (!sendExchangeLine()) {
        sendFailed(RULES[next].sendFailedCode);
        return;
    }
    cmdStage = RULES[next].waitStage;
    waitClock.start();
    armExchange();
}

bool Worker::sendExchangeLine()
{
    if (exchange == EX_STARTADDR)
        lastCmd = QString::fromLatin1(exchangeLine).trimmed();
    return !exchangeLine.isEmpty() && writeLine(exchangeLine, RULES[exchange].flush);
}

// The erase flow waits for the loader's "C" and for the erase only as long as its bound.
int Worker::budgetOf(Exchange waiting) const
{
    return workMode == WORK_MODE_ERASE && waiting != EX_VERSION ? 0 : RULES[waiting].budgetMs;
}

// The next moment this wait needs attention: its next resend or the end of its budget.
void Worker::armExchange()
{
    const ExchangeRule &rule = RULES[exchange];
    const WaitAccount &account = accounts[exchange];
    const qint64 spent = account.spentMs + waitClock.elapsed();
    const int budget = budgetOf(exchange);
    qint64 due = std::numeric_limits<qint64>::max();
    if (budget > 0)
        due = budget - spent;
    if (rule.resendMs > 0 && (budget <= 0 || account.nextResendMs < budget))
        due = qMin(due, account.nextResendMs - spent);
    if (due == std::numeric_limits<qint64>::max()) {
        stepDue = QDeadlineTimer(QDeadlineTimer::Forever);
        schedule();
        return;
    }
    arm(static_cast<int>(qMax<qint64>(0, due)));
}

void Worker::exchangeDeadline()
{
    // A thread that was kept waiting may see its deadline before the answer that already
    // lies in the port: look once more, since a resend would discard it.
    const CmdStageFlag waiting = cmdStage;
    if (serialPort->isOpen())
        serialPort->waitForReadyRead(0);
    if (cmdStage != waiting)
        return;
    const ExchangeRule &rule = RULES[exchange];
    WaitAccount &account = accounts[exchange];
    const qint64 spent = account.spentMs + waitClock.elapsed();
    const int budget = budgetOf(exchange);
    if (budget > 0 && spent >= budget) {
        account.spentMs = spent;
        if (windingDown)
            windDownDone();
        else if (rule.restartQuietly)
            restartOrFail(rule.timedOutCode);
        else
            finish(rule.timedOutCode);
        return;
    }
    if (rule.resendMs > 0 && spent >= account.nextResendMs) {
        while (account.nextResendMs <= spent)
            account.nextResendMs += rule.resendMs;
        // The loader may have switched without its answer reaching us: follow it first. A
        // loader brought back for a restart is tried at both speeds in turn.
        if (exchange == EX_BAUDRATE) {
            const bool tryFast = windingDown && (account.nextResendMs / rule.resendMs) % 2 == 1;
            setPortSpeed(tryFast ? loaderFastBaudrate : baudrateTarget());
        }
        if (!sendExchangeLine()) {
            account.spentMs = spent;
            sendFailed(rule.sendFailedCode);
            return;
        }
    }
    armExchange();
}

void Worker::arm(int delayMs)
{
    stepDue = QDeadlineTimer(delayMs, Qt::PreciseTimer);
    schedule();
}

// One timer serves every deadline: the step's own and, in an erase run, the bound of the run.
void Worker::schedule()
{
    const QDeadlineTimer due = qMin(stepDue, runDue);
    if (due.isForever())
        deadlineTimer->stop();
    else
        deadlineTimer->start(static_cast<int>(due.remainingTime()));
}

void Worker::slotDeadlineDue()
{
    if (cmdStage == STEP_WORK_STOP)
        return;
    if (runDue.hasExpired()) {
        // The bound may end the run in the middle of the loader upload: cancel it on the line too.
        if (isYmodemStep())
            transmitter->stopTransmit();
        eraseConfirmed = false;
        finish(ErrorCodes::RESULT_ERASE_ALL_READ_FAILED);
        return;
    }
    if (!stepDue.hasExpired()) {
        schedule();
        return;
    }
    stepDue = QDeadlineTimer(QDeadlineTimer::Forever);
    switch (cmdStage) {
    case STEP_INITIAL:
        startRun();
        break;
    case STEP_ROMCODE_YMODEM_START:
        sendLoader();
        break;
    case STEP_RAMCODE_WAIT_READY:
        afterLoaderSettled();
        break;
    default:
        if (cmdStage == RULES[exchange].waitStage)
            exchangeDeadline();
        break;
    }
}

void Worker::slotSerialReadyRead()
{
    if (!serialPort || isYmodemStep() || cmdStage == STEP_WORK_STOP)
        return;
    const bool waiting = cmdStage == RULES[exchange].waitStage;
    ChipDialogue::collect(serialPort, waiting && RULES[exchange].wholeLines, &rxBuffer);
    if (!waiting || !takeAnswer())
        return;
    serialPort->readAll();
    serialPort->clear(QSerialPort::Input);
    rxBuffer.clear();
    accounts[exchange].spentMs += waitClock.elapsed();
    stepDue = QDeadlineTimer(QDeadlineTimer::Forever);
    schedule();
    answered(exchange);
}

// An unplugged adapter is reported once and then stays silent while the port is still "open":
// close it so the next attempt reopens the device and finds out whether it came back.
void Worker::slotSerialErrorOccurred(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ResourceError || !serialPort || !serialPort->isOpen())
        return;
    serialPort->close();
    loaderMayBeFast = false;
    if (isContinuousDownload() && !isYmodemStep() && cmdStage != STEP_WORK_STOP && cmdStage != STEP_INITIAL)
        restartSoon(0);
}

void Worker::slotTransmitProgress(int progress)
{
    // A block moves the percentage only now and then: twenty ports at 3 Mbit/s would
    // otherwise queue some 6000 repaints a second on the window's thread.
    if (cmdStage != STEP_RAMCODE_YMODEM_WAIT || qMakePair(imagesSent + 1, progress) == lastProgress)
        return;
    lastProgress = qMakePair(imagesSent + 1, progress);
    emit sigWorkerReportYmodemProgress(lastProgress.first, lastProgress.second);
}

void Worker::slotTransmitStatus(YmodemFileTransmit::Status status)
{
    const bool final = status == YmodemFileTransmit::STATUS_FINISHED || status == YmodemFileTransmit::STATUS_ABORTED
                       || status == YmodemFileTransmit::STATUS_TIMED_OUT || status == YmodemFileTransmit::STATUS_ERROR;
    if (!final)
        return;
    eraseConfirmed = eraseConfirmed && status == YmodemFileTransmit::STATUS_FINISHED;
    // A transfer cancelled by a restart reports its end late; only the running one counts.
    if (transmitter->transmitStatus() != status)
        return;
    const bool ok = status == YmodemFileTransmit::STATUS_FINISHED;
    if (cmdStage == STEP_ROMCODE_YMODEM_WAIT) {
        openPort();
        if (ok)
            loaderUploaded();
        else
            finish(ErrorCodes::RESULT_RAMCODE_SEND_FAILED);
    } else if (cmdStage == STEP_RAMCODE_YMODEM_WAIT) {
        openPort();
        if (ok)
            imageSent();
        else
            finish(ErrorCodes::RESULT_FILE_SEND_FAILED);
    }
}

bool Worker::takeAnswer()
{
    const QString text = ChipDialogue::answerText(rxBuffer);
    switch (exchange) {
    case EX_VERSION: {
        const ChipCodeVerFlag code = ChipDialogue::recognizeVersion(text);
        if (code == CodeUnKnown)
            return false;
        chipCodeVer = code;
        return true;
    }
    case EX_DOWNLOAD:
        return ChipDialogue::isReceiverReady(text);
    case EX_ERASE_ALL:
        eraseConfirmed = ChipDialogue::isEraseConfirmed(text);
        return eraseConfirmed;
    case EX_BAUDRATE:
        return ChipDialogue::isBaudrateAccepted(text);
    case EX_STARTADDR:
        return ChipDialogue::isStartAddrAccepted(text, lastCmd);
    case EX_UPGRADE:
        return ChipDialogue::isUpgradeReady(text);
    case EX_FILECOUNT: {
        qint8 count = 0;
        if (!ChipDialogue::parseFileCount(text, &count))
            return false;
        filesDone = count;
        return true;
    }
    default:
        return false;
    }
}

void Worker::answered(Exchange done)
{
    switch (done) {
    case EX_VERSION:
        afterVersion();
        break;
    case EX_DOWNLOAD:
        sendLoader();
        break;
    case EX_ERASE_ALL:
        eraseConfirmed = false;
        if (workMode == WORK_MODE_ERASE)
            finish(ErrorCodes::RESULT_SUCCESS);
        else
            askFileCount();
        break;
    case EX_FILECOUNT:
        afterFileCount();
        break;
    case EX_BAUDRATE:
        afterBaudrate();
        break;
    case EX_STARTADDR:
        beginExchange(EX_UPGRADE, ChipDialogue::upgradeLine());
        break;
    case EX_UPGRADE:
        sendImage();
        break;
    default:
        break;
    }
}

void Worker::afterVersion()
{
    // An answer at 115200 shows the loader is there now.
    loaderMayBeFast = false;
    const ChipFamilyRow *family = ChipFamilyTable::find(chipCodeVer);
    recorder.setChip(family ? QString::fromLatin1(family->name) : QString(),
                     (chipCodeVer & 0xF000) == CodeInRAM ? QStringLiteral("ram") : QStringLiteral("rom"));
    if ((chipCodeVer & 0xF000) == CodeInROM) {
        if (workMode == WORK_MODE_DOWNLOAD)
            emit sigWorkerReadyToWork(chipCodeVer);
        askDownload();
    } else if ((chipCodeVer & 0xF000) == CodeInRAM) {
        if (workMode == WORK_MODE_ERASE || eraseChipFirst)
            askEraseAll();
        else
            askFileCount();
    } else {
        finish(ErrorCodes::RESULT_UNKNOWN);
    }
}

void Worker::askDownload()
{
    const RamLoader loader = RamLoader::resolve(chipCodeVer, userConfig.loaderDir());
    loaderFile = loader.path();
    if (!loader.isOk()) {
        // Nothing of the loader goes on the line; a continuous line gives the operator the
        // board-swap pause instead of asking the same chip again at once.
        if (isContinuousDownload()) {
            reportResult(loader.errorCode());
            restartSoon(NEXT_CHIP_PAUSE_MS);
        } else {
            finish(loader.errorCode());
        }
        return;
    }
    beginExchange(EX_DOWNLOAD, ChipDialogue::downloadLine(chipCodeVer, loader.size()));
}

void Worker::sendLoader()
{
    cmdStage = STEP_ROMCODE_YMODEM_START;
    transmitter->setBlockMode(1);
    transmitter->setFileName(loaderFile);
    if (transmitter->startTransmit()) {
        cmdStage = STEP_ROMCODE_YMODEM_WAIT;
        return;
    }
    if (workMode == WORK_MODE_ERASE)
        arm(LOADER_RETRY_MS);
    else
        finish(ErrorCodes::RESULT_RAMCODE_SEND_FAILED);
}

void Worker::loaderUploaded()
{
    recorder.setLoader(loaderFile);
    cmdStage = STEP_RAMCODE_WAIT_READY;
    arm(LOADER_SETTLE_MS);
}

void Worker::afterLoaderSettled()
{
    if (workMode == WORK_MODE_ERASE || eraseChipFirst)
        askEraseAll();
    else
        askFileCount();
}

void Worker::askEraseAll()
{
    beginExchange(EX_ERASE_ALL, ChipDialogue::eraseAllLine());
}

void Worker::askFileCount()
{
    beginExchange(EX_FILECOUNT, ChipDialogue::fileCountLine());
}

void Worker::afterFileCount()
{
    const qint8 fileCount = userConfig.validFileCount();
    // Every image sent in this run must have raised the loader's count by one: an image the
    // loader did not keep, or a count left from an earlier run on the same board, must never
    // pass for a written image.
    if (!loaderCountKnown) {
        loaderCountKnown = true;
        loaderCountAtStart = filesDone;
    } else if (filesDone != loaderCountAtStart + imagesSent) {
        finish(ErrorCodes::RESULT_FILE_SEND_FAILED);
        return;
    }
    if (imagesSent < fileCount) {
        useUserBaudrate = true;
        askBaudrate();
        return;
    }
    downloadDone();
}

quint32 Worker::baudrateTarget() const
{
    return useUserBaudrate ? userConfig.baudrate() : ROM_BAUDRATE;
}

void Worker::askBaudrate()
{
    if (useUserBaudrate && baudrateTarget() != ROM_BAUDRATE) {
        loaderMayBeFast = true;
        loaderFastBaudrate = baudrateTarget();
    }
    beginExchange(EX_BAUDRATE, ChipDialogue::baudrateLine(baudrateTarget()));
}

void Worker::afterBaudrate()
{
    setPortSpeed(baudrateTarget());
    if (windingDown) {
        windDownDone();
        return;
    }
    if (useUserBaudrate) {
        askStartAddr();
        return;
    }
    loaderMayBeFast = false;
    askFileCount();
}

// The loader is back at 115200, or did not answer in time: either way the new run begins.
void Worker::windDownDone()
{
    windingDown = false;
    loaderMayBeFast = false;
    startRun();
}

void Worker::askStartAddr()
{
    FileCfg image;
    if (currentImage(&image))
        beginExchange(EX_STARTADDR, ChipDialogue::startAddrLine(image.startAddr));
}

// The image this pass writes; with no file configured the run fails instead.
bool Worker::currentImage(FileCfg *image)
{
    const QList<FileCfg> files = userConfig.fileList();
    if (files.isEmpty()) {
        finish(ErrorCodes::RESULT_FILE_SEND_FAILED);
        return false;
    }
    *image = files.at(static_cast<int>(fileIndex % static_cast<quint32>(files.size())));
    return true;
}

void Worker::sendImage()
{
    FileCfg image;
    if (!currentImage(&image))
        return;
    cmdStage = STEP_RAMCODE_YMODEM_START;
    transmitter->setBlockMode(2);
    transmitter->setFileName(image.filePath);
    imageInFlight = static_cast<int>(fileIndex % static_cast<quint32>(userConfig.fileList().size()));
    fileIndex = (fileIndex + 1) % static_cast<quint32>(userConfig.fileList().size());
    if (!transmitter->startTransmit()) {
        finish(ErrorCodes::RESULT_FILE_SEND_FAILED);
        return;
    }
    cmdStage = STEP_RAMCODE_YMODEM_WAIT;
}

void Worker::imageSent()
{
    ++imagesSent;
    recorder.setImageWritten(imageInFlight);
    useUserBaudrate = false;
    askBaudrate();
}

void Worker::downloadDone()
{
    // Nothing written is nothing passed, whatever the loader counts.
    if (imagesSent == 0) {
        finish(ErrorCodes::RESULT_ARGS_MISSING);
        return;
    }
    cmdStage = STEP_RAMCODE_FILECOUNT_POST;
    writeLine(ChipDialogue::downloadSuccessLine(), true);
    QThread::msleep(1);
    writeLine(ChipDialogue::rebootLine(), false);
    if (!continuousMode) {
        finish(ErrorCodes::RESULT_SUCCESS);
        return;
    }
    reportResult(ErrorCodes::RESULT_SUCCESS);
    restartSoon(NEXT_CHIP_PAUSE_MS);
}

bool Worker::writeLine(const QByteArray &line, bool flush)
{
    if (!serialPort || !serialPort->isOpen())
        return false;
    serialPort->clear(QSerialPort::Input);
    serialPort->write(line);
    return flush ? serialPort->flush() : serialPort->waitForBytesWritten(1);
}

bool Worker::openPort()
{
    if (!serialPort)
        return false;
    if (!serialPort->isOpen()) {
        if (!serialPort->open(QIODevice::ReadWrite))
            return false;
        // Bytes from before this open (a previous chip, line noise) are no answer to us.
        serialPort->clear(QSerialPort::Input);
    }
    return true;
}

// Discarding the output too would throw away a "reboot" still on its way, leaving a passed
// chip in its RAM loader: only stale input is dropped.
void Worker::closePortAfterRun()
{
    if (!serialPort->isOpen())
        return;
    serialPort->flush();
    serialPort->clear(QSerialPort::Input);
    serialPort->close();
}

void Worker::setPortSpeed(quint32 baudrate)
{
    serialPort->setBaudRate(static_cast<qint32>(baudrate), QSerialPort::AllDirections);
}

void Worker::beginRecord()
{
    recorder.begin(serialPortName, workMode == WORK_MODE_ERASE ? QStringLiteral("erase") : QStringLiteral("download"),
                   isContinuousDownload(), userConfig.baudrate());
    imageInFlight = -1;
}

void Worker::reportResult(int code)
{
    emit sigWorkerReportResult(code, recorder.finish(code, ResultMessage::text(code, serialPortName, loaderFile)));
}

void registerWorkerMetaTypes()
{
    qRegisterMetaType<RunRecord>("RunRecord");
    qRegisterMetaType<Worker::ChipCodeVerFlag>("ChipCodeVerFlag");
    qRegisterMetaType<Worker::ChipCodeVerFlag>("ChipCodeVerFlag&");
}
