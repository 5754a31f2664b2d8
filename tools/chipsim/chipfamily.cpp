#include "chipfamily.h"

ChipFamily::ChipFamily(const QString &name, const QByteArray &version, quint32 address, const QString &pattern)
    : familyName(name)
    , version(version)
    , address(address)
    , downloadLine(pattern)
{
}

const ChipFamily *ChipFamily::find(const QString &name)
{
    for (const ChipFamily &family : all()) {
        if (family.familyName == name)
            return &family;
    }
    return nullptr;
}

QStringList ChipFamily::names()
{
    QStringList list;
    for (const ChipFamily &family : all())
        list.append(family.familyName);
    return list;
}

bool ChipFamily::matchDownloadLine(const QByteArray &line, qint64 *size) const
{
    const QRegularExpressionMatch match = downloadLine.match(QString::fromLatin1(line));
    if (!match.hasMatch())
        return false;
    if (match.lastCapturedIndex() < 1) {
        *size = -1;
        return true;
    }
    bool ok = false;
    *size = match.captured(1).toLongLong(&ok);
    return ok;
}

const QList<ChipFamily> &ChipFamily::all()
{
    // The texts avoid a capital C, which the host would take for the YMODEM start.
    static const QList<ChipFamily> list = {
        ChipFamily(QStringLiteral("ZR740A"), "ZR740A BootROM v1.2 Jun 19 2019/21:01:04\r\n", 0x20000000,
                   QStringLiteral("\\Adownload \\r\\n\\z")),
        ChipFamily(QStringLiteral("ZR740C"), "ZR740 BootROM v2.0 Mar 14 2021/00:23:32\r\n", 0x20000000,
                   QStringLiteral("\\Adownload \\[rambin\\]\\[0x20000000\\] \\[([0-9]{1,10})\\]\\r\\n\\z")),
        ChipFamily(QStringLiteral("ZR610A"), "ZR610A BootROM v1.0 Jan 08 2018/09:41:17\r\n", 0x20008000,
                   QStringLiteral("\\Adownload \\[rambin\\] \\[0x20008000\\] \\[([0-9]{1,10})\\]\\r\\n\\z")),
    };
    return list;
}
