#include "forwarderthread.h"

#include "recordforwarder.h"

#include <QThread>

ForwarderThread::ForwarderThread(const QString &localFile, const RecordTarget &server, QObject *parent)
    : QObject(parent), thread(new QThread), worker(new RecordForwarder(localFile, server))
{
    thread->setObjectName(QStringLiteral("record-forwarder"));
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &RecordForwarder::slotStart);
    connect(thread, &QThread::finished, worker, &QObject::deleteLater);
}

ForwarderThread::~ForwarderThread()
{
    if (thread->isRunning()) {
        thread->requestInterruption();
        thread->quit();
        thread->wait();
    } else {
        delete worker;
    }
    delete thread;
}

int ForwarderThread::flush()
{
    if (!thread->isRunning())
        return 0;
    return worker->flush();
}

void ForwarderThread::start()
{
    if (!thread->isRunning())
        thread->start();
}
