#include "recordwriter.h"

#include "recordsink.h"

#include <QDebug>

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
    sink = new RecordSink(path);
    sink->moveToThread(&thread);
    // The connection to the file is made, used and dropped in the writer's thread only.
    connect(&thread, &QThread::started, sink, &RecordSink::slotOpen);
    connect(&thread, &QThread::finished, sink, &QObject::deleteLater);
    connect(this, &RecordWriter::sigAppend, sink, &RecordSink::slotAppend);
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
    if (sink) {
        RecordSink *target = sink;
        int left = 0;
        // Queued after every run submitted so far, so they are all in the queue by then.
        QMetaObject::invokeMethod(target, [target, drainMs, &left] { left = target->drain(drainMs); },
                                  Qt::BlockingQueuedConnection);
        if (left > 0)
            qWarning().noquote() << "production record:" << left << "run(s) were not written";
    }
    thread.quit();
    thread.wait();
}
