#ifndef CHIPSIMPROCESS_H
#define CHIPSIMPROCESS_H

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QScopedPointer>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

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
        process.reset();
        dir.reset(new QTemporaryDir());
        if (!dir->isValid() || !QDir(dir->path()).mkpath(QStringLiteral("links")) || !QDir(dir->path()).mkpath(QStringLiteral("out")))
            return false;
        links.clear();
        stdoutBuffer.clear();
        process.reset(new OrphanSafeProcess());
        process->setReadChannel(QProcess::StandardOutput);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(ZDZ_CHIPSIM_BIN),
                       QStringList{QStringLiteral("--chips"), QString::number(chips), QStringLiteral("--dir"),
                                   dir->filePath(QStringLiteral("links")), QStringLiteral("--out"), outDir()}
                           + extraArgs);
        if (!process->waitForStarted(10000))
            return false;
        const QDeadlineTimer deadline(10000);
        QString line;
        while (readLine(deadline, &line)) {
            if (line == QLatin1String("READY"))
                return links.size() == chips;
            const QStringList words = line.split(QLatin1Char(' '));
            if (words.size() == 3)
                links.insert(words.at(0).toInt(), words.at(1));
        }
        stop();
        return false;
    }

    QString linkPath(int chip) const { return links.value(chip); }
    QString outDir() const { return dir ? dir->filePath(QStringLiteral("out")) : QString(); }
    bool isRunning() const { return process && process->state() == QProcess::Running; }

    // Sends one control line and waits for its OK or ERR.
    bool command(const QString &line)
    {
        if (!isRunning())
            return false;
        process->write(line.toUtf8() + '\n');
        process->waitForBytesWritten(1000);
        const QDeadlineTimer deadline(5000);
        QString reply;
        while (readLine(deadline, &reply)) {
            if (reply == QLatin1String("OK ") + line.trimmed())
                return true;
            if (reply.startsWith(QLatin1String("ERR ")))
                return false;
        }
        return false;
    }

    // Ends the control input; the simulator keeps running.
    void closeControl()
    {
        if (process)
            process->closeWriteChannel();
    }

    QList<QJsonObject> transcript(int chip) const
    {
        QList<QJsonObject> events;
        QFile file(QDir(outDir()).filePath(QStringLiteral("chip%1.jsonl").arg(chip)));
        if (!file.open(QIODevice::ReadOnly))
            return events;
        for (const QByteArray &line : file.readAll().split('\n')) {
            // A line still being written is skipped rather than misread.
            const QJsonDocument doc = QJsonDocument::fromJson(line);
            if (doc.isObject())
                events.append(doc.object());
        }
        return events;
    }

    QStringList receivedLines(int chip) const
    {
        QStringList lines;
        for (const QJsonObject &event : transcript(chip)) {
            if (event.value(QStringLiteral("ev")).toString() == QLatin1String("rx"))
                lines.append(event.value(QStringLiteral("line")).toString());
        }
        return lines;
    }

    QByteArray image(int chip, quint32 addr) const
    {
        QString path;
        for (const QJsonObject &event : transcript(chip)) {
            if (event.value(QStringLiteral("ev")).toString() == QLatin1String("image")
                && event.value(QStringLiteral("kind")).toString() == QLatin1String("image")
                && static_cast<quint32>(event.value(QStringLiteral("addr")).toDouble()) == addr)
                path = event.value(QStringLiteral("path")).toString();
        }
        if (path.isEmpty())
            return QByteArray();
        QFile file(QDir(outDir()).filePath(path));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void stop()
    {
        if (!process)
            return;
        if (process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(5000)) {
                process->kill();
                process->waitForFinished(2000);
            }
        }
    }

    // Exit code of a stopped simulator (-1 while it runs, before it started or after a crash).
    int exitCode() const
    {
        return process && process->state() == QProcess::NotRunning && process->exitStatus() == QProcess::NormalExit
                   ? process->exitCode()
                   : -1;
    }

private:
    // A simulator whose test died must not live on: it goes with its parent.
    class OrphanSafeProcess : public QProcess
    {
    protected:
        void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGTERM); }
    };

    bool readLine(const QDeadlineTimer &deadline, QString *line)
    {
        for (;;) {
            const int lf = stdoutBuffer.indexOf('\n');
            if (lf >= 0) {
                *line = QString::fromLocal8Bit(stdoutBuffer.left(lf));
                stdoutBuffer.remove(0, lf + 1);
                return true;
            }
            if (!process || deadline.hasExpired())
                return false;
            if (!isRunning()) {
                const QByteArray rest = process->readAllStandardOutput();
                if (rest.isEmpty())
                    return false;
                stdoutBuffer += rest;
                continue;
            }
            if (process->waitForReadyRead(static_cast<int>(qMax<qint64>(1, deadline.remainingTime()))))
                stdoutBuffer += process->readAllStandardOutput();
        }
    }

    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<OrphanSafeProcess> process;
    QMap<int, QString> links;
    QByteArray stdoutBuffer;
};

#endif
