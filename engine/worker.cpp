#include "worker.h"

#include "chipdialogue.h"
#include "errorcodes.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <QUuid>

namespace {

constexpr quint32 ROM_BAUDRATE = 115200;
constexpr int TICK_MS = 1;
constexpr int LOADER_SETTLE_MS = 100;
constexpr int NEXT_CHIP_PAUSE_MS = 2000;
constexpr int ERASE_BOUND_MS = 30000;
// A continuous worker whose adapter is gone retries at this pace instead of every tick.
constexpr int PORT_RETRY_MS = 1000;
constexpr int WAIT_LIMIT_TICKS = 1000;
constexpr int ERASE_WAIT_LIMIT_TICKS = 5000;
constexpr int RESEND_EVERY_TICKS = 200;

// Lower-case hex of the file's SHA-256, or empty when it cannot be read.
QString fileSha256(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

QString familyName(Worker::ChipCodeVerFlag code)
{
    switch (code) {
    case Worker::CodeInROM_ZR740A:
        return QStringLiteral("ZR740A");
    case Worker::CodeInROM_ZR740C:
        return QStringLiteral("ZR740C");
    case Worker::CodeInROM_ZR610A:
        return QStringLiteral("ZR610A");
    default:
        return QString();
    }
}

} // namespace

Worker::Worker()
    : QObject(nullptr)
{
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

    if (!processTimer) {
        processTimer = new QTimer(this);
        processTimer->setTimerType(Qt::PreciseTimer);
        connect(processTimer, &QTimer::timeout, this, &Worker::slotWorkerProcessCheck, Qt::UniqueConnection);
        processTimer->setInterval(TICK_MS);
    }
    if (!eraseTimer) {
        eraseTimer = new QTimer(this);
        eraseTimer->setTimerType(Qt::PreciseTimer);
        connect(eraseTimer, &QTimer::timeout, this, &Worker::slotEraseTimeout, Qt::UniqueConnection);
    }
    eraseTimer->setInterval(ERASE_BOUND_MS);
    eraseTimer->setSingleShot(true);

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
    userConfig = config;
    continuousMode = userConfig.downloadMode() == UserConfig::DOWNLOAD_MODE_CONTINUOUS;
}

void Worker::slotSetWorkerPortName(QString name)
{
    serialPortName = name;
}

void Worker::slotSetWorkerMode(int mode)
{
    workMode = mode;
}

void Worker::slotSetEraseChipFirst(bool mode)
{
    eraseChipFirst = mode;
}

void Worker::slotWorkerStart()
{
    const QList<FileCfg> files = userConfig.fileList();
    configuredImages.clear();
    for (const FileCfg &file : files) {
        HashedImage hashed;
        hashed.image.path = file.filePath;
        hashed.image.address = file.startAddr;
        configuredImages.append(hashed);
    }
    beginRecord();
    for (const FileCfg &file : files) {
        if (!QFileInfo::exists(file.filePath)) {
            reportResult(ErrorCodes::RESULT_ARG_FILENAME_INVALID);
            return;
        }
    }
    if (!serialPort)
        slotWorkerInit();

    eraseConfirmed = false;
    filesDone = -1;
    fileIndex = 0;
    chipCodeVer = CodeUnKnown;
    rxBuffer.clear();
    cmdStage = STEP_INITIAL;
    portFailureReported = false;
    // An erase bound left over from an interrupted erase run must not end this run.
    eraseTimer->stop();

    if (serialPort->isOpen() && serialPort->portName() != serialPortName)
        serialPort->close();
    serialPort->setPortName(serialPortName);
    if (openPort()) {
        setPortSpeed(ROM_BAUDRATE);
        processTimer->start(TICK_MS);
        return;
    }
    reportResult(ErrorCodes::RESULT_PORT_OPEN_FAILED);
    if (isContinuousDownload()) {
        // Production goes on by itself once the adapter is back.
        portFailureReported = true;
        processTimer->start(PORT_RETRY_MS);
    } else {
        processTimer->stop();
    }
}

void Worker::slotSerialReadyRead()
{
    if (!serialPort || isYmodemStep())
        return;
    ChipDialogue::collect(serialPort, cmdStage == STEP_CMD_VERSION_WAIT, &rxBuffer);
    if (handleAnswer()) {
        serialPort->readAll();
        serialPort->clear(QSerialPort::Input);
        rxBuffer.clear();
    }
}

// An unplugged adapter is reported once and then stays silent while the port is still "open":
// close it so the next attempt reopens the device and finds out whether it came back.
void Worker::slotSerialErrorOccurred(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ResourceError || !serialPort || !serialPort->isOpen())
        return;
    serialPort->close();
    if (isContinuousDownload() && !isYmodemStep() && processTimer->isActive()
        && cmdStage != STEP_WORK_STOP)
        cmdStage = STEP_INITIAL;
}

void Worker::slotWorkerProcessCheck()
{
    if (workMode != WORK_MODE_DOWNLOAD && workMode != WORK_MODE_ERASE)
        return;
    if (runSharedStep())
        return;
    if (workMode == WORK_MODE_DOWNLOAD)
        runDownloadStep();
    else
        runEraseStep();
}

void Worker::slotEraseTimeout()
{
    if (workMode != WORK_MODE_ERASE)
        return;
    // The bound may end the run in the middle of the loader upload: cancel it on the line too.
    if (isYmodemStep() && transmitter)
        transmitter->stopTransmit();
    eraseConfirmed = false;
    resultCode = ErrorCodes::RESULT_ERASE_ALL_READ_FAILED;
    cmdStage = STEP_WORK_STOP;
}

void Worker::slotTransmitProgress(int progress)
{
    if (cmdStage == STEP_RAMCODE_YMODEM_WAIT)
        emit sigWorkerReportYmodemProgress(imagesSent + 1, progress);
}

void Worker::slotTransmitStatus(YmodemFileTransmit::Status status)
{
    switch (status) {
    case YmodemFileTransmit::STATUS_FINISHED:
        if (cmdStage == STEP_ROMCODE_YMODEM_WAIT)
            cmdStage = STEP_ROMCODE_YMODEM_POST;
        else if (cmdStage == STEP_RAMCODE_YMODEM_WAIT)
            cmdStage = STEP_RAMCODE_YMODEM_POST;
        break;
    case YmodemFileTransmit::STATUS_ABORTED:
    case YmodemFileTransmit::STATUS_TIMED_OUT:
    case YmodemFileTransmit::STATUS_ERROR:
        eraseConfirmed = false;
        if (cmdStage == STEP_ROMCODE_YMODEM_WAIT)
            cmdStage = STEP_ROMCODE_YMODEM_ERROR;
        else if (cmdStage == STEP_RAMCODE_YMODEM_WAIT)
            cmdStage = STEP_RAMCODE_YMODEM_ERROR;
        break;
    default:
        break;
    }
}

bool Worker::writeLine(const QByteArray &line, bool flush)
{
    if (!serialPort || !serialPort->isOpen())
        return false;
    serialPort->clear(QSerialPort::Input);
    serialPort->write(line);
    return flush ? serialPort->flush() : serialPort->waitForBytesWritten(1);
}

bool Worker::sendCmdVersion()
{
    return writeLine(ChipDialogue::versionLine(), false);
}

bool Worker::sendCmdDownload(ChipCodeVerFlag codeVer)
{
    const QString loader = ChipDialogue::ramcodeFilePath(codeVer);
    if (loader.isEmpty())
        return false;
    return writeLine(ChipDialogue::downloadLine(codeVer, QFileInfo(loader).size()), true);
}

bool Worker::sendCmdEraseAll()
{
    return writeLine(ChipDialogue::eraseAllLine(), true);
}

bool Worker::sendCmdBaudrate(quint32 baudrate)
{
    return writeLine(ChipDialogue::baudrateLine(baudrate), true);
}

bool Worker::sendCmdStartAddr(quint32 startAddr)
{
    const QByteArray line = ChipDialogue::startAddrLine(startAddr);
    lastCmd = QString::fromLatin1(line).trimmed();
    return writeLine(line, true);
}

bool Worker::sendCmdUpgrade()
{
    return writeLine(ChipDialogue::upgradeLine(), true);
}

bool Worker::sendCmdFileCount()
{
    return writeLine(ChipDialogue::fileCountLine(), true);
}

bool Worker::sendCmdDownloadSuccess()
{
    writeLine(ChipDialogue::downloadSuccessLine(), true);
    return true;
}

bool Worker::sendCmdReboot()
{
    return writeLine(ChipDialogue::rebootLine(), false);
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

void Worker::restartProcessTimer(int intervalMs)
{
    processTimer->start(intervalMs);
}

void Worker::failWith(int code)
{
    resultCode = code;
    cmdStage = STEP_WORK_STOP;
}

// A continuous worker whose adapter vanished under a send starts over, where the outage is
// reported once as a port that cannot be opened.
void Worker::failSend(int code)
{
    if (isContinuousDownload() && !serialPort->isOpen())
        cmdStage = STEP_INITIAL;
    else
        failWith(code);
}

void Worker::reportOrFail(int code)
{
    if (isContinuousDownload()) {
        reportResult(code);
        cmdStage = STEP_INITIAL;
    } else {
        failWith(code);
    }
}

void Worker::restartOrFail(int code)
{
    if (isContinuousDownload())
        cmdStage = STEP_INITIAL;
    else
        failWith(code);
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

bool Worker::resendDue(int counter) const
{
    return counter < WAIT_LIMIT_TICKS && counter % RESEND_EVERY_TICKS == 0;
}

// The image this pass writes; with no file configured the run fails instead.
bool Worker::currentImage(FileCfg *image)
{
    const QList<FileCfg> files = userConfig.fileList();
    if (files.isEmpty()) {
        reportOrFail(ErrorCodes::RESULT_FILE_SEND_FAILED);
        return false;
    }
    *image = files.at(static_cast<int>(fileIndex % static_cast<quint32>(files.size())));
    return true;
}

bool Worker::handleAnswer()
{
    const QString text = ChipDialogue::answerText(rxBuffer);
    switch (cmdStage) {
    case STEP_CMD_VERSION_WAIT: {
        const ChipCodeVerFlag code = ChipDialogue::recognizeVersion(text);
        if (code == CodeUnKnown)
            return false;
        chipCodeVer = code;
        record.chipFamily = familyName(code);
        record.loaderState = (code & 0xF000) == CodeInRAM ? QStringLiteral("ram") : QStringLiteral("rom");
        cmdStage = STEP_CMD_VERSION_POST;
        return true;
    }
    case STEP_ROMCODE_DOWNLOAD_WAIT:
        if (!ChipDialogue::isReceiverReady(text))
            return false;
        cmdStage = STEP_ROMCODE_DOWNLOAD_POST;
        return true;
    case STEP_RAMCODE_ERASEALL_WAIT:
        if (!ChipDialogue::isEraseConfirmed(text))
            return false;
        eraseConfirmed = true;
        cmdStage = STEP_RAMCODE_ERASEALL_POST;
        return true;
    case STEP_RAMCODE_BAUDRATE_WAIT:
        if (!ChipDialogue::isBaudrateAccepted(text))
            return false;
        cmdStage = STEP_RAMCODE_BAUDRATE_POST;
        return true;
    case STEP_RAMCODE_STARTADDR_WAIT:
        if (!ChipDialogue::isStartAddrAccepted(text, lastCmd))
            return false;
        cmdStage = STEP_RAMCODE_STARTADDR_POST;
        return true;
    case STEP_RAMCODE_UPGRADE_WAIT:
        if (!ChipDialogue::isUpgradeReady(text))
            return false;
        cmdStage = STEP_RAMCODE_UPGRADE_POST;
        return true;
    case STEP_RAMCODE_FILECOUNT_WAIT: {
        qint8 count = 0;
        if (!ChipDialogue::parseFileCount(text, &count))
            return false;
        filesDone = count;
        cmdStage = STEP_RAMCODE_FILECOUNT_POST;
        return true;
    }
    default:
        return false;
    }
}

// Steps that both flows take alike: asking for the version and uploading the RAM loader.
bool Worker::runSharedStep()
{
    switch (cmdStage) {
    case STEP_CMD_VERSION_SEND:
        if (!sendCmdVersion()) {
            failSend(ErrorCodes::RESULT_VERSION_SEND_FAILED);
            break;
        }
        cmdStage = STEP_CMD_VERSION_WAIT;
        break;

    case STEP_CMD_VERSION_WAIT:
        ++versionWaitTicks;
        if (versionWaitTicks >= WAIT_LIMIT_TICKS)
            restartOrFail(ErrorCodes::RESULT_VERSION_READ_FAILED);
        else if (resendDue(versionWaitTicks))
            cmdStage = STEP_CMD_VERSION_SEND;
        break;

    case STEP_ROMCODE_DOWNLOAD_POST:
        cmdStage = STEP_ROMCODE_YMODEM_START;
        break;

    case STEP_ROMCODE_YMODEM_WAIT:
    case STEP_RAMCODE_YMODEM_WAIT:
        break;

    case STEP_ROMCODE_YMODEM_POST: {
        openPort();
        const QString loader = ChipDialogue::ramcodeFilePath(chipCodeVer);
        record.loaderName = QFileInfo(loader).fileName();
        record.loaderSha256 = fileSha256(loader);
        cmdStage = STEP_RAMCODE_WAIT_READY;
        break;
    }

    case STEP_ROMCODE_YMODEM_ERROR:
        openPort();
        reportOrFail(ErrorCodes::RESULT_RAMCODE_SEND_FAILED);
        break;

    default:
        return false;
    }
    return true;
}

void Worker::resetWaitCounters()
{
    versionWaitTicks = downloadWaitTicks = fileCountWaitTicks = baudrateWaitTicks = 0;
    startAddrWaitTicks = upgradeWaitTicks = eraseWaitTicks = 0;
}

void Worker::runDownloadStep()
{
    switch (cmdStage) {
    case STEP_INITIAL:
        beginRecord();
        resultCode = ErrorCodes::RESULT_SUCCESS;
        resetWaitCounters();
        fileIndex = 0;
        imagesSent = 0;
        loaderCountKnown = false;
        useUserBaudrate = false;
        rxBuffer.clear();
        setPortSpeed(ROM_BAUDRATE);
        if (!openPort()) {
            if (!continuousMode) {
                failWith(ErrorCodes::RESULT_PORT_OPEN_FAILED);
                break;
            }
            // One report per outage; the fail counter and the log must not flood.
            if (!portFailureReported) {
                portFailureReported = true;
                chipCodeVer = CodeUnKnown;
                reportResult(ErrorCodes::RESULT_PORT_OPEN_FAILED);
            }
            restartProcessTimer(PORT_RETRY_MS);
            break;
        }
        portFailureReported = false;
        restartProcessTimer(TICK_MS);
        cmdStage = STEP_CMD_VERSION_SEND;
        break;

    case STEP_CMD_VERSION_POST:
        if (chipCodeVer == CodeUnKnown) {
            failWith(ErrorCodes::RESULT_UNKNOWN);
        } else if ((chipCodeVer & 0xF000) == CodeInROM) {
            emit sigWorkerReadyToWork(chipCodeVer);
            cmdStage = STEP_ROMCODE_DOWNLOAD_SEND;
            restartProcessTimer(TICK_MS);
        } else if ((chipCodeVer & 0xF000) == CodeInRAM) {
            cmdStage = eraseChipFirst ? STEP_RAMCODE_ERASEALL_SEND : STEP_RAMCODE_FILECOUNT_SEND;
            restartProcessTimer(TICK_MS);
        }
        break;

    case STEP_ROMCODE_DOWNLOAD_SEND:
        if (!sendCmdDownload(chipCodeVer)) {
            failSend(ErrorCodes::RESULT_DOWNLOAD_SEND_FAILED);
            break;
        }
        cmdStage = STEP_ROMCODE_DOWNLOAD_WAIT;
        break;

    case STEP_ROMCODE_DOWNLOAD_WAIT:
        if (++downloadWaitTicks > WAIT_LIMIT_TICKS)
            reportOrFail(ErrorCodes::RESULT_RAMCODE_SEND_FAILED);
        break;

    case STEP_ROMCODE_YMODEM_START:
        transmitter->setBlockMode(1);
        transmitter->setFileName(ChipDialogue::ramcodeFilePath(chipCodeVer));
        if (!transmitter->startTransmit()) {
            failWith(ErrorCodes::RESULT_RAMCODE_SEND_FAILED);
            break;
        }
        cmdStage = STEP_ROMCODE_YMODEM_WAIT;
        break;

    case STEP_RAMCODE_WAIT_READY:
        // The freshly started RAM loader needs a moment before it listens.
        restartProcessTimer(LOADER_SETTLE_MS);
        cmdStage = eraseChipFirst ? STEP_RAMCODE_ERASEALL_SEND : STEP_RAMCODE_FILECOUNT_SEND;
        break;

    case STEP_RAMCODE_ERASEALL_SEND:
        if (!sendCmdEraseAll()) {
            failSend(ErrorCodes::RESULT_ERASE_ALL_SEND_FAILED);
            break;
        }
        restartProcessTimer(TICK_MS);
        cmdStage = STEP_RAMCODE_ERASEALL_WAIT;
        break;

    case STEP_RAMCODE_ERASEALL_WAIT:
        if (++eraseWaitTicks > ERASE_WAIT_LIMIT_TICKS)
            failWith(ErrorCodes::RESULT_ERASE_ALL_READ_FAILED);
        break;

    case STEP_RAMCODE_ERASEALL_POST:
        if (!eraseConfirmed) {
            failWith(ErrorCodes::RESULT_ERASE_ALL_READ_FAILED);
            break;
        }
        eraseConfirmed = false;
        cmdStage = STEP_RAMCODE_FILECOUNT_SEND;
        break;

    case STEP_RAMCODE_FILECOUNT_SEND:
        if (!sendCmdFileCount()) {
            failSend(ErrorCodes::RESULT_FILECOUNT_SEND_FAILED);
            break;
        }
        restartProcessTimer(TICK_MS);
        cmdStage = STEP_RAMCODE_FILECOUNT_WAIT;
        break;

    case STEP_RAMCODE_FILECOUNT_WAIT:
        ++fileCountWaitTicks;
        if (fileCountWaitTicks > WAIT_LIMIT_TICKS)
            restartOrFail(ErrorCodes::RESULT_FILECOUNT_READ_FAILED);
        else if (resendDue(fileCountWaitTicks))
            cmdStage = STEP_RAMCODE_FILECOUNT_SEND;
        break;

    case STEP_RAMCODE_FILECOUNT_POST: {
        const qint8 fileCount = userConfig.validFileCount();
        // Every image sent in this run must have raised the loader's count by one: an image
        // the loader did not keep, or a count left from an earlier run on the same board,
        // must never pass for a written image.
        if (!loaderCountKnown) {
            loaderCountKnown = true;
            loaderCountAtStart = filesDone;
        } else if (filesDone != loaderCountAtStart + imagesSent) {
            reportOrFail(ErrorCodes::RESULT_FILE_SEND_FAILED);
            break;
        }
        if (imagesSent < fileCount) {
            useUserBaudrate = true;
            cmdStage = STEP_RAMCODE_BAUDRATE_SEND;
            break;
        }
        if (fileCount <= 0 && filesDone < 0) {
            // The loader asks for a file while none is configured: nothing can be sent.
            reportOrFail(ErrorCodes::RESULT_FILE_SEND_FAILED);
            break;
        }
        sendCmdDownloadSuccess();
        QThread::msleep(1);
        sendCmdReboot();
        resultCode = ErrorCodes::RESULT_SUCCESS;
        if (!continuousMode) {
            cmdStage = STEP_WORK_STOP;
            break;
        }
        reportResult(ErrorCodes::RESULT_SUCCESS);
        // The next chip is looked for only after the operator had time to swap boards.
        restartProcessTimer(NEXT_CHIP_PAUSE_MS);
        cmdStage = STEP_INITIAL;
        break;
    }

    case STEP_RAMCODE_BAUDRATE_SEND:
        if (!sendCmdBaudrate(useUserBaudrate ? userConfig.baudrate() : ROM_BAUDRATE)) {
            failSend(ErrorCodes::RESULT_BAUDRATE_SEND_FAILED);
            break;
        }
        cmdStage = STEP_RAMCODE_BAUDRATE_WAIT;
        break;

    case STEP_RAMCODE_BAUDRATE_WAIT:
        ++baudrateWaitTicks;
        if (baudrateWaitTicks > WAIT_LIMIT_TICKS) {
            restartOrFail(ErrorCodes::RESULT_BAUDRATE_READ_FAILED);
        } else if (resendDue(baudrateWaitTicks)) {
            // The loader may have switched without its answer reaching us: follow it first.
            setPortSpeed(useUserBaudrate ? userConfig.baudrate() : ROM_BAUDRATE);
            cmdStage = STEP_RAMCODE_BAUDRATE_SEND;
        }
        break;

    case STEP_RAMCODE_BAUDRATE_POST:
        if (useUserBaudrate) {
            setPortSpeed(userConfig.baudrate());
            cmdStage = STEP_RAMCODE_STARTADDR_SEND;
        } else {
            setPortSpeed(ROM_BAUDRATE);
            cmdStage = STEP_RAMCODE_FILECOUNT_SEND;
        }
        break;

    case STEP_RAMCODE_STARTADDR_SEND: {
        FileCfg image;
        if (!currentImage(&image))
            break;
        if (!sendCmdStartAddr(image.startAddr)) {
            failSend(ErrorCodes::RESULT_STARTADDR_SEND_FAILED);
            break;
        }
        cmdStage = STEP_RAMCODE_STARTADDR_WAIT;
        break;
    }

    case STEP_RAMCODE_STARTADDR_WAIT:
        ++startAddrWaitTicks;
        if (startAddrWaitTicks > WAIT_LIMIT_TICKS)
            reportOrFail(ErrorCodes::RESULT_STARTADDR_READ_FAILED);
        else if (resendDue(startAddrWaitTicks))
            cmdStage = STEP_RAMCODE_STARTADDR_SEND;
        break;

    case STEP_RAMCODE_STARTADDR_POST:
        cmdStage = STEP_RAMCODE_UPGRADE_SEND;
        break;

    case STEP_RAMCODE_UPGRADE_SEND:
        if (!sendCmdUpgrade()) {
            failSend(ErrorCodes::RESULT_UPGRADE_SEND_FAILED);
            break;
        }
        cmdStage = STEP_RAMCODE_UPGRADE_WAIT;
        break;

    case STEP_RAMCODE_UPGRADE_WAIT:
        ++upgradeWaitTicks;
        if (upgradeWaitTicks > WAIT_LIMIT_TICKS)
            reportOrFail(ErrorCodes::RESULT_FILE_SEND_FAILED);
        else if (resendDue(upgradeWaitTicks))
            cmdStage = STEP_RAMCODE_UPGRADE_SEND;
        break;

    case STEP_RAMCODE_UPGRADE_POST:
        cmdStage = STEP_RAMCODE_YMODEM_START;
        break;

    case STEP_RAMCODE_YMODEM_START: {
        FileCfg image;
        if (!currentImage(&image))
            break;
        transmitter->setBlockMode(2);
        transmitter->setFileName(image.filePath);
        imageInFlight = static_cast<int>(fileIndex % static_cast<quint32>(userConfig.fileList().size()));
        fileIndex = (fileIndex + 1) % static_cast<quint32>(userConfig.fileList().size());
        if (!transmitter->startTransmit()) {
            failWith(ErrorCodes::RESULT_FILE_SEND_FAILED);
            break;
        }
        cmdStage = STEP_RAMCODE_YMODEM_WAIT;
        break;
    }

    case STEP_RAMCODE_YMODEM_POST:
        openPort();
        ++imagesSent;
        if (imageInFlight >= 0 && imageInFlight < record.images.size())
            record.images[imageInFlight].written = true;
        useUserBaudrate = false;
        cmdStage = STEP_RAMCODE_BAUDRATE_SEND;
        break;

    case STEP_RAMCODE_YMODEM_ERROR:
        openPort();
        reportOrFail(ErrorCodes::RESULT_FILE_SEND_FAILED);
        break;

    case STEP_WORK_STOP:
        if (!continuousMode) {
            processTimer->stop();
            closePortAfterRun();
            reportResult(resultCode);
            break;
        }
        reportResult(resultCode);
        chipCodeVer = CodeUnKnown;
        cmdStage = STEP_INITIAL;
        break;

    default:
        break;
    }
}

void Worker::runEraseStep()
{
    switch (cmdStage) {
    case STEP_INITIAL:
        beginRecord();
        resultCode = ErrorCodes::RESULT_SUCCESS;
        resetWaitCounters();
        eraseConfirmed = false;
        rxBuffer.clear();
        setPortSpeed(ROM_BAUDRATE);
        openPort();
        eraseTimer->start(ERASE_BOUND_MS);
        cmdStage = STEP_CMD_VERSION_SEND;
        break;

    case STEP_CMD_VERSION_POST:
        if ((chipCodeVer & 0xF000) == CodeInROM)
            cmdStage = STEP_ROMCODE_DOWNLOAD_SEND;
        else if ((chipCodeVer & 0xF000) == CodeInRAM)
            cmdStage = STEP_RAMCODE_ERASEALL_SEND;
        else
            failWith(ErrorCodes::RESULT_UNKNOWN);
        break;

    case STEP_ROMCODE_DOWNLOAD_SEND:
        if (ChipDialogue::ramcodeFilePath(chipCodeVer).isEmpty()) {
            failWith(ErrorCodes::RESULT_UNKNOWN);
            break;
        }
        if (!sendCmdDownload(chipCodeVer)) {
            failWith(ErrorCodes::RESULT_DOWNLOAD_SEND_FAILED);
            break;
        }
        cmdStage = STEP_ROMCODE_DOWNLOAD_WAIT;
        break;

    case STEP_ROMCODE_DOWNLOAD_WAIT:
        break;

    case STEP_ROMCODE_YMODEM_START:
        transmitter->setBlockMode(1);
        transmitter->setFileName(ChipDialogue::ramcodeFilePath(chipCodeVer));
        if (transmitter->startTransmit())
            cmdStage = STEP_ROMCODE_YMODEM_WAIT;
        break;

    case STEP_RAMCODE_WAIT_READY:
        restartProcessTimer(LOADER_SETTLE_MS);
        cmdStage = STEP_RAMCODE_ERASEALL_SEND;
        break;

    case STEP_RAMCODE_ERASEALL_SEND:
        if (!sendCmdEraseAll())
            failWith(ErrorCodes::RESULT_ERASE_ALL_SEND_FAILED);
        else
            cmdStage = STEP_RAMCODE_ERASEALL_WAIT;
        restartProcessTimer(TICK_MS);
        break;

    case STEP_RAMCODE_ERASEALL_WAIT:
        break;

    case STEP_RAMCODE_ERASEALL_POST:
        resultCode = eraseConfirmed ? ErrorCodes::RESULT_SUCCESS : ErrorCodes::RESULT_ERASE_ALL_READ_FAILED;
        cmdStage = STEP_WORK_STOP;
        break;

    case STEP_WORK_STOP:
        closePortAfterRun();
        processTimer->stop();
        eraseTimer->stop();
        reportResult(resultCode);
        break;

    default:
        break;
    }
}

void Worker::beginRecord()
{
    record = RunRecord();
    record.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record.startedAt = QDateTime::currentDateTimeUtc();
    record.host = QSysInfo::machineHostName();
    record.port = serialPortName;
    record.workMode = workMode == WORK_MODE_ERASE ? QStringLiteral("erase") : QStringLiteral("download");
    record.continuous = isContinuousDownload();
    record.baudrate = userConfig.baudrate();
    record.appVersion = QCoreApplication::applicationVersion();
    if (record.appVersion.isEmpty())
        record.appVersion = QStringLiteral(ZDZ_PROJECT_VERSION);
    // A continuous line starts a record per chip: hash again only what changed on disk.
    for (HashedImage &hashed : configuredImages) {
        const QFileInfo info(hashed.image.path);
        const qint64 size = info.isFile() ? info.size() : -1;
        if (size != hashed.image.size || info.lastModified() != hashed.modified || hashed.image.sha256.isEmpty()) {
            hashed.image.size = size;
            hashed.modified = info.lastModified();
            hashed.image.sha256 = size < 0 ? QString() : fileSha256(hashed.image.path);
            if (hashed.image.sha256.isEmpty())
                hashed.image.size = -1;
        }
        record.images.append(hashed.image);
    }
    imageInFlight = -1;
}

void Worker::reportResult(int code)
{
    record.code = code;
    record.message = ErrorCodes::errorString(code);
    record.finishedAt = QDateTime::currentDateTimeUtc();
    emit sigWorkerReportResult(code, record);
}

void registerWorkerMetaTypes()
{
    qRegisterMetaType<RunRecord>("RunRecord");
    qRegisterMetaType<Worker::ChipCodeVerFlag>("ChipCodeVerFlag");
    qRegisterMetaType<Worker::ChipCodeVerFlag>("ChipCodeVerFlag&");
}
