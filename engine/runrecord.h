#ifndef RUNRECORD_H
#define RUNRECORD_H

#include <QDateTime>
#include <QList>
#include <QMetaType>
#include <QString>

// One configured image as it stood in one run: what was meant to be written, and whether its
// transfer ended well in this run.
struct RunImage
{
    QString path;
    qint64 size = -1;      // -1: the file could not be read
    QString sha256;        // lower-case hex; empty when the file could not be read
    quint32 address = 0;
    bool written = false;
};

// Everything known about one finished run of one chip. It travels with the result code from
// the worker to every consumer (station, window, flasher, production record), so that the
// counters, the log and the record always speak of the same run.
struct RunRecord
{
    QString uuid;              // unique per run, across hosts (no braces)
    QDateTime startedAt;       // UTC
    QDateTime finishedAt;      // UTC
    QString host;
    int station = 0;           // 1-based row in the window, port position in zdz-flash; 0 unknown
    QString port;              // the port name this run was started on
    QString workMode;          // "download" or "erase"
    bool continuous = false;
    QString chipFamily;        // "ZR740A", "ZR740C", "ZR610A"; empty when no ROM loader answered
    QString loaderState;       // "rom" or "ram"; empty when no loader answered
    QString loaderName;        // file name of the RAM loader uploaded in this run; empty if none
    QString loaderSha256;
    quint32 baudrate = 0;      // line speed of the images
    QList<RunImage> images;
    int code = -1;
    QString message;
    QString appVersion;

    bool passed() const { return code == 0; }
};

Q_DECLARE_METATYPE(RunRecord)

#endif // RUNRECORD_H
