#ifndef CHIPSIMPROCESS_H
#define CHIPSIMPROCESS_H

#include <QtCore>

#include <csignal>
#include <sys/prctl.h>

#ifndef ZDZ_CHIPSIM_BIN
#error "Link the test with zdz_use_chipsim() to know where zdz-chipsim is"
#endif

// Runs zdz-chipsim for one test: its links and its output live in a temporary folder
// that goes with this object.
class ChipSimProcess
{
public:
    ChipSimProcess() = default;
    ChipSimProcess(const ChipSimProcess &) = delete;
    ChipSimProcess &operator=(const ChipSimProcess &) = delete;
    ~ChipSimProcess() { stop(); }

    bool start(int chips, const QStringList &extraArgs = {})
    {
        stop();
        dir.reset(new QTemporaryDir());
        links.clear();
        process.reset(new OrphanSafeProcess());
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (!dir->isValid() || !QDir(dir->path()).mkpath("links") || !QDir(dir->path()).mkpath("out"))
            return false;
        process->start(ZDZ_CHIPSIM_BIN, QStringList{"--chips", QString::number(chips), "--dir", dir->filePath("links"),
                                                    "--out", outDir()} + extraArgs);
        const QDeadlineTimer deadline(10000);
        QString line;
        while (readLine(deadline, &line) && line != QLatin1String("READY"))
            if (line.count(' ') == 2)
                links.insert(line.section(' ', 0, 0).toInt(), line.section(' ', 1, 1));
        if (line == QLatin1String("READY"))
            return links.size() == chips;
        stop();
        return false;
    }

    QString linkPath(int chip) const { return links.value(chip); }
    QString outDir() const { return dir ? dir->filePath("out") : QString(); }
    bool isRunning() const { return process && process->state() == QProcess::Running; }
    qint64 processId() const { return process ? process->processId() : 0; }

    // Sends one control line and waits for its OK or ERR.
    bool command(const QString &line)
    {
        if (!isRunning())
            return false;
        process->write(line.toUtf8() + '\n');
        process->waitForBytesWritten(1000);
        const QDeadlineTimer deadline(5000);
        QString reply;
        while (readLine(deadline, &reply) && !reply.startsWith(QLatin1String("ERR ")))
            if (reply == QLatin1String("OK ") + line.trimmed())
                return true;
        return false;
    }

    // Ends the control input; the simulator keeps running.
    void closeControl() { process ? process->closeWriteChannel() : void(); }

    QList<QJsonObject> transcript(int chip) const
    {
        QList<QJsonObject> events;
        QFile file(QDir(outDir()).filePath(QStringLiteral("chip%1.jsonl").arg(chip)));
        // A line still being written is skipped rather than misread.
        for (const QByteArray &line : file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>())
            if (QJsonDocument::fromJson(line).isObject())
                events.append(QJsonDocument::fromJson(line).object());
        return events;
    }

    // One field of every transcript event of one kind, as text.
    QStringList fields(int chip, const QString &ev, const QString &key) const
    {
        QStringList list;
        for (const QJsonObject &event : transcript(chip))
            if (event.value("ev").toString() == ev)
                list.append(event.value(key).toVariant().toString());
        return list;
    }

    QStringList receivedLines(int chip) const { return fields(chip, "rx", "line"); }

    // The last image the chip received at `addr` (empty if none).
    QByteArray image(int chip, quint32 addr) const
    {
        QString path;
        for (const QJsonObject &event : transcript(chip))
            if (event.value("ev").toString() == QLatin1String("image") && event.value("kind").toString() == QLatin1String("image")
                && static_cast<quint32>(event.value("addr").toDouble()) == addr)
                path = event.value("path").toString();
        QFile file(QDir(outDir()).filePath(path));
        return !path.isEmpty() && file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void stop()
    {
        if (!process || process->state() == QProcess::NotRunning)
            return;
        process->terminate();
        if (!process->waitForFinished(5000)) {
            process->kill();
            process->waitForFinished(2000);
        }
    }

    // Exit code of a stopped simulator (-1 while it runs, before it started or after a crash).
    int exitCode() const
    {
        return process && process->state() == QProcess::NotRunning && process->exitStatus() == QProcess::NormalExit
                   ? process->exitCode() : -1;
    }

private:
    // A simulator whose test died must not live on: it goes with its parent.
    class OrphanSafeProcess : public QProcess
    {
    protected:
        void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGTERM); }
    };

    // What an ended simulator printed last is still read.
    bool readLine(const QDeadlineTimer &deadline, QString *line)
    {
        while (!process->canReadLine())
            if (deadline.hasExpired() || !process->waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))))
                return false;
        *line = QString::fromLocal8Bit(process->readLine()).chopped(1);
        return true;
    }

    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<OrphanSafeProcess> process;
    QMap<int, QString> links;
};

#endif
