#include "transcript.h"

#include <QElapsedTimer>
#include <QJsonDocument>

namespace {
// Started once, whichever chip's thread asks first.
const QElapsedTimer &startClock()
{
    static const QElapsedTimer timer = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return timer;
}
}

bool Transcript::open(const QString &path, QString *error)
{
    elapsedMs();
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

void Transcript::write(const QString &event, QJsonObject fields, int hostBaud, int chipBaud)
{
    if (!file.isOpen())
        return;
    fields.insert(QStringLiteral("t"), elapsedMs());
    fields.insert(QStringLiteral("ev"), event);
    fields.insert(QStringLiteral("baud"), hostBaud);
    fields.insert(QStringLiteral("chipbaud"), chipBaud);
    file.write(QJsonDocument(fields).toJson(QJsonDocument::Compact) + '\n');
}

qint64 Transcript::elapsedMs()
{
    return startClock().elapsed();
}

qint64 Transcript::elapsedUs()
{
    return startClock().nsecsElapsed() / 1000;
}

QString Transcript::bytesToText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes);
}
