#include "flashoutput.h"

#include "errorcodes.h"

#include <QJsonDocument>

#include <cstdio>

FlashOutput::FlashOutput(bool json)
    : json(json)
{
}

void FlashOutput::start(const QString &port, const QString &mode, int fileCount, quint32 baudrate)
{
    QJsonObject fields{{QStringLiteral("port"), port},
                       {QStringLiteral("event"), QStringLiteral("start")},
                       {QStringLiteral("mode"), mode}};
    QString text = QStringLiteral("%1: start %2").arg(port, mode);
    if (fileCount > 0) {
        fields.insert(QStringLiteral("files"), fileCount);
        fields.insert(QStringLiteral("baudrate"), static_cast<qint64>(baudrate));
        text += QStringLiteral(", %1 file(s) at %2 baud").arg(fileCount).arg(baudrate);
    }
    emitLine(fields, text);
}

void FlashOutput::progress(const QString &port, int fileId, int percent)
{
    emitLine({{QStringLiteral("port"), port},
              {QStringLiteral("event"), QStringLiteral("progress")},
              {QStringLiteral("file"), fileId},
              {QStringLiteral("progress"), percent}},
             QStringLiteral("%1: file %2 %3%").arg(port).arg(fileId).arg(percent));
}

void FlashOutput::result(const QString &port, int chip, int code, const QString &message)
{
    const bool pass = code == ErrorCodes::RESULT_SUCCESS;
    emitLine({{QStringLiteral("port"), port},
              {QStringLiteral("event"), QStringLiteral("result")},
              {QStringLiteral("chip"), chip},
              {QStringLiteral("pass"), pass},
              {QStringLiteral("code"), code},
              {QStringLiteral("message"), message}},
             QStringLiteral("%1: chip %2 %3 %4 (0x%5) %6")
                 .arg(port)
                 .arg(chip)
                 .arg(pass ? QStringLiteral("PASS") : QStringLiteral("FAIL"))
                 .arg(code)
                 .arg(QString::number(code, 16).toUpper().rightJustified(4, QLatin1Char('0')))
                 .arg(message));
}

void FlashOutput::summary(const QString &port, int passed, int failed, bool interrupted)
{
    QJsonObject fields{{QStringLiteral("port"), port},
                       {QStringLiteral("event"), QStringLiteral("summary")},
                       {QStringLiteral("passed"), passed},
                       {QStringLiteral("failed"), failed}};
    QString text = QStringLiteral("%1: summary %2 passed, %3 failed").arg(port).arg(passed).arg(failed);
    if (interrupted) {
        fields.insert(QStringLiteral("interrupted"), true);
        text += QStringLiteral(", interrupted before its result");
    }
    emitLine(fields, text);
}

void FlashOutput::emitLine(const QJsonObject &fields, const QString &text)
{
    const QByteArray line = json ? QJsonDocument(fields).toJson(QJsonDocument::Compact) : text.toUtf8();
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
