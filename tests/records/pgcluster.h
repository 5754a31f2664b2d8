#ifndef PGCLUSTER_H
#define PGCLUSTER_H

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QUrl>
#include <QVariant>

// The throw-away PostgreSQL cluster a test runs in (pgenv.sh), known by the libpq variables
// that pg_virtualenv sets.
namespace PgCluster {

inline QString env(const char *name) { return qEnvironmentVariable(name); }

// Why the test cannot reach its cluster; empty when it can.
inline QString problem()
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        return QStringLiteral("Qt's PostgreSQL driver is missing: install the Debian package libqt5sql5-psql");
    if (env("PGPORT").isEmpty() || env("PGVERSION").isEmpty())
        return QStringLiteral("no PostgreSQL cluster: run the test through tests/records/pgenv.sh (ctest does)");
    return QString();
}

// Without a password, libpq takes the one pg_virtualenv put in PGPASSWORD.
inline QString url(const QString &password = env("PGPASSWORD"), const QString &host = env("PGHOST"))
{
    const QString secret = password.isEmpty() ? QString() : ':' + QString::fromUtf8(QUrl::toPercentEncoding(password));
    return QStringLiteral("postgresql://%1%2@%3:%4/%5").arg(env("PGUSER"), secret, host, env("PGPORT"), env("PGDATABASE"));
}

// "stop" or "start" the server, as an outage in the plant would.
inline bool control(const QString &action)
{
    QProcess ctl;
    ctl.start(QStringLiteral("pg_ctlcluster"), {env("PGVERSION"), QStringLiteral("regress"), action});
    return ctl.waitForFinished(60000) && ctl.exitStatus() == QProcess::NormalExit && ctl.exitCode() == 0;
}

inline QSqlDatabase open()
{
    QSqlDatabase db = QSqlDatabase::contains(QStringLiteral("pg"))
                          ? QSqlDatabase::database(QStringLiteral("pg"), false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("pg"));
    db.setHostName(env("PGHOST"));
    db.setPort(env("PGPORT").toInt());
    db.setDatabaseName(env("PGDATABASE"));
    db.setUserName(env("PGUSER"));
    db.setPassword(env("PGPASSWORD"));
    db.open();
    return db;
}

// The first column of every row, joined by blanks.
inline QString column(QSqlDatabase db, const QString &sql)
{
    QSqlQuery q(db);
    if (!q.exec(sql))
        return QStringLiteral("error: ") + sql;
    QStringList out;
    while (q.next())
        out << q.value(0).toString();
    return out.join(QLatin1Char(' '));
}

} // namespace PgCluster

#endif // PGCLUSTER_H
