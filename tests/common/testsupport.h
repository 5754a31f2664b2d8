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

#endif // TESTSUPPORT_H
