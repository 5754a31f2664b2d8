#include "recordstore.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace {

const QString DRIVER = QStringLiteral("QSQLITE");

// The layout a forwarder to the line's server reads as well: change it only together with
// SCHEMA_VERSION and a migration.
const char *const SCHEMA[] = {
    "CREATE TABLE IF NOT EXISTS chip_runs ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " uuid TEXT NOT NULL UNIQUE,"
    " started_at TEXT,"
    " finished_at TEXT,"
    " host TEXT,"
    " station INTEGER,"
    " port TEXT,"
    " work_mode TEXT,"
    " continuous INTEGER,"
    " chip_family TEXT,"
    " loader_state TEXT,"
    " loader_name TEXT,"
    " loader_sha256 TEXT,"
    " baudrate INTEGER,"
    " code INTEGER,"
    " message TEXT,"
    " app_version TEXT,"
    " delivered_at TEXT)",
    "CREATE TABLE IF NOT EXISTS chip_run_images ("
    " run_id INTEGER NOT NULL REFERENCES chip_runs(id),"
    " seq INTEGER NOT NULL,"
    " path TEXT,"
    " size INTEGER,"
    " sha256 TEXT,"
    " address INTEGER,"
    " written INTEGER,"
    " PRIMARY KEY (run_id, seq))",
    "CREATE TABLE IF NOT EXISTS schema_info (version INTEGER NOT NULL)",
    "INSERT INTO schema_info (version) SELECT 1 WHERE NOT EXISTS (SELECT 1 FROM schema_info)",
};

// SQLITE_BUSY and SQLITE_LOCKED: another connection has the file, nothing is wrong with it.
bool isBusy(const QSqlError &error)
{
    const QString code = error.nativeErrorCode();
    return code == QLatin1String("5") || code == QLatin1String("6");
}

// SQLITE_CONSTRAINT: the run itself is wrong (a uuid twice, none at all), not the file.
bool isRejected(const QSqlError &error)
{
    return error.nativeErrorCode() == QLatin1String("19");
}

// SQLite's own words ("file is not a database"); the driver's are noise to an operator.
QString reason(const QSqlError &error)
{
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}

QVariant textOrNull(const QString &text)
{
    return text.isEmpty() ? QVariant(QVariant::String) : QVariant(text);
}

QVariant timeOrNull(const QDateTime &time)
{
    return time.isValid() ? QVariant(RecordStore::timeText(time)) : QVariant(QVariant::String);
}

} // namespace

RecordStore::RecordStore()
    : connectionName(QStringLiteral("record-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
}

RecordStore::~RecordStore()
{
    close();
}

QString RecordStore::timeText(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz'Z'"));
}

RecordStore::Outcome RecordStore::openForWriting(const QString &path)
{
    // SQLite takes an empty name for a private temporary file, which nobody would ever read.
    if (path.isEmpty()) {
        filePath = path;
        return fail(QStringLiteral("cannot open"), QStringLiteral("no file named"), false);
    }
    // SQLite makes the file but not its folder (a fresh data folder on a new line PC).
    QDir().mkpath(QFileInfo(path).absolutePath());
    return open(path, true);
}

RecordStore::Outcome RecordStore::openForReading(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable()) {
        filePath = path;
        return fail(QStringLiteral("cannot read"), QStringLiteral("no such readable file"), false);
    }
    return open(path, false);
}

bool RecordStore::isOpen() const
{
    return QSqlDatabase::contains(connectionName) && database().isOpen();
}

QSqlDatabase RecordStore::database() const
{
    return QSqlDatabase::database(connectionName, false);
}

void RecordStore::close()
{
    if (!QSqlDatabase::contains(connectionName))
        return;
    database().close();
    QSqlDatabase::removeDatabase(connectionName);
}

RecordStore::Outcome RecordStore::open(const QString &path, bool create)
{
    close();
    filePath = path;
    lastError.clear();
    if (!QSqlDatabase::isDriverAvailable(DRIVER))
        return fail(QStringLiteral("cannot open"), QStringLiteral("the SQLite driver of Qt is not installed"), false);

    Outcome outcome = STORE_OK;
    {
        // No handle may outlive this block: a failed file's connection is removed below.
        QSqlDatabase db = QSqlDatabase::addDatabase(DRIVER, connectionName);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(BUSY_TIMEOUT_MS));
        if (!db.open())
            outcome = fail(QStringLiteral("cannot open"), reason(db.lastError()), isBusy(db.lastError()));
    }
    if (outcome == STORE_OK)
        outcome = prepareSchema(create);
    if (outcome != STORE_OK)
        close();
    return outcome;
}

RecordStore::Outcome RecordStore::prepareSchema(bool create)
{
    QSqlQuery query(database());
    // The first statement reads the file: a file that is not a database fails here.
    if (!query.exec(QStringLiteral("SELECT COUNT(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_info'"))
        || !query.next())
        return fail(QStringLiteral("cannot read"), reason(query.lastError()), isBusy(query.lastError()));
    const bool hasSchema = query.value(0).toInt() > 0;
    query.finish();

    if (create) {
        // WAL: a reader (report, forwarder) never holds up the writer, and a killed program
        // leaves every committed run in a file that opens cleanly. FULL makes each commit
        // reach the disk before the next chip starts, so a power cut loses no counted run.
        for (const char *pragma : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL"}) {
            if (!query.exec(QString::fromLatin1(pragma)))
                return fail(QStringLiteral("cannot prepare"), reason(query.lastError()), isBusy(query.lastError()));
            query.finish();
        }
        if (!hasSchema) {
            if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
                return fail(QStringLiteral("cannot prepare"), reason(query.lastError()), isBusy(query.lastError()));
            for (const char *statement : SCHEMA) {
                if (!query.exec(QString::fromLatin1(statement))) {
                    const QSqlError error = query.lastError();
                    query.exec(QStringLiteral("ROLLBACK"));
                    return fail(QStringLiteral("cannot prepare"), reason(error), isBusy(error));
                }
            }
            if (!query.exec(QStringLiteral("COMMIT"))) {
                const QSqlError error = query.lastError();
                query.exec(QStringLiteral("ROLLBACK"));
                return fail(QStringLiteral("cannot prepare"), reason(error), isBusy(error));
            }
        }
    } else if (!hasSchema) {
        return fail(QStringLiteral("cannot read"), QStringLiteral("not a production record (no schema_info table)"), false);
    }

    if (!query.exec(QStringLiteral("SELECT MAX(version) FROM schema_info")) || !query.next())
        return fail(QStringLiteral("cannot read"), reason(query.lastError()), isBusy(query.lastError()));
    const int version = query.value(0).toInt();
    if (version > SCHEMA_VERSION)
        return fail(QStringLiteral("refuses"),
                    QStringLiteral("it was written by a newer program (record version %1; this program knows up to %2)")
                        .arg(version)
                        .arg(SCHEMA_VERSION),
                    false);
    return STORE_OK;
}

RecordStore::Outcome RecordStore::append(const RunRecord &record)
{
    if (!isOpen())
        return fail(QStringLiteral("cannot record to"), QStringLiteral("the file is not open"), false);

    QSqlQuery query(database());
    // IMMEDIATE takes the write lock at once, so a busy file shows here and not half-way.
    if (!query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return fail(QStringLiteral("cannot record to"), reason(query.lastError()), isBusy(query.lastError()));

    const auto rollback = [&](const QSqlError &error) {
        QSqlQuery(database()).exec(QStringLiteral("ROLLBACK"));
        const Outcome outcome = fail(QStringLiteral("cannot record to"), reason(error), isBusy(error));
        return isRejected(error) ? STORE_REJECTED : outcome;
    };

    query.prepare(QStringLiteral(
        "INSERT INTO chip_runs (uuid, started_at, finished_at, host, station, port, work_mode, continuous,"
        " chip_family, loader_state, loader_name, loader_sha256, baudrate, code, message, app_version)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
    query.addBindValue(record.uuid);
    query.addBindValue(timeOrNull(record.startedAt));
    query.addBindValue(timeOrNull(record.finishedAt));
    query.addBindValue(textOrNull(record.host));
    query.addBindValue(record.station > 0 ? QVariant(record.station) : QVariant(QVariant::Int));
    query.addBindValue(textOrNull(record.port));
    query.addBindValue(textOrNull(record.workMode));
    query.addBindValue(record.continuous ? 1 : 0);
    query.addBindValue(textOrNull(record.chipFamily));
    query.addBindValue(textOrNull(record.loaderState));
    query.addBindValue(textOrNull(record.loaderName));
    query.addBindValue(textOrNull(record.loaderSha256));
    query.addBindValue(record.baudrate > 0 ? QVariant(static_cast<qint64>(record.baudrate)) : QVariant(QVariant::LongLong));
    query.addBindValue(record.code);
    query.addBindValue(textOrNull(record.message));
    query.addBindValue(textOrNull(record.appVersion));
    if (!query.exec())
        return rollback(query.lastError());
    const qint64 runId = query.lastInsertId().toLongLong();

    for (int i = 0; i < record.images.size(); ++i) {
        const RunImage &image = record.images.at(i);
        query.prepare(QStringLiteral(
            "INSERT INTO chip_run_images (run_id, seq, path, size, sha256, address, written) VALUES (?, ?, ?, ?, ?, ?, ?)"));
        query.addBindValue(runId);
        query.addBindValue(i + 1);
        query.addBindValue(textOrNull(image.path));
        // A file that could not be read has no size and no digest.
        query.addBindValue(image.size >= 0 ? QVariant(image.size) : QVariant(QVariant::LongLong));
        query.addBindValue(textOrNull(image.sha256));
        query.addBindValue(static_cast<qint64>(image.address));
        query.addBindValue(image.written ? 1 : 0);
        if (!query.exec())
            return rollback(query.lastError());
    }
    if (!query.exec(QStringLiteral("COMMIT")))
        return rollback(query.lastError());
    return STORE_OK;
}

RecordStore::Outcome RecordStore::fail(const QString &what, const QString &why, bool busy)
{
    lastError = QStringLiteral("Production record %1 %2: %3").arg(what, filePath, why.trimmed());
    return busy ? STORE_BUSY : STORE_FAILED;
}
