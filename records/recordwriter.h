#ifndef RECORDWRITER_H
#define RECORDWRITER_H

#include "runrecord.h"

#include <QObject>
#include <QString>
#include <QThread>

class RecordSink;

// Hands every finished run to a thread of its own that writes it to the production record,
// so neither the window nor a worker ever waits for the disk or for a locked file.
class RecordWriter : public QObject
{
    Q_OBJECT

public:
    // How long closing may wait for runs still queued (a file locked by another program).
    static constexpr int DRAIN_MS = 5000;

    explicit RecordWriter(QObject *parent = nullptr);
    ~RecordWriter() override;

    // Opens (or creates) the file in the writer's thread; a problem arrives as sigProblem.
    void start(const QString &path);
    // Queues one run; returns at once.
    void submit(const RunRecord &record);
    // Writes what is queued (bounded by drainMs) and ends the thread.
    void stop(int drainMs = DRAIN_MS);
    bool isRunning() const { return thread.isRunning(); }

signals:
    void sigProblem(QString message);
    void sigAppend(RunRecord record);
    void sigStop(int drainMs);
    // Sent from the writer's thread each time a run is committed to the file.
    void sigCommitted();

private:
    QThread thread;
};

#endif // RECORDWRITER_H
