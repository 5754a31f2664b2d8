#include "recordwriter.h"

#include "recordsink.h"

RecordWriter::RecordWriter(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<RunRecord>();
    thread.setObjectName(QStringLiteral("production record"));
}

RecordWriter::~RecordWriter()
{
    stop();
}

void RecordWriter::start(const QString &path)
{
    stop();
    auto *sink = new RecordSink(path);
    sink->moveToThread(&thread);
    // The connection to the file is made, used and dropped in the writer's thread only.
    connect(&thread, &QThread::started, sink, &RecordSink::slotOpen);
    connect(&thread, &QThread::finished, sink, &QObject::deleteLater);
    connect(this, &RecordWriter::sigAppend, sink, &RecordSink::slotAppend);
    connect(this, &RecordWriter::sigStop, sink, &RecordSink::slotDrainAndQuit);
    connect(sink, &RecordSink::sigProblem, this, &RecordWriter::sigProblem);
    // Straight from the writer's thread, so the forwarder hears of runs committed while the
    // owner's thread waits for the writer to drain.
    connect(sink, &RecordSink::sigCommitted, this, &RecordWriter::sigCommitted, Qt::DirectConnection);
    thread.start();
}

void RecordWriter::submit(const RunRecord &record)
{
    emit sigAppend(record);
}

void RecordWriter::stop(int drainMs)
{
    if (!thread.isRunning())
        return;
    // Queued behind every run submitted so far; the sink ends its thread when they are written.
    emit sigStop(drainMs);
    thread.wait();
}
