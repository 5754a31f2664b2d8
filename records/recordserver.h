#ifndef RECORDSERVER_H
#define RECORDSERVER_H

#include "recordtarget.h"

#include <QList>
#include <QSqlDatabase>
#include <QSqlRecord>
#include <QString>
#include <QStringList>

// The line's shared record on a PostgreSQL server: the same chip_runs and chip_run_images as
// the local file (without the local delivery mark), created on first use. A run is known by
// its uuid, so a run delivered twice is stored once.
class RecordServer
{
public:
    static constexpr int SCHEMA_VERSION = 1;
    // A server that does not answer must not hold a station's records back for long.
    static constexpr int CONNECT_TIMEOUT_S = 5;

    RecordServer(const RecordTarget &target, const QString &connectionName);
    ~RecordServer();
    RecordServer(const RecordServer &) = delete;
    RecordServer &operator=(const RecordServer &) = delete;

    // Connects and creates the tables when missing. False: lastError() says why.
    bool open();
    void close();
    bool isOpen() const;

    // Stores one run and its images in one server transaction. A run whose uuid the server
    // holds already counts as stored. Columns are taken by name (runColumns(), imageColumns()).
    bool deliver(const QSqlRecord &run, const QList<QSqlRecord> &images);

    // Why the last call failed, as the operator may read it: never carries the password.
    QString lastError() const { return error; }

    static const QStringList &runColumns();
    static const QStringList &imageColumns();

    // A connection to the server for readers (zdz-report); not yet opened.
    static QSqlDatabase addDatabase(const RecordTarget &target, const QString &connectionName);
    // On an open connection: creates what is missing and checks the schema version.
    static bool ensureSchema(QSqlDatabase db, QString *error);

private:
    bool fail(const QString &what, const QString &driverText);

    RecordTarget target;
    QString name;
    QString error;
};

#endif // RECORDSERVER_H
