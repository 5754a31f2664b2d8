#include "simchip.h"

#include "chipfamily.h"
#include "ptylink.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTimer>

namespace {
constexpr int powerUpBaud = 115200;
constexpr int maxLineLength = 512;

QByteArray framed(const QByteArray &text)
{
    return "\r\n" + text + "\r\n";
}

// A name taken from the line must not lead outside the output folder.
QString safeFileName(const QString &name)
{
    QString safe;
    for (const QChar c : name.left(64)) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
                           || (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('.') || c == QLatin1Char('-')
                           || c == QLatin1Char('_');
        safe += plain ? c : QLatin1Char('_');
    }
    while (safe.startsWith(QLatin1Char('.')))
        safe[0] = QLatin1Char('_');
    return safe.isEmpty() ? QStringLiteral("unnamed") : safe;
}
}

SimChip::SimChip(int index, const ChipOptions &chipOptions, const QString &linkPath, const QString &out, bool throttled,
                 QObject *parent)
    : QObject(parent)
    , chipIndex(index)
    , link(linkPath)
    , outDir(out)
    , throttle(throttled)
    , options(chipOptions)
    , active(chipOptions)
    , ptyLink(new PtyLink(this))
    , receiver(new YmodemReceiver(this))
    , queueTimer(new QTimer(this))
    , eraseTimer(new QTimer(this))
{
    ptyLink->setThrottle(throttle);
    queueTimer->setSingleShot(true);
    queueTimer->setTimerType(Qt::PreciseTimer);
    eraseTimer->setSingleShot(true);
    eraseTimer->setTimerType(Qt::PreciseTimer);
    connect(queueTimer, &QTimer::timeout, this, &SimChip::processQueue);
    connect(eraseTimer, &QTimer::timeout, this, &SimChip::finishErase);
    connect(ptyLink, &PtyLink::received, this, &SimChip::onReceived);
    connect(ptyLink, &PtyLink::baudMismatch, this, [this](int bytes, bool fromHost, int, int sentAt) {
        QJsonObject fields{{QStringLiteral("bytes"), bytes},
                           {QStringLiteral("direction"), fromHost ? QStringLiteral("rx") : QStringLiteral("tx")}};
        if (!fromHost)
            fields.insert(QStringLiteral("sentat"), sentAt);
        violation(QStringLiteral("baud mismatch"), fields);
    });
    connect(receiver, &YmodemReceiver::output, this, &SimChip::send);
    connect(receiver, &YmodemReceiver::violation, this, [this](const QString &what) { violation(what); });
    connect(receiver, &YmodemReceiver::fileReceived, this, &SimChip::onFileReceived);
    connect(receiver, &YmodemReceiver::finished, this, &SimChip::onTransferFinished);
    receiver->blockReply = [this](int k) { return blockReply(k); };
    receiver->acceptHeader = [this](const QString &, qint64 size, QString *reason) {
        if (transfer != Transfer::Loader || announcedLoaderSize < 0 || size == announcedLoaderSize)
            return true;
        *reason = QStringLiteral("loader header size %1 differs from %2 in the download line").arg(size).arg(announcedLoaderSize);
        return false;
    };
}

SimChip::~SimChip()
{
    ptyLink->close();
}

bool SimChip::prepare(QString *error)
{
    if (outDir.isEmpty())
        return true;
    return transcript.open(QDir(outDir).filePath(QStringLiteral("chip%1.jsonl").arg(chipIndex)), error);
}

bool SimChip::plug(QString *error)
{
    const bool replug = bootNumber > 0;
    if (!ptyLink->open(link, error))
        return false;
    if (replug)
        state(QStringLiteral("replug"));
    powerUp();
    return true;
}

// Whatever the chip was doing ends with its power: transfer, erase, queued answers, half a line.
void SimChip::dropWork()
{
    receiver->stop();
    eraseTimer->stop();
    queueTimer->stop();
    queue.clear();
    lineBuffer.clear();
    erasing = false;
    transfer = Transfer::None;
}

void SimChip::unplug(const QString &cause)
{
    dropWork();
    ptyLink->close();
    state(QStringLiteral("unplug"), cause);
}

bool SimChip::isPlugged() const
{
    return ptyLink->isOpen();
}

void SimChip::reboot()
{
    state(QStringLiteral("reboot"));
    powerUp();
}

void SimChip::powerUp()
{
    active = options;
    family = ChipFamily::find(active.family);
    dropWork();
    receiver->setTiming(active.cIntervalMs, active.giveUpMs);
    ++bootNumber;
    setChipBaud(powerUpBaud);
    fileCount = active.fileCountStart;
    haveStartAddr = false;
    startAddr = 0;
    announcedLoaderSize = -1;
    inRam = active.ramAtPowerUp;
    state(inRam ? QStringLiteral("ram") : QStringLiteral("rom"));
}

void SimChip::onReceived(const QByteArray &bytes)
{
    if (!receiver->isActive()) {
        takeLines(bytes);
        return;
    }
    const QByteArray rest = receiver->feed(bytes);
    if (!rest.isEmpty() && isPlugged())
        takeLines(rest);
}

// Splits the command dialogue into lines. Empty lines (a leading CR LF) stay with the
// line that follows, so the transcript holds each line exactly as the host sent it.
void SimChip::takeLines(const QByteArray &bytes)
{
    lineBuffer += bytes;
    int segmentStart = 0;
    int lf;
    while ((lf = lineBuffer.indexOf('\n', segmentStart)) >= 0) {
        if (lineBuffer.mid(segmentStart, lf + 1 - segmentStart).trimmed().isEmpty()) {
            segmentStart = lf + 1;
            continue;
        }
        const QByteArray line = lineBuffer.left(lf + 1);
        lineBuffer.remove(0, lf + 1);
        segmentStart = 0;
        log(QStringLiteral("rx"), {{QStringLiteral("line"), Transcript::bytesToText(line)}});
        if (!chipFaults.silent())
            queue.append({line, Transcript::elapsedMs() + chipFaults.delayMs()});
    }
    if (lineBuffer.size() > maxLineLength) {
        violation(QStringLiteral("%1 bytes without a line end dropped").arg(lineBuffer.size()));
        lineBuffer.clear();
    }
    processQueue();
}

void SimChip::processQueue()
{
    while (!queue.isEmpty() && !erasing && !receiver->isActive() && isPlugged()) {
        const qint64 wait = queue.first().due - Transcript::elapsedMs();
        if (wait > 0) {
            queueTimer->start(static_cast<int>(wait));
            return;
        }
        handleLine(queue.takeFirst().line);
    }
}

void SimChip::handleLine(const QByteArray &line)
{
    QByteArray body = line;
    while (body.startsWith('\r') || body.startsWith('\n'))
        body.remove(0, 1);
    const QByteArray command = line.trimmed();
    if (inRam)
        handleRam(command);
    else
        handleRom(body, command);
}

void SimChip::handleRom(const QByteArray &body, const QByteArray &command)
{
    if (command == "version") {
        answer(family->versionAnswer(), QStringLiteral("version"));
        return;
    }
    if (command.startsWith("download")) {
        qint64 size = -1;
        if (!family->matchDownloadLine(body, &size)) {
            violation(QStringLiteral("download line not accepted by the %1 ROM loader: %2")
                          .arg(family->name(), Transcript::bytesToText(body)));
            return;
        }
        announcedLoaderSize = size;
        const bool prompt = !chipFaults.takeDrop(QStringLiteral("download"));
        if (!prompt)
            log(QStringLiteral("fault"), {{QStringLiteral("what"), QStringLiteral("answer to download dropped")}});
        startTransfer(Transfer::Loader, prompt, QByteArrayLiteral("C"));
        return;
    }
    violation(QStringLiteral("unknown command in the ROM loader: %1").arg(Transcript::bytesToText(command)));
}

void SimChip::handleRam(const QByteArray &command)
{
    // One pattern per chip thread: chips answer at the same time.
    static thread_local const QRegularExpression baudrateLine(QStringLiteral("\\Abaudrate ([0-9]{1,8})\\z"));
    static thread_local const QRegularExpression startaddrLine(QStringLiteral("\\Astartaddr 0x([0-9A-Fa-f]{1,8})\\z"));
    const QString text = QString::fromLatin1(command);

    if (command == "version") {
        answer(framed("RAMCODE"), QStringLiteral("version"));
    } else if (command == "ferase_all") {
        erasing = true;
        eraseTimer->start(active.eraseMs);
    } else if (command.startsWith("baudrate")) {
        const QRegularExpressionMatch match = baudrateLine.match(text);
        const int baud = match.hasMatch() ? match.captured(1).toInt() : 0;
        if (baud <= 0) {
            violation(QStringLiteral("bad baudrate line: %1").arg(text));
            answer(framed("ffff"), QStringLiteral("baudrate"));
            return;
        }
        answer(framed(command), QStringLiteral("baudrate"));
        setChipBaud(baud);
    } else if (command.startsWith("startaddr")) {
        const QRegularExpressionMatch match = startaddrLine.match(text);
        if (!match.hasMatch()) {
            violation(QStringLiteral("bad startaddr line: %1").arg(text));
            answer(framed("ffff"), QStringLiteral("startaddr"));
            return;
        }
        if (chipFaults.refuses(QStringLiteral("startaddr"))) {
            answer(framed(command) + framed("ffff"), QStringLiteral("startaddr"));
            return;
        }
        haveStartAddr = true;
        startAddr = match.captured(1).toUInt(nullptr, 16);
        answer(framed(command) + framed("pppp"), QStringLiteral("startaddr"));
    } else if (command == "upgrade") {
        if (!haveStartAddr)
            violation(QStringLiteral("upgrade before any startaddr"));
        answer(framed("upgrade"), QStringLiteral("upgrade"));
        if (chipFaults.unknownOnC())
            log(QStringLiteral("fault"), {{QStringLiteral("what"), QStringLiteral("unknown-on-c")}});
        startTransfer(Transfer::Image, true, chipFaults.unknownOnC() ? framed("unknown cmd!") : QByteArrayLiteral("C"));
    } else if (command == "filecount") {
        answer(framed("fc:" + QByteArray::number(fileCount)), QStringLiteral("filecount"));
    } else if (command == "downloadsucess") {
        // The host expects no answer and moves on to "reboot".
    } else if (command == "reboot") {
        // What the host sent after "reboot" is for the fresh ROM loader.
        const QList<PendingLine> after = queue;
        const QByteArray partial = lineBuffer;
        powerUp();
        queue = after;
        lineBuffer = partial;
    } else {
        violation(QStringLiteral("unknown command in the RAM loader: %1").arg(text));
        answer(framed("unknown cmd!"), QStringLiteral("unknown"));
    }
}

void SimChip::finishErase()
{
    erasing = false;
    answer(framed(chipFaults.refuses(QStringLiteral("ferase_all")) ? "ffff" : "pppp"), QStringLiteral("ferase_all"));
    processQueue();
}

void SimChip::startTransfer(Transfer kind, bool prompt, const QByteArray &firstPrompt)
{
    // Lines that arrived before the transfer began would only be noise inside it.
    queue.clear();
    queueTimer->stop();
    lineBuffer.clear();
    transfer = kind;
    loaderReceived = false;
    nakedBlocks.clear();
    receiver->start(prompt, firstPrompt);
}

ChipFaults::BlockReply SimChip::blockReply(int k)
{
    if (transfer != Transfer::Image)
        return ChipFaults::BlockReply::Ack;
    const ChipFaults::BlockReply reply = chipFaults.takeBlockReply(k, &nakedBlocks);
    static const char *const names[] = {"ack", "nak", "can", "abort-a", "disconnect"};
    if (reply != ChipFaults::BlockReply::Ack)
        log(QStringLiteral("fault"), {{QStringLiteral("what"), QStringLiteral("%1 at block %2").arg(QLatin1String(names[static_cast<int>(reply)])).arg(k)}});
    return reply;
}

void SimChip::onFileReceived(const YmodemReceiver::File &file)
{
    const QByteArray sha = QCryptographicHash::hash(file.data, QCryptographicHash::Sha256).toHex();
    QJsonArray blocks;
    for (int size : file.blocks)
        blocks.append(size);
    QJsonObject fields{{QStringLiteral("name"), file.name},
                       {QStringLiteral("size"), file.size},
                       {QStringLiteral("sha256"), QString::fromLatin1(sha)},
                       {QStringLiteral("blocks"), blocks},
                       {QStringLiteral("acks_us"), QJsonArray{file.firstAckUs, file.lastAckUs}}};
    if (transfer == Transfer::Loader) {
        loaderReceived = true;
        fields.insert(QStringLiteral("kind"), QStringLiteral("loader"));
        fields.insert(QStringLiteral("addr"), static_cast<qint64>(family->loadAddress()));
        fields.insert(QStringLiteral("file"), 0);
        fields.insert(QStringLiteral("path"),
                      storeFile(QStringLiteral("chip%1-boot%2-loader-%3").arg(chipIndex).arg(bootNumber).arg(safeFileName(file.name)), file.data));
    } else {
        ++fileCount;
        fields.insert(QStringLiteral("kind"), QStringLiteral("image"));
        fields.insert(QStringLiteral("addr"), static_cast<qint64>(startAddr));
        fields.insert(QStringLiteral("file"), fileCount);
        fields.insert(QStringLiteral("path"), storeFile(QStringLiteral("chip%1-boot%2-file%3-0x%4.bin")
                                                            .arg(chipIndex)
                                                            .arg(bootNumber)
                                                            .arg(fileCount)
                                                            .arg(startAddr, 8, 16, QLatin1Char('0')),
                                                        file.data));
    }
    log(QStringLiteral("image"), fields);
}

void SimChip::onTransferFinished(YmodemReceiver::Outcome outcome)
{
    const Transfer finished = transfer;
    transfer = Transfer::None;
    if (outcome == YmodemReceiver::Outcome::Disconnected) {
        unplug(QStringLiteral("disconnect fault"));
        return;
    }
    if (finished == Transfer::Loader && loaderReceived) {
        inRam = true;
        state(QStringLiteral("ram"));
    }
    processQueue();
}

void SimChip::answer(const QByteArray &bytes, const QString &command)
{
    if (chipFaults.takeDrop(command)) {
        log(QStringLiteral("fault"), {{QStringLiteral("what"), QStringLiteral("answer to %1 dropped").arg(command)}});
        return;
    }
    send(bytes);
    log(QStringLiteral("tx"), {{QStringLiteral("data"), Transcript::bytesToText(bytes)}});
}

void SimChip::send(const QByteArray &bytes)
{
    if (!chipFaults.silent())
        ptyLink->send(bytes);
}

void SimChip::setChipBaud(int baud)
{
    chipBaud = baud;
    ptyLink->setChipBaud(baud);
}

void SimChip::log(const QString &event, const QJsonObject &fields)
{
    transcript.write(event, fields, isPlugged() ? ptyLink->hostBaud() : 0, chipBaud);
}

void SimChip::violation(const QString &what, QJsonObject fields)
{
    fields.insert(QStringLiteral("what"), what);
    log(QStringLiteral("violation"), fields);
}

void SimChip::state(const QString &what, const QString &cause)
{
    QJsonObject fields{{QStringLiteral("what"), what}, {QStringLiteral("boot"), bootNumber}};
    if (!cause.isEmpty())
        fields.insert(QStringLiteral("cause"), cause);
    log(QStringLiteral("state"), fields);
}

QString SimChip::storeFile(const QString &name, const QByteArray &data)
{
    if (outDir.isEmpty())
        return QString();
    QFile out(QDir(outDir).filePath(name));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(data) != data.size()) {
        violation(QStringLiteral("cannot store %1: %2").arg(name, out.errorString()));
        return QString();
    }
    return name;
}
