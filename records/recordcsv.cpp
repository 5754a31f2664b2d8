#include "recordcsv.h"

#include "recordstore.h"

#include <QStringList>

namespace {

const QString CRLF = QStringLiteral("\r\n");

QString timeField(const QDateTime &time)
{
    return time.isValid() ? RecordStore::timeText(time) : QString();
}

QString hex(quint32 value, int width)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper().rightJustified(width, QLatin1Char('0'));
}

} // namespace

QString RecordCsv::quoted(const QString &field)
{
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) && !field.contains(QLatin1Char('\n'))
        && !field.contains(QLatin1Char('\r')))
        return field;
    QString inner = field;
    inner.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + inner + QLatin1Char('"');
}

QString RecordCsv::header()
{
    QStringList columns{QStringLiteral("uuid"),         QStringLiteral("started_at"),  QStringLiteral("finished_at"),
                        QStringLiteral("host"),         QStringLiteral("station"),     QStringLiteral("port"),
                        QStringLiteral("work_mode"),    QStringLiteral("continuous"),  QStringLiteral("chip_family"),
                        QStringLiteral("loader_state"), QStringLiteral("loader_name"), QStringLiteral("loader_sha256"),
                        QStringLiteral("baudrate"),     QStringLiteral("result"),      QStringLiteral("code"),
                        QStringLiteral("code_hex"),     QStringLiteral("message"),     QStringLiteral("app_version")};
    for (int i = 1; i <= IMAGE_COLUMNS; ++i) {
        for (const char *field : {"path", "size", "sha256", "address", "written"})
            columns << QStringLiteral("image%1_%2").arg(i).arg(QLatin1String(field));
    }
    return columns.join(QLatin1Char(','));
}

QString RecordCsv::line(const RunRecord &record)
{
    QStringList fields{record.uuid,
                       timeField(record.startedAt),
                       timeField(record.finishedAt),
                       record.host,
                       record.station > 0 ? QString::number(record.station) : QString(),
                       record.port,
                       record.workMode,
                       record.continuous ? QStringLiteral("1") : QStringLiteral("0"),
                       record.chipFamily,
                       record.loaderState,
                       record.loaderName,
                       record.loaderSha256,
                       record.baudrate > 0 ? QString::number(record.baudrate) : QString(),
                       record.passed() ? QStringLiteral("PASS") : QStringLiteral("FAIL"),
                       QString::number(record.code),
                       hex(static_cast<quint32>(record.code) & 0xFFFFu, 4),
                       record.message,
                       record.appVersion};
    for (int i = 0; i < IMAGE_COLUMNS; ++i) {
        if (i >= record.images.size()) {
            fields << QString() << QString() << QString() << QString() << QString();
            continue;
        }
        const RunImage &image = record.images.at(i);
        fields << image.path << (image.size >= 0 ? QString::number(image.size) : QString()) << image.sha256
               << hex(image.address, 8) << (image.written ? QStringLiteral("1") : QStringLiteral("0"));
    }
    for (QString &field : fields)
        field = quoted(field);
    return fields.join(QLatin1Char(','));
}

QByteArray RecordCsv::document(const QList<RunRecord> &records)
{
    QString text = header() + CRLF;
    for (const RunRecord &record : records)
        text += line(record) + CRLF;
    return text.toUtf8();
}
