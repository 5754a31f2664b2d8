#ifndef FORWARDERTHREAD_H
#define FORWARDERTHREAD_H

#include "recordtarget.h"

#include <QObject>
#include <QString>

class QThread;
class RecordForwarder;

// Owns the forwarder and its thread: start() sets it going, destruction interrupts a delivery
// between two runs, quits the thread and joins it.
class ForwarderThread : public QObject
{
    Q_OBJECT

public:
    ForwarderThread(const QString &localFile, const RecordTarget &server, QObject *parent = nullptr);
    ~ForwarderThread() override;

    void start();
    // Before the program ends: one last delivery of what waits (bounded by the server's
    // connect timeout); returns the runs still waiting in the local file.
    int flush();
    // For connections only; the forwarder lives in the thread (queued connections).
    RecordForwarder *forwarder() const { return worker; }

private:
    QThread *thread = nullptr;
    RecordForwarder *worker = nullptr;
};

#endif // FORWARDERTHREAD_H
