#ifndef RUNRECORDER_H
#define RUNRECORDER_H

#include "runrecord.h"
#include "userconfig.h"

#include <QDateTime>
#include <QList>
#include <QString>

// Keeps the record of the run in progress. The images' hashes are taken once per configuration
// and again only for a file that changed on disk, so a continuous line does not read every
// image for every chip.
class RunRecorder
{
public:
    void setImages(const QList<FileCfg> &files);
    // A fresh record: new identity, start time now, every configured image not yet written.
    void begin(const QString &port, const QString &workMode, bool continuous, quint32 baudrate);
    void setChip(const QString &family, const QString &loaderState);
    void setLoader(const QString &path);
    void setImageWritten(int index);
    // The record as it ends with this result and the operator's message for it.
    RunRecord finish(int code, const QString &message);

    static QString fileSha256(const QString &path);

private:
    struct HashedImage
    {
        RunImage image;
        QDateTime modified;
    };
    QList<HashedImage> images;
    RunRecord record;
};

#endif // RUNRECORDER_H
