#include "runrecorder.h"


#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QUuid>

// Builds outside the project's own tree (the fuzz targets) name no version.
#ifndef ZDZ_PROJECT_VERSION
#define ZDZ_PROJECT_VERSION "unknown"
#endif

void RunRecorder::setImages(const QList<FileCfg> &files)
{
    images.clear();
    for (const FileCfg &file : files) {
        HashedImage hashed;
        hashed.image.path = file.filePath;
        hashed.image.address = file.startAddr;
        images.append(hashed);
    }
}

void RunRecorder::begin(const QString &port, const QString &workMode, bool continuous, quint32 baudrate)
{
    record = RunRecord();
    record.uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    record.startedAt = QDateTime::currentDateTimeUtc();
    record.host = QSysInfo::machineHostName();
    record.port = port;
    record.workMode = workMode;
    record.continuous = continuous;
    record.baudrate = baudrate;
    record.appVersion = QCoreApplication::applicationVersion();
    if (record.appVersion.isEmpty())
        record.appVersion = QStringLiteral(ZDZ_PROJECT_VERSION);
    for (HashedImage &hashed : images) {
        const QFileInfo info(hashed.image.path);
        const qint64 size = info.isFile() ? info.size() : -1;
        if (size != hashed.image.size || info.lastModified() != hashed.modified || hashed.image.sha256.isEmpty()) {
            hashed.image.size = size;
            hashed.modified = info.lastModified();
            hashed.image.sha256 = size < 0 ? QString() : fileSha256(hashed.image.path);
            if (hashed.image.sha256.isEmpty())
                hashed.image.size = -1;
        }
        record.images.append(hashed.image);
    }
}

void RunRecorder::setChip(const QString &family, const QString &loaderState)
{
    record.chipFamily = family;
    record.loaderState = loaderState;
}

void RunRecorder::setLoader(const QString &path)
{
    record.loaderName = QFileInfo(path).fileName();
    record.loaderSha256 = fileSha256(path);
}

void RunRecorder::setImageWritten(int index)
{
    if (index >= 0 && index < record.images.size())
        record.images[index].written = true;
}

RunRecord RunRecorder::finish(int code, const QString &message)
{
    record.code = code;
    record.message = message;
    record.finishedAt = QDateTime::currentDateTimeUtc();
    return record;
}

QString RunRecorder::fileSha256(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}
