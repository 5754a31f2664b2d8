#pragma once

#include "userconfig.h"
#include "worker.h"

#include "testsupport.h"

#include <QTemporaryDir>
#include <QThread>

using Code = Worker::ChipCodeVerFlag;

inline QTemporaryDir imageDir;

// A file of `size` pattern bytes for the chip's flash at `addr`.
inline FileCfg image(const QString &name, int size, quint32 addr)
{
    const QString path = imageDir.filePath(name);
    return FileCfg{ writeFile(path, patternBytes(size)) ? path : QString(), addr };
}

// Per family a vendor loader of `size` bytes, a size no built-in one has, headed by the family's name.
inline bool fillLoaderFolder(const QTemporaryDir &dir, int size)
{
    for (const char *family : { "zr740a", "zr740c", "zr610a" })
        if (!writeFile(dir.filePath(QString("ramcode_%1.bin").arg(family)), patternBytes(size).replace(0, 6, family)))
            return false;
    return true;
}

// One worker in its own thread, driven as a station drives it: queued calls in, queued signals out.
struct WorkerRig : QObject
{
    WorkerRig()
    {
        worker->moveToThread(&thread);
        connect(&thread, &QThread::started, worker, &Worker::slotWorkerInit);
        connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        connect(worker, &Worker::sigWorkerReportResult, this, [this](int r, const RunRecord &record) {
            results << r;
            records << record;
        });
        connect(worker, &Worker::sigWorkerReadyToWork, this, [this](Code c) { ready << c; });
        connect(worker, &Worker::sigWorkerReportYmodemProgress, this,
                [this](int fileID, int p) { progress << qMakePair(fileID, p); });
        thread.start();
    }
    ~WorkerRig() override { thread.quit(); thread.wait(); }

    // The station's signals: the configuration, then, unless `start` is false, port, work mode and start.
    void run(const QList<FileCfg> &files, const QString &port, quint32 baudrate = 921600,
             quint32 downloadMode = UserConfig::DOWNLOAD_MODE_SINGLESHOT, int mode = Worker::WORK_MODE_DOWNLOAD,
             bool start = true, const QString &loaderDir = QString())
    {
        UserConfig config;
        config.setFileList(files);
        config.setBaudrate(baudrate);
        config.setDownloadMode(downloadMode);
        config.setLoaderDir(loaderDir);
        QMetaObject::invokeMethod(worker, [w = worker, config, port, mode, start] {
            w->slotSetUserConfig(config);
            if (!start)
                return;
            w->slotSetWorkerPortName(port);
            w->slotSetWorkerMode(mode);
            w->slotWorkerStart();
        });
    }

    QThread thread;
    Worker *worker = new Worker;
    QList<int> results;
    QList<RunRecord> records;
    QList<Code> ready;
    QList<QPair<int, int>> progress;
};
