#include "recordserver.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

// Serialises schema creation between PCs that meet an empty server at the same moment.
constexpr qint64 SCHEMA_LOCK_KEY = 0x7a647a7265636f72; // "zdzrecor"

const char *const SCHEMA[] = {
    "CREATE TABLE IF NOT EXISTS schema_info (version INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS chip_runs ("
    " id BIGSERIAL PRIMARY KEY,"
    " uuid TEXT NOT NULL UNIQUE,"
    " started_at TEXT, finished_at TEXT, host TEXT, station INTEGER, port TEXT,"
    " work_mode TEXT, continuous INTEGER, chip_family TEXT NULL, loader_state TEXT NULL,"
    " loader_name TEXT, loader_sha256 TEXT, baudrate BIGINT, code INTEGER, message TEXT,"
    " app_version TEXT)",
    "CREATE TABLE IF NOT EXISTS chip_run_images ("
    " run_id BIGINT NOT NULL REFERENCES chip_runs(id),"
    " seq INTEGER NOT NULL, path TEXT, size BIGINT, sha256 TEXT, address BIGINT, written INTEGER,"
    " PRIMARY KEY (run_id, seq))",
};

QString joined(const QStringList &names, const QString &prefix = QString())
{
    QStringList out;
    for (const QString &n : names)
        out << prefix + n;
    return out.join(QStringLiteral(", "));
}

} // namespace

RecordServer::RecordServer(const RecordTarget &target, const QString &connectionName)
    : target(target), name(connectionName)
{
}

RecordServer::~RecordServer()
{
    close();
    if (QSqlDatabase::contains(name))
        QSqlDatabase::removeDatabase(name);
}

const QStringList &RecordServer::runColumns()
{
    static const QStringList columns = {
        QStringLiteral("uuid"), QStringLiteral("started_at"), QStringLiteral("finished_at"),
        QStringLiteral("host"), QStringLiteral("station"), QStringLiteral("port"),
        QStringLiteral("work_mode"), QStringLiteral("continuous"), QStringLiteral("chip_family"),
        QStringLiteral("loader_state"), QStringLiteral("loader_name"), QStringLiteral("loader_sha256"),
        QStringLiteral("baudrate"), QStringLiteral("code"), QStringLiteral("message"),
        QStringLiteral("app_version")};
    return columns;
}

const QStringList &RecordServer::imageColumns()
{
    static const QStringList columns = {
        QStringLiteral("seq"), QStringLiteral("path"), QStringLiteral("size"),
        QStringLiteral("sha256"), QStringLiteral("address"), QStringLiteral("written")};
    return columns;
}

QSqlDatabase RecordServer::addDatabase(const RecordTarget &target, const QString &connectionName)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    db.setHostName(target.host());
    db.setPort(target.port());
    db.setDatabaseName(target.database());
    if (!target.user().isEmpty())
        db.setUserName(target.user());
    if (!target.password().isEmpty())
        db.setPassword(target.password());
    // A cable pulled mid-delivery must not block the forwarder (and the program's end) for the
    // minutes TCP would retry: unacknowledged data and a silent peer give up within seconds.
    db.setConnectOptions(QStringLiteral("connect_timeout=%1;keepalives_idle=10;keepalives_interval=3;keepalives_count=3;"
                                        "tcp_user_timeout=%2;application_name=zdz-record")
                             .arg(CONNECT_TIMEOUT_S)
                             .arg(CONNECT_TIMEOUT_S * 3000));
    return db;
}

bool RecordServer::ensureSchema(QSqlDatabase db, QString *error)
{
    QSqlQuery q(db);
    const auto failed = [&](const QString &what) {
        *error = what + QStringLiteral(": ") + q.lastError().text().trimmed();
        db.rollback();
        return false;
    };
    if (!db.transaction())
        return failed(QStringLiteral("cannot begin the schema check"));
    q.prepare(QStringLiteral("SELECT pg_advisory_xact_lock(?)"));
    q.addBindValue(SCHEMA_LOCK_KEY);
    if (!q.exec())
        return failed(QStringLiteral("cannot lock the schema"));
    // "already exists" notices would fill the log of every program start.
    q.exec(QStringLiteral("SET LOCAL client_min_messages = warning"));
    for (const char *statement : SCHEMA) {
        if (!q.exec(QString::fromLatin1(statement)))
            return failed(QStringLiteral("cannot create the record tables"));
    }
    if (!q.exec(QStringLiteral("SELECT version FROM schema_info")))
        return failed(QStringLiteral("cannot read the schema version"));
    if (!q.next()) {
        if (!q.exec(QStringLiteral("INSERT INTO schema_info (version) VALUES (%1)").arg(SCHEMA_VERSION)))
            return failed(QStringLiteral("cannot store the schema version"));
    } else if (q.value(0).toInt() > SCHEMA_VERSION) {
        *error = QStringLiteral("the server's record has schema version %1; this program knows up to %2")
                     .arg(q.value(0).toInt())
                     .arg(SCHEMA_VERSION);
        db.rollback();
        return false;
    }
    if (!db.commit())
        return failed(QStringLiteral("cannot commit the record tables"));
    return true;
}

bool RecordServer::open()
{
    if (isOpen())
        return true;
    if (!target.isServer())
        return fail(QStringLiteral("no record server"), QString());
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        return fail(QStringLiteral("the PostgreSQL driver of Qt SQL is missing (Debian package libqt5sql5-psql)"),
                    QString());
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false) : addDatabase(target, name);
    if (!db.open()) {
        // libpq's own words say why; the driver's suffix adds nothing for the operator.
        const QSqlError why = db.lastError();
        return fail(QStringLiteral("cannot connect"), why.databaseText().isEmpty() ? why.text() : why.databaseText());
    }
    QString why;
    if (!ensureSchema(db, &why)) {
        db.close();
        return fail(why, QString());
    }
    error.clear();
    return true;
}

void RecordServer::close()
{
    if (QSqlDatabase::contains(name))
        QSqlDatabase::database(name, false).close();
}

bool RecordServer::isOpen() const
{
    return QSqlDatabase::contains(name) && QSqlDatabase::database(name, false).isOpen();
}

bool RecordServer::fail(const QString &what, const QString &driverText)
{
    QString text = what;
    const QString detail = driverText.simplified();
    if (!detail.isEmpty())
        text += QStringLiteral(": ") + detail;
    error = target.redact(text);
    return false;
}

bool RecordServer::deliver(const QSqlRecord &run, const QList<QSqlRecord> &images)
{
    if (!open())
        return false;
    QSqlDatabase db = QSqlDatabase::database(name, false);
    QSqlQuery q(db);
    const auto failed = [&](const QString &what) {
        const QString driverText = q.lastError().text();
        db.rollback();
        // The driver does not always tell a dropped connection (server restart, network) from
        // a refused statement: the next try connects anew either way.
        db.close();
        return fail(what, driverText);
    };
    if (!db.transaction()) {
        const QString driverText = db.lastError().text();
        db.close();
        return fail(QStringLiteral("cannot begin a delivery"), driverText);
    }

    const QStringList &columns = runColumns();
    QStringList marks;
    for (int i = 0; i < columns.size(); ++i)
        marks << QStringLiteral("?");
    q.prepare(QStringLiteral("INSERT INTO chip_runs (%1) VALUES (%2) ON CONFLICT (uuid) DO NOTHING RETURNING id")
                  .arg(joined(columns), marks.join(QStringLiteral(", "))));
    for (const QString &column : columns)
        q.addBindValue(run.value(column));
    if (!q.exec())
        return failed(QStringLiteral("run %1 refused").arg(run.value(QStringLiteral("uuid")).toString()));

    if (q.next()) {
        const qint64 runId = q.value(0).toLongLong();
        const QStringList &imageCols = imageColumns();
        QSqlQuery qi(db);
        qi.prepare(QStringLiteral("INSERT INTO chip_run_images (run_id, %1) VALUES (?, ?, ?, ?, ?, ?, ?)")
                       .arg(joined(imageCols)));
        for (const QSqlRecord &image : images) {
            qi.addBindValue(runId);
            for (const QString &column : imageCols)
                qi.addBindValue(image.value(column));
            if (!qi.exec()) {
                q = qi;
                return failed(QStringLiteral("images of run %1 refused").arg(run.value(QStringLiteral("uuid")).toString()));
            }
        }
    }
    if (!db.commit()) {
        const QString driverText = db.lastError().text();
        db.close();
        return fail(QStringLiteral("cannot commit a delivery"), driverText);
    }
    return true;
}
