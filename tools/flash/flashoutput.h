#ifndef FLASHOUTPUT_H
#define FLASHOUTPUT_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The lines a script reads on stdout: plain text or one JSON object per line. Every
// line is flushed at once, so a rig sees each chip's result the moment it is known.
class FlashOutput
{
public:
    explicit FlashOutput(bool json);

    void start(const QString &port, const QString &mode, int fileCount, quint32 baudrate);
    void progress(const QString &port, int fileId, int percent);
    void result(const QString &port, int chip, int code, const QString &message);
    void summary(const QString &port, int passed, int failed, bool interrupted);

private:
    void emitLine(const QJsonObject &fields, const QString &text);

    bool json;
};

#endif // FLASHOUTPUT_H
