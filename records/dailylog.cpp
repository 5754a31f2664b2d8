#include "dailylog.h"

#include <QDir>

DailyLog::DailyLog(const QString &folder)
    : folder(folder)
{
}

QString DailyLog::filePath(const QDate &day) const
{
    return QDir(folder).filePath(day.toString(Qt::ISODate) + QStringLiteral(".log"));
}

bool DailyLog::append(const QDateTime &stamp, const QString &line)
{
    const QDate day = stamp.date();
    if (day != openDay || !file.isOpen()) {
        file.close();
        openDay = day;
        file.setFileName(filePath(day));
        if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
            return false;
    }
    // Flushed line by line: a crash or a kill keeps everything the operator saw.
    const QByteArray bytes = line.toUtf8() + '\n';
    return file.write(bytes) == bytes.size() && file.flush();
}
