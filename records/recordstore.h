#ifndef RECORDSTORE_H
#define RECORDSTORE_H

#include "runrecord.h"

#include <QSqlDatabase>
#include <QString>

// One connection to a production record file. A connection belongs to the thread that made
// it: the writer's thread for writing, the reader's (report, view) for reading.
class RecordStore
{
public:
    static constexpr int SCHEMA_VERSION = 1;
    // How long one statement waits for a lock held by another program before it gives up.
    static constexpr int BUSY_TIMEOUT_MS = 1000;

    enum Outcome {
        STORE_OK,
        STORE_BUSY,   // another connection holds the file; the same step may be tried again
        STORE_FAILED, // the file cannot be used as a record; error() says why
        STORE_REJECTED, // the file refused this one run (a constraint); others may still go in
    };

    RecordStore();
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    // Opens the file for writing, creating it and its tables when missing.
    Outcome openForWriting(const QString &path);
    // Opens an existing record file; never creates one.
    Outcome openForReading(const QString &path);
    void close();
    bool isOpen() const;

    // The run and its images in one transaction: all of it is in the file, or none.
    Outcome append(const RunRecord &record);

    QString error() const { return lastError; }
    QString path() const { return filePath; }
    // For queries of the reader; valid while the store is open.
    QSqlDatabase database() const;

    // The text form of every time stamp in the file: UTC with milliseconds.
    static QString timeText(const QDateTime &time);

private:
    Outcome open(const QString &path, bool create);
    Outcome prepareSchema(bool create);
    Outcome fail(const QString &what, const QString &why, bool busy);

    QString connectionName;
    QString filePath;
    QString lastError;
};

#endif // RECORDSTORE_H
