#include "chipdialogue.h"

#include <QIODevice>
#include <QStringList>

#include <limits>

namespace {

const char *const ZR740A_BUILD = "Jun 19 2019/21:01:04";
const char *const ZR740C_BUILD = "Mar 14 2021/00:23:32";
const char *const ZR610A_BUILD_MONTH = "Jan";
const char *const RAMCODE_MARKER = "RAMCODE";

QByteArray keywordLine(const char *keyword)
{
    return QStringLiteral("%1 \r\n").arg(QLatin1String(keyword)).toUtf8();
}

} // namespace

QByteArray ChipDialogue::versionLine()
{
    return keywordLine("version");
}

QByteArray ChipDialogue::downloadLine(Worker::ChipCodeVerFlag codeVer, qint64 loaderSize)
{
    const QLatin1String keyword("download");
    switch (codeVer) {
    case Worker::CodeInROM_ZR740A:
        return QStringLiteral("%1 \r\n").arg(keyword).toUtf8();
    case Worker::CodeInROM_ZR740C:
        return QStringLiteral("%1 [rambin][0x%2] [%3]\r\n")
            .arg(keyword, QString::number(0x20000000, 16), QString::number(loaderSize))
            .toUtf8();
    case Worker::CodeInROM_ZR610A:
        return QStringLiteral("%1 [rambin] [0x%2] [%3]\r\n")
            .arg(keyword, QString::number(0x20008000, 16), QString::number(loaderSize))
            .toUtf8();
    default:
        return QByteArray();
    }
}

QByteArray ChipDialogue::eraseAllLine()
{
    return keywordLine("ferase_all");
}

QByteArray ChipDialogue::baudrateLine(quint32 baudrate)
{
    return QString::asprintf("%s %u\r\n", "baudrate", baudrate).toUtf8();
}

QByteArray ChipDialogue::startAddrLine(quint32 startAddr)
{
    return QString::asprintf("\r\n%s 0x%08X\r\n", "startaddr", startAddr).toUtf8();
}

QByteArray ChipDialogue::upgradeLine()
{
    return keywordLine("upgrade");
}

QByteArray ChipDialogue::fileCountLine()
{
    return QStringLiteral("\r\n%1\r\n").arg(QLatin1String("filecount")).toUtf8();
}

QByteArray ChipDialogue::downloadSuccessLine()
{
    return QByteArrayLiteral("\r\ndownloadsucess\r\n");
}

QByteArray ChipDialogue::rebootLine()
{
    return keywordLine("reboot");
}

QString ChipDialogue::ramcodeFilePath(Worker::ChipCodeVerFlag codeVer)
{
    switch (codeVer) {
    case Worker::CodeInROM_ZR740A:
        return QStringLiteral(":/bootram_bins/ramcode_zr740a.bin");
    case Worker::CodeInROM_ZR740C:
        return QStringLiteral(":/bootram_bins/ramcode_zr740c.bin");
    case Worker::CodeInROM_ZR610A:
        return QStringLiteral(":/bootram_bins/ramcode_zr610a.bin");
    default:
        return QString();
    }
}

void ChipDialogue::collect(QIODevice *port, bool wholeLinesOnly, QByteArray *rxBuffer)
{
    if (!port || port->bytesAvailable() <= 0)
        return;
    if (wholeLinesOnly) {
        while (port->canReadLine()) {
            QByteArray line = port->readLine();
            line.replace('\0', ' ');
            rxBuffer->append(line);
        }
    } else {
        rxBuffer->append(port->readAll());
    }
    if (rxBuffer->size() > MaxCollectedBytes)
        rxBuffer->remove(0, rxBuffer->size() - MaxCollectedBytes);
}

QString ChipDialogue::answerText(const QByteArray &rxBuffer)
{
    const int nul = rxBuffer.indexOf('\0');
    return QString::fromLatin1(nul < 0 ? rxBuffer : rxBuffer.left(nul));
}

Worker::ChipCodeVerFlag ChipDialogue::recognizeVersion(const QString &text)
{
    if (text.contains(QLatin1String(ZR740A_BUILD)))
        return Worker::CodeInROM_ZR740A;
    if (text.contains(QLatin1String(ZR740C_BUILD)))
        return Worker::CodeInROM_ZR740C;
    if (text.contains(QLatin1String(ZR610A_BUILD_MONTH)))
        return Worker::CodeInROM_ZR610A;
    if (text.contains(QLatin1String(RAMCODE_MARKER)))
        return Worker::CodeInRAM;
    return Worker::CodeUnKnown;
}

bool ChipDialogue::isReceiverReady(const QString &text)
{
    return text.contains(QLatin1Char('C'));
}

bool ChipDialogue::isEraseConfirmed(const QString &text)
{
    return text.contains(QLatin1String("pppp"));
}

bool ChipDialogue::isBaudrateAccepted(const QString &text)
{
    return text.contains(QLatin1String("baudrate"));
}

bool ChipDialogue::isStartAddrAccepted(const QString &text, const QString &lastCmd)
{
    return text.contains(lastCmd) && text.contains(QLatin1String("pppp"));
}

bool ChipDialogue::isUpgradeReady(const QString &text)
{
    return text.contains(QLatin1String("upgrade")) && text.contains(QLatin1Char('C'));
}

bool ChipDialogue::parseFileCount(const QString &text, qint8 *count)
{
    if (!text.contains(QLatin1String("fc:")))
        return false;
    const QString tail = text.mid(text.indexOf(QLatin1String("fc")));
    const QStringList pieces = tail.split(QStringLiteral("\r\n"), Qt::KeepEmptyParts);
    for (const QString &piece : pieces) {
        if (!piece.contains(QLatin1Char(':')))
            continue;
        const QStringList parts = piece.split(QLatin1Char(':'));
        if (parts.size() != 2)
            continue;
        bool ok = false;
        const int value = parts.at(1).toInt(&ok, 10);
        if (!ok)
            continue;
        // A count the loader cannot have meant would wrap into a wrong number of files to send.
        if (value < std::numeric_limits<qint8>::min() || value > std::numeric_limits<qint8>::max())
            continue;
        *count = static_cast<qint8>(value);
        return true;
    }
    return false;
}
