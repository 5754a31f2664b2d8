#ifndef RECORDSINK_H
#define RECORDSINK_H

#include "recordstore.h"
#include "runrecord.h"

#include <QObject>
#include <QQueue>
#include <QSet>
#include <QString>

class QTimer;

// Lives in the record writer's thread and owns the file's connection there. Runs are written
// strictly in the order they came; while another program holds the file they wait here.
class RecordSink : public QObject
{
    Q_OBJECT

public:
    explicit RecordSink(const QString &path, QObject *parent = nullptr);

    // Writes what is still waiting, for at most the given time; returns how many runs are left.
    int drain(int msecs);

signals:
    // A line for the operator: the file cannot be used, or a run could not be written.
    void sigProblem(QString message);
    // One more run is in the file (its own committed transaction).
    void sigCommitted();

public slots:
    void slotOpen();
    void slotAppend(RunRecord record);
    // The last call in the writer's thread: drains the queue, then ends the thread.
    void slotDrainAndQuit(int msecs);

private:
    void writePending();
    bool ensureOpen();
    void report(const QString &message);

    QString path;
    RecordStore store;
    QQueue<RunRecord> pending;
    QTimer *retryTimer = nullptr;
    bool unusable = false;
    QSet<QString> reported;
};

#endif // RECORDSINK_H
