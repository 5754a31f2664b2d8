#ifndef DAILYLOG_H
#define DAILYLOG_H

#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QString>

// The window's log kept on disk, one file per day (folder/YYYY-MM-DD.log), each line as the
// window showed it. A day's file is opened at that day's first line and appended to.
class DailyLog
{
public:
    explicit DailyLog(const QString &folder);

    // stamp decides the day: the local date that the line itself shows.
    // False when the line could not be written (the window's log still has it).
    bool append(const QDateTime &stamp, const QString &line);
    QString filePath(const QDate &day) const;

private:
    QString folder;
    QDate openDay;
    QFile file;
};

#endif // DAILYLOG_H
