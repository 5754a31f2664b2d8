#ifndef RECORDFORWARDER_H
#define RECORDFORWARDER_H

#include "recordserver.h"
#include "recordtarget.h"

#include <QObject>
#include <QString>

#include <condition_variable>
#include <mutex>

class QTimer;

// Delivers the runs of the local record file that have not reached the server yet, oldest
// first, and marks each one delivered. Lives in a thread of its own: a server that is down,
// slow or refusing never holds up a station. Woken when a run was committed locally; after a
// failed try it sleeps on a back-off timer (1 s doubling to 30 s) and tries again by itself.
class RecordForwarder : public QObject
{
    Q_OBJECT

public:
    static constexpr int FIRST_RETRY_MS = 1000;
    static constexpr int LAST_RETRY_MS = 30000;
    static constexpr int BATCH = 50;

    RecordForwarder(const QString &localFile, const RecordTarget &server, QObject *parent = nullptr);
    ~RecordForwarder() override;

    // From the owner's thread, before the program ends: one delivery now, back-off or not,
    // queued behind every commit notice sent so far; returns the runs left waiting.
    int flush();

signals:
    // Runs in the local file that still wait for the server; sent when the number changes.
    void sigWaitingCount(int waiting);
    // Sent once when delivery fails, again when the reason changes, and once when it works again.
    void sigServerStatus(bool delivering, const QString &message);

public slots:
    // First delivery of what an earlier program run left waiting.
    void slotStart();
    // The writer committed a run to the local file.
    void slotRecordCommitted();

private:
    bool openLocal();
    void deliverWaiting();
    bool deliverBatch(bool *more);
    void reportFailure(const QString &why);
    void reportWaiting();
    void answerFlush();

    QString localFile;
    QString localName;
    RecordTarget target;
    RecordServer server;
    QTimer *retryTimer = nullptr;
    int retryMs = FIRST_RETRY_MS;
    int lastWaiting = -1;
    int lastDelivering = -1; // -1: nothing said yet
    QString lastMessage;
    // The flush's answer crosses threads under a lock of its own.
    std::mutex flushLock;
    std::condition_variable flushAnswered;
    quint64 flushesAsked = 0;
    quint64 flushesDone = 0;
    int flushWaiting = 0;
};

#endif // RECORDFORWARDER_H
