#ifndef CHIPFAMILY_H
#define CHIPFAMILY_H

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

// What tells the ROM loaders of the chip families apart: the build they report and the
// exact "download" line each accepts.
class ChipFamily
{
public:
    static const ChipFamily *find(const QString &name);
    static QStringList names();

    QString name() const { return familyName; }
    // The ROM loader's answer to "version", ended by CR LF.
    QByteArray versionAnswer() const { return version; }
    quint32 loadAddress() const { return address; }

    // True when the line (as received, CR LF included) is this family's download line;
    // size is the loader size it announces, or -1 when the line carries none.
    bool matchDownloadLine(const QByteArray &line, qint64 *size) const;

private:
    static const QList<ChipFamily> &all();
    ChipFamily(const QString &name, const QByteArray &version, quint32 address, const QString &pattern);

    QString familyName;
    QByteArray version;
    quint32 address;
    QRegularExpression downloadLine;
};

#endif
