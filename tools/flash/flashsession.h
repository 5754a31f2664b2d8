#ifndef FLASHSESSION_H
#define FLASHSESSION_H

#include "flashoptions.h"
#include "flashoutput.h"
#include "runrecord.h"
#include "userconfig.h"

#include <QObject>
#include <QString>
#include <QVector>

class ForwarderThread;
class QThread;
class RecordWriter;
class Worker;

// Runs one worker per port, each in a thread of its own, all ports at once, and reports
// what the workers report. Single-shot: over when every port has its result. Continuous:
// over when stop is asked for; every worker is then stopped cleanly before the summary.
class FlashSession : public QObject
{
    Q_OBJECT

public:
    explicit FlashSession(const FlashOptions &options, QObject *parent = nullptr);
    ~FlashSession() override;

    void start();

signals:
    // Every worker thread has ended and the summary is out.
    void sigSessionFinished(int exitCode);

public slots:
    void slotStop();

private:
    struct PortRun
    {
        QString name;
        QString device;
        QThread *thread = nullptr;
        Worker *worker = nullptr;
        int passed = 0;
        int failed = 0;
        int lastFileId = 0;
        int lastPercent = -1;
    };

    void handleResult(int index, int code, RunRecord record);
    void handleProgress(int index, int fileId, int percent);
    void finish(bool interrupted);
    void stopWorkers();

    FlashOutput output;
    UserConfig config;
    int workMode;
    bool continuous;
    bool showProgress;
    QVector<PortRun> runs;
    RecordWriter *recordWriter = nullptr;
    ForwarderThread *forwarder = nullptr;
    QString recordFile;
    QString recordServer;
    QString hostName;
    bool started = false;
    bool finished = false;
};

#endif // FLASHSESSION_H
