#include "recordforwarder.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <QTimer>
#include <QVariant>

namespace {

QString connectionName(const char *what, const void *owner)
{
    return QStringLiteral("zdz-forward-%1-%2").arg(QLatin1String(what)).arg(quintptr(owner), 0, 16);
}

} // namespace

RecordForwarder::RecordForwarder(const QString &localFile, const RecordTarget &server, QObject *parent)
    : QObject(parent),
      localFile(localFile),
      localName(connectionName("local", this)),
      target(server),
      server(server, connectionName("server", this))
{
}

RecordForwarder::~RecordForwarder()
{
    if (QSqlDatabase::contains(localName)) {
        QSqlDatabase::database(localName, false).close();
        QSqlDatabase::removeDatabase(localName);
    }
}

void RecordForwarder::slotStart()
{
    if (!retryTimer) {
        retryTimer = new QTimer(this);
        retryTimer->setSingleShot(true);
        connect(retryTimer, &QTimer::timeout, this, &RecordForwarder::deliverWaiting);
    }
    deliverWaiting();
}

int RecordForwarder::flush()
{
    std::unique_lock<std::mutex> hold(flushLock);
    const quint64 asked = ++flushesAsked;
    hold.unlock();
    QMetaObject::invokeMethod(this, &RecordForwarder::answerFlush, Qt::QueuedConnection);
    hold.lock();
    flushAnswered.wait(hold, [this, asked] { return flushesDone >= asked; });
    return flushWaiting;
}

void RecordForwarder::answerFlush()
{
    if (retryTimer)
        retryTimer->stop();
    slotStart();
    const std::lock_guard<std::mutex> hold(flushLock);
    flushWaiting = qMax(lastWaiting, 0);
    flushesDone = flushesAsked;
    flushAnswered.notify_all();
}

void RecordForwarder::slotRecordCommitted()
{
    // While backing off, a new run only waits with the others: trying at every commit would
    // hammer a server that is down and stall this thread on connect timeouts.
    if (retryTimer && retryTimer->isActive())
        reportWaiting();
    else
        slotStart();
}

bool RecordForwarder::openLocal()
{
    if (QSqlDatabase::contains(localName) && QSqlDatabase::database(localName, false).isOpen())
        return true;
    // The writer creates the file; opening it here first would leave an empty one behind.
    if (!QFileInfo::exists(localFile))
        return false;
    QSqlDatabase db = QSqlDatabase::contains(localName)
                          ? QSqlDatabase::database(localName, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), localName);
    db.setDatabaseName(localFile);
    // The writer's commits hold the file only for moments.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    // Until the writer has made its tables there is nothing to deliver.
    if (!db.open() || !db.tables().contains(QStringLiteral("chip_runs"))) {
        db.close();
        return false;
    }
    // Months of a line's runs: counting the waiting ones must not read them all.
    QSqlQuery(db).exec(QStringLiteral(
        "CREATE INDEX IF NOT EXISTS chip_runs_waiting ON chip_runs (id) WHERE delivered_at IS NULL"));
    return true;
}

void RecordForwarder::deliverWaiting()
{
    if (!openLocal()) {
        reportWaiting();
        return;
    }
    bool more = true;
    while (more) {
        if (QThread::currentThread()->isInterruptionRequested())
            return;
        if (!deliverBatch(&more)) {
            reportWaiting();
            retryTimer->start(retryMs);
            retryMs = qMin(retryMs * 2, LAST_RETRY_MS);
            return;
        }
    }
    retryMs = FIRST_RETRY_MS;
    if (lastDelivering == 0) {
        lastMessage.clear();
        emit sigServerStatus(true, tr("record server %1 takes records again").arg(target.displayText()));
    }
    lastDelivering = 1;
    reportWaiting();
}

bool RecordForwarder::deliverBatch(bool *more)
{
    QSqlDatabase db = QSqlDatabase::database(localName, false);
    const QStringList &runColumns = RecordServer::runColumns();
    const QStringList &imageColumns = RecordServer::imageColumns();

    QList<QSqlRecord> runs;
    {
        QSqlQuery q(db);
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral("SELECT id, %1 FROM chip_runs WHERE delivered_at IS NULL ORDER BY id LIMIT %2")
                        .arg(runColumns.join(QStringLiteral(", ")))
                        .arg(BATCH))) {
            reportFailure(tr("cannot read the local record %1: %2").arg(localFile, q.lastError().text()));
            return false;
        }
        while (q.next())
            runs << q.record();
    }
    *more = runs.size() == BATCH;

    for (const QSqlRecord &run : qAsConst(runs)) {
        const QVariant id = run.value(QStringLiteral("id"));
        QList<QSqlRecord> images;
        QSqlQuery qi(db);
        qi.setForwardOnly(true);
        qi.prepare(QStringLiteral("SELECT %1 FROM chip_run_images WHERE run_id = ? ORDER BY seq")
                       .arg(imageColumns.join(QStringLiteral(", "))));
        qi.addBindValue(id);
        if (!qi.exec()) {
            reportFailure(tr("cannot read the local record %1: %2").arg(localFile, qi.lastError().text()));
            return false;
        }
        while (qi.next())
            images << qi.record();
        qi.finish();

        if (!server.deliver(run, images)) {
            reportFailure(tr("record server %1 does not take records (%2); they wait in %3")
                              .arg(target.displayText(), server.lastError(), localFile));
            return false;
        }
        // A crash right here leaves the run unmarked; the server then ignores its second copy.
        QSqlQuery mark(db);
        mark.prepare(QStringLiteral("UPDATE chip_runs SET delivered_at = ? WHERE id = ?"));
        mark.addBindValue(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs));
        mark.addBindValue(id);
        if (!mark.exec()) {
            reportFailure(tr("cannot mark a delivered run in %1: %2").arg(localFile, mark.lastError().text()));
            return false;
        }
    }
    return true;
}

void RecordForwarder::reportFailure(const QString &why)
{
    const QString message = target.redact(why);
    if (lastDelivering == 0 && message == lastMessage)
        return;
    lastDelivering = 0;
    lastMessage = message;
    emit sigServerStatus(false, message);
}

void RecordForwarder::reportWaiting()
{
    int waiting = 0;
    if (QSqlDatabase::contains(localName) && QSqlDatabase::database(localName, false).isOpen()) {
        QSqlQuery q(QSqlDatabase::database(localName, false));
        if (q.exec(QStringLiteral("SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL")) && q.next())
            waiting = q.value(0).toInt();
    }
    if (waiting != lastWaiting) {
        lastWaiting = waiting;
        emit sigWaitingCount(waiting);
    }
}
