#include "chipdialogue.h"

#include "chipfamilytable.h"

#include <QIODevice>
#include <QStringList>

#include <limits>

namespace {

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
    const ChipFamilyRow *family = ChipFamilyTable::find(codeVer);
    if (!family)
        return QByteArray();
    // Substituted one by one: a template may leave out the address and the size.
    QString line = QString::fromLatin1(family->downloadTemplate);
    line.replace(QLatin1String("%1"), QLatin1String("download"));
    line.replace(QLatin1String("%2"), QString::number(family->loadAddress, 16));
    line.replace(QLatin1String("%3"), QString::number(loaderSize));
    return line.toUtf8();
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
    for (const ChipFamilyRow *family = ChipFamilyTable::begin(); family != ChipFamilyTable::end(); ++family) {
        if (text.contains(QLatin1String(family->versionMarker)))
            return family->code;
    }
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
