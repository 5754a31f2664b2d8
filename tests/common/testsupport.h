#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include <QtCore>

inline bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A file's bytes: a fixed pseudo-random run, so that no two blocks of it look alike.
inline QByteArray patternBytes(int size)
{
    QByteArray bytes(size, '\0');
    QRandomGenerator generator{quint32(size)};
    for (char &byte : bytes)
        byte = char(generator.generate());
    return bytes;
}

// The worker threads of this process by kernel id: a QThread without a name runs under its
// class name, the toolkit's threads and the record's have names.
inline QSet<QString> workerThreads()
{
    QSet<QString> ids;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (readFile(tasks.filePath(task + QStringLiteral("/comm"))).trimmed() == "QThread")
            ids.insert(task);
    return ids;
}

// Lines the port monitor lists besides the system's ports.
inline void setExtraPorts(const QStringList &paths)
{
    qputenv("ZDZ_EXTRA_PORTS", paths.join(QDir::listSeparator()).toLocal8Bit());
}

// An adapter as udev shows it: a link `name` to the device file "dev-<name>". Pulling the
// adapter out removes the device and leaves the link dangling.
inline bool plugAdapter(const QDir &dir, const QString &name)
{
    const QString device = dir.filePath(QStringLiteral("dev-") + name);
    const QString link = dir.filePath(name);
    return writeFile(device, QByteArray()) && (QFileInfo(link).isSymLink() || QFile::link(device, link));
}

inline bool unplugAdapter(const QDir &dir, const QString &name)
{
    return QFile::remove(dir.filePath(QStringLiteral("dev-") + name));
}

// Runs the event loop until `done` holds, looking again on each `signal` of `source`, or until
// `ms` pass. Unlike QTRY_* and qWait it never sleeps between rounds of events, which would
// stretch a transmitter's 5 ms step.
template<typename Source, typename Signal, typename Done>
bool waitForSignal(const Source *source, Signal signal, Done done, int ms = 5000)
{
    QEventLoop loop;
    QObject::connect(source, signal, &loop, [&] { done() ? loop.quit() : void(); });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

// Lets `ms` pass in the event loop, without the sleeps of qWait.
inline void letTimePass(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

#endif // TESTSUPPORT_H
