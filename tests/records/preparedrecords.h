#ifndef PREPAREDRECORDS_H
#define PREPAREDRECORDS_H

#include "recordstore.h"
#include "runrecord.h"

#include <QtCore>
#include <QtSql>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

// Five runs over three UTC days, each with an image written or not and one never read (at 0xFFFFF000). Day 2's
// image path holds a comma and quotes; on day 3 no loader answers one chip, and a run starts at 23:59:59.999.
inline QList<RunRecord> preparedRuns()
{
    const auto run = [](const char *start, int station, const char *port, const char *family, int code,
                        const QString &image) {
        RunRecord record;
        record.uuid = QStringLiteral("00000000-0000-4000-8000-0000000000%1").arg(station * 10 + start[9] - '0');
        record.startedAt = QDateTime::fromString(QString::fromLatin1(start), Qt::ISODateWithMs);
        record.finishedAt = record.startedAt.addMSecs(1500 + code);
        record.host = QStringLiteral("line-pc");
        record.station = station;
        record.port = QString::fromLatin1(port);
        record.workMode = QStringLiteral("download");
        record.chipFamily = QString::fromLatin1(family);
        record.loaderState = record.chipFamily.isEmpty() ? QString() : QStringLiteral("rom");
        record.baudrate = 921600;
        record.code = code;
        record.message = code == 0 ? QStringLiteral("Success") : QStringLiteral("Failed, \"%1\"").arg(code);
        record.appVersion = QStringLiteral("1.9.13");
        record.images = {RunImage{image, 20000, QString(64, QLatin1Char('a')), 0x8000, code == 0},
                         RunImage{QStringLiteral("/img/data.bin"), -1, QString(), 0xFFFFF000u, false}};
        return record;
    };
    return {run("2026-12-01T08:00:00.000Z", 1, "ttyUSB0", "ZR740A", 0, QStringLiteral("/img/app.bin")),
            run("2026-12-01T09:30:00.250Z", 2, "ttyUSB1", "ZR740C", 1030, QStringLiteral("/img/app.bin")),
            run("2026-12-02T10:00:00.000Z", 1, "ttyUSB0", "ZR740A", 0, QStringLiteral("/img/a,b \"q\".bin")),
            run("2026-12-03T12:00:00.000Z", 3, "ttyUSB2", "", 515, QStringLiteral("/img/app.bin")),
            run("2026-12-03T23:59:59.999Z", 2, "ttyUSB1", "ZR610A", 0, QStringLiteral("/img/app.bin"))};
}

inline bool writePreparedRecords(const QString &path)
{
    RecordStore store;
    bool ok = store.openForWriting(path) == RecordStore::STORE_OK;
    for (const RunRecord &record : preparedRuns())
        ok = ok && store.append(record) == RecordStore::STORE_OK;
    return ok;
}

// The rows a query finds, fields joined by blanks; a failed query yields the error as its only row.
inline QStringList queryRows(QSqlDatabase db, const QString &sql)
{
    QSqlQuery query(db);
    if (!query.exec(sql))
        return {"error: " + query.lastError().text()};
    QStringList found;
    while (query.next()) {
        QStringList fields;
        for (int i = 0; i < query.record().count(); ++i)
            fields << query.value(i).toString();
        found << fields.join(' ');
    }
    return found;
}

// The same in a record file, read by a connection of its own.
inline QStringList queryRows(const QString &path, const QString &sql)
{
    QSqlDatabase::addDatabase("QSQLITE", "query-rows").setDatabaseName(path);
    const QStringList found = queryRows(QSqlDatabase::database("query-rows"), sql);
    QSqlDatabase::removeDatabase("query-rows");
    return found;
}

// What a tool printed as one line: its lines with blanks collapsed, joined by '|'.
inline QString tableText(QString text)
{
    return text.trimmed().replace(QRegularExpression("\\s*\\n\\s*"), "|").replace(QRegularExpression("\\s+"), " ");
}

#ifdef ZDZ_REPORT_BIN
// zdz-report run to its end: its exit status, -1 when it crashed or hung.
inline int runReport(const QStringList &args, QString *out, QString *err)
{
    QProcess process;
    process.start(QStringLiteral(ZDZ_REPORT_BIN), args);
    const bool ended = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit;
    *out = QString::fromUtf8(process.readAllStandardOutput());
    *err = QString::fromUtf8(process.readAllStandardError());
    return ended ? process.exitCode() : -1;
}
#endif

#ifdef ZDZ_FLASH_BIN
// zdz-flash as a line script runs it, going down with the test; an operator is "nobody" to a root suite.
class FlashProcess : public QProcess
{
public:
    explicit FlashProcess(const QStringList &args, bool asOperator = false)
    {
        // Looked up before the fork: the child may only make plain system calls.
        const struct passwd *nobody = asOperator && ::geteuid() == 0 ? ::getpwnam("nobody") : nullptr;
        account = nobody ? qMakePair(nobody->pw_uid, nobody->pw_gid) : qMakePair(uid_t(0), gid_t(0));
        start(QStringLiteral(ZDZ_FLASH_BIN), args);
    }
    // A normal exit with the given status; stdout must end its last line.
    bool finishesWith(int status, int timeoutMs = 90000)
    {
        const bool ok = (state() == QProcess::NotRunning || waitForFinished(timeoutMs))
                        && exitStatus() == QProcess::NormalExit && exitCode() == status;
        out = QString::fromUtf8(readAllStandardOutput());
        lines = out.isEmpty() ? QStringList() : out.chopped(1).split(QLatin1Char('\n'));
        // The stand-in loader's warning is not the run's business.
        err = QString::fromUtf8(readAllStandardError());
        err.remove(QRegularExpression("built-in placeholder RAM loader[^\n]*\n"));
        if (!ok)
            qWarning("zdz-flash did not end with %d:\n%s%s", status, qPrintable(out), qPrintable(err));
        return ok;
    }
    QString out, err;
    QStringList lines;

protected:
    void setupChildProcess() override
    {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (account.first != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(account.second) != 0
                                   || ::setuid(account.first) != 0))
            ::_exit(99);
    }

private:
    QPair<uid_t, gid_t> account;
};
#endif

#endif // PREPAREDRECORDS_H
