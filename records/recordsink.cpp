#include "recordsink.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QThread>
#include <QTimer>

namespace {

// A file held by another program is tried again at this pace; each try itself waits up to
// the store's busy timeout.
constexpr int RETRY_MS = 250;

} // namespace

RecordSink::RecordSink(const QString &path, QObject *parent)
    : QObject(parent)
    , path(path)
{
}

void RecordSink::slotOpen()
{
    if (!retryTimer) {
        retryTimer = new QTimer(this);
        retryTimer->setSingleShot(true);
        retryTimer->setTimerType(Qt::PreciseTimer);
        connect(retryTimer, &QTimer::timeout, this, &RecordSink::writePending);
    }
    ensureOpen();
}

void RecordSink::slotAppend(RunRecord record)
{
    // A target that cannot be used was reported once; production goes on without it.
    if (unusable)
        return;
    pending.enqueue(record);
    if (!retryTimer || !retryTimer->isActive())
        writePending();
}

bool RecordSink::ensureOpen()
{
    if (unusable)
        return false;
    if (store.isOpen())
        return true;
    switch (store.openForWriting(path)) {
    case RecordStore::STORE_OK:
        return true;
    case RecordStore::STORE_BUSY:
        if (retryTimer)
            retryTimer->start(RETRY_MS);
        return false;
    default:
        unusable = true;
        pending.clear();
        report(store.error() + QStringLiteral(" - runs are not recorded."));
        return false;
    }
}

void RecordSink::writePending()
{
    if (!ensureOpen())
        return;
    while (!pending.isEmpty()) {
        switch (store.append(pending.head())) {
        case RecordStore::STORE_OK:
            pending.dequeue();
            emit sigCommitted();
            break;
        case RecordStore::STORE_REJECTED:
            report(store.error());
            pending.dequeue();
            break;
        case RecordStore::STORE_FAILED:
            // A full disk or a lost folder may come back: the run waits, the operator is told once.
            report(store.error());
            retryTimer->start(RETRY_MS * 8);
            return;
        default:
            retryTimer->start(RETRY_MS);
            return;
        }
    }
}

int RecordSink::drain(int msecs)
{
    if (retryTimer)
        retryTimer->stop();
    const QDeadlineTimer deadline(msecs);
    while (!pending.isEmpty() && !unusable && !deadline.hasExpired()) {
        if (!store.isOpen() && store.openForWriting(path) == RecordStore::STORE_FAILED)
            break;
        if (!store.isOpen())
            continue;
        const RecordStore::Outcome outcome = store.append(pending.head());
        if (outcome == RecordStore::STORE_OK)
            emit sigCommitted();
        if (outcome == RecordStore::STORE_OK || outcome == RecordStore::STORE_REJECTED)
            pending.dequeue();
        else if (outcome == RecordStore::STORE_FAILED)
            break;
    }
    const int left = pending.size();
    if (left > 0)
        report(QStringLiteral("Production record %1: %2 run(s) could not be written before the end.").arg(path).arg(left));
    pending.clear();
    store.close();
    return left;
}

void RecordSink::slotDrainAndQuit(int msecs)
{
    const int left = drain(msecs);
    if (left > 0)
        qWarning().noquote() << "production record:" << left << "run(s) were not written";
    thread()->quit();
}

void RecordSink::report(const QString &message)
{
    if (reported.contains(message))
        return;
    reported.insert(message);
    emit sigProblem(message);
}
