#include "flashsession.h"

#include "resultmessage.h"

#include "errorcodes.h"
#include "forwarderthread.h"
#include "recordforwarder.h"
#include "recordwriter.h"
#include "worker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>

FlashSession::FlashSession(const FlashOptions &options, QObject *parent)
    : QObject(parent)
    , output(options.json())
    , config(options.userConfig())
    , workMode(options.erase() ? Worker::WORK_MODE_ERASE : Worker::WORK_MODE_DOWNLOAD)
    , continuous(options.continuous())
    , showProgress(options.progress())
    , recordFile(options.recordFile())
    , recordServer(options.recordTarget().displayText())
    , hostName(options.hostName())
{
    const QStringList names = options.portNames();
    const QStringList devices = options.portDevices();
    for (int i = 0; i < names.size(); ++i) {
        PortRun run;
        run.name = names.at(i);
        run.device = devices.at(i);
        runs.append(run);
    }
    if (!options.recordFile().isEmpty()) {
        recordWriter = new RecordWriter(this);
        // Production goes on without the record; the operator reads why on stderr.
        connect(recordWriter, &RecordWriter::sigProblem, this,
                [](const QString &message) { qWarning().noquote() << "zdz-flash:" << message; });
        recordWriter->start(options.recordFile());
    }
    if (options.recordTarget().isServer()) {
        forwarder = new ForwarderThread(options.recordFile(), options.recordTarget(), this);
        connect(recordWriter, &RecordWriter::sigCommitted, forwarder->forwarder(), &RecordForwarder::slotRecordCommitted);
        // Said once per change: why runs wait, and that they go again. Printed from the
        // forwarder's thread, as the last try runs while this thread waits for it at the end.
        connect(forwarder->forwarder(), &RecordForwarder::sigServerStatus, this,
                [](bool, const QString &message) { qWarning().noquote() << "zdz-flash:" << message; },
                Qt::DirectConnection);
        forwarder->start();
    }
}

FlashSession::~FlashSession()
{
    stopWorkers();
}

void FlashSession::start()
{
    if (started || finished)
        return;
    started = true;

    const QString mode = workMode == Worker::WORK_MODE_ERASE ? QStringLiteral("erase")
                         : continuous                        ? QStringLiteral("continuous download")
                                                             : QStringLiteral("download");
    const int fileCount = workMode == Worker::WORK_MODE_ERASE ? 0 : config.fileList().size();

    for (int i = 0; i < runs.size(); ++i) {
        PortRun &run = runs[i];
        run.thread = new QThread(this);
        run.thread->setObjectName(QStringLiteral("worker ") + run.name);
        run.worker = new Worker;
        run.worker->moveToThread(run.thread);

        connect(run.thread, &QThread::started, run.worker, &Worker::slotWorkerInit);
        // The worker's port and timers belong to its thread: it must be deleted there.
        connect(run.thread, &QThread::finished, run.worker, &QObject::deleteLater);
        connect(run.worker, &Worker::sigWorkerReportResult, this,
                [this, i](int code, RunRecord record) { handleResult(i, code, record); });
        if (showProgress) {
            connect(run.worker, &Worker::sigWorkerReportYmodemProgress, this,
                    [this, i](int fileId, int percent) { handleProgress(i, fileId, percent); });
        }

        output.start(run.name, mode, fileCount, config.baudrate());
        run.thread->start();

        // Queued, so they run in the worker's thread after slotWorkerInit, in this order.
        Worker *worker = run.worker;
        const UserConfig runConfig(config);
        const QString device = run.device;
        const int runMode = workMode;
        QMetaObject::invokeMethod(worker, [worker, runConfig] { worker->slotSetUserConfig(runConfig); },
                                  Qt::QueuedConnection);
        QMetaObject::invokeMethod(worker, [worker, device] { worker->slotSetWorkerPortName(device); },
                                  Qt::QueuedConnection);
        QMetaObject::invokeMethod(worker, [worker, runMode] { worker->slotSetWorkerMode(runMode); },
                                  Qt::QueuedConnection);
        QMetaObject::invokeMethod(worker, &Worker::slotWorkerStart, Qt::QueuedConnection);
    }
}

void FlashSession::slotStop()
{
    finish(true);
}

void FlashSession::handleResult(int index, int code, RunRecord record)
{
    PortRun &run = runs[index];
    if (recordWriter) {
        record.station = index + 1;
        record.host = hostName;
        recordWriter->submit(record);
    }
    if (code == ErrorCodes::RESULT_SUCCESS)
        ++run.passed;
    else
        ++run.failed;
    run.lastPercent = -1;
    output.result(run.name, run.passed + run.failed, code, record.message);

    if (continuous || finished)
        return;
    for (const PortRun &other : qAsConst(runs)) {
        if (other.passed + other.failed == 0)
            return;
    }
    finish(false);
}

void FlashSession::handleProgress(int index, int fileId, int percent)
{
    PortRun &run = runs[index];
    if (fileId == run.lastFileId && percent == run.lastPercent)
        return;
    run.lastFileId = fileId;
    run.lastPercent = percent;
    output.progress(run.name, fileId, percent);
}

void FlashSession::finish(bool interrupted)
{
    if (finished)
        return;
    finished = true;
    stopWorkers();
    // Results a worker sent just before its thread ended still count.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    // Every run reported above is in the record before the summary tells the rig it is over.
    if (recordWriter)
        recordWriter->stop();
    if (forwarder) {
        const int waiting = forwarder->flush();
        if (waiting > 0)
            qWarning().noquote() << QStringLiteral("zdz-flash: %1 run(s) wait in %2 for %3; the next zdz-flash run with "
                                                   "this --record delivers them")
                                        .arg(waiting)
                                        .arg(recordFile, recordServer);
    }

    bool allPassed = true;
    for (const PortRun &run : qAsConst(runs)) {
        // In single-shot mode a port without its result did not pass.
        const bool cut = interrupted && !continuous && run.passed + run.failed == 0;
        output.summary(run.name, run.passed, run.failed, cut);
        allPassed = allPassed && run.failed == 0 && !cut;
    }
    emit sigSessionFinished(allPassed ? 0 : 1);
}

void FlashSession::stopWorkers()
{
    for (PortRun &run : runs) {
        if (!run.thread)
            continue;
        run.thread->quit();
    }
    for (PortRun &run : runs) {
        if (!run.thread)
            continue;
        // Never terminated: the worker closes its port when it is deleted in its own thread.
        run.thread->wait();
        delete run.thread;
        run.thread = nullptr;
        run.worker = nullptr;
    }
}
