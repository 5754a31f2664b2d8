#include "recordquery.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

struct GroupingInfo
{
    RecordQuery::Grouping grouping;
    const char *name;
    const char *expression;
};

// The day of a run is the date part of its UTC start time.
const GroupingInfo GROUPINGS[] = {
    {RecordQuery::GROUP_BY_DAY, "day", "substr(started_at, 1, 10)"},
    {RecordQuery::GROUP_BY_STATION, "station", "station"},
    {RecordQuery::GROUP_BY_PORT, "port", "port"},
    {RecordQuery::GROUP_BY_FAMILY, "family", "chip_family"},
    {RecordQuery::GROUP_BY_CODE, "code", "code"},
    {RecordQuery::GROUP_BY_HOST, "host", "host"},
};

const GroupingInfo &infoFor(RecordQuery::Grouping grouping)
{
    for (const GroupingInfo &info : GROUPINGS) {
        if (info.grouping == grouping)
            return info;
    }
    return GROUPINGS[0];
}

QString groupLabel(RecordQuery::Grouping grouping, const QVariant &value)
{
    if (value.isNull())
        return QStringLiteral("-");
    if (grouping == RecordQuery::GROUP_BY_CODE) {
        const int code = value.toInt();
        return QStringLiteral("%1 (0x%2)").arg(code).arg(QString::number(code, 16).toUpper().rightJustified(4, QLatin1Char('0')));
    }
    return value.toString();
}

QDateTime timeFrom(const QVariant &value)
{
    return value.isNull() ? QDateTime() : QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
}

} // namespace

RecordQuery::RecordQuery(const QSqlDatabase &database)
    : db(database)
{
}

QStringList RecordQuery::groupingNames()
{
    QStringList names;
    for (const GroupingInfo &info : GROUPINGS)
        names << QString::fromLatin1(info.name);
    return names;
}

bool RecordQuery::groupingFromName(const QString &name, Grouping *grouping)
{
    for (const GroupingInfo &info : GROUPINGS) {
        if (name == QLatin1String(info.name)) {
            *grouping = info.grouping;
            return true;
        }
    }
    return false;
}

QString RecordQuery::groupingName(Grouping grouping)
{
    return QString::fromLatin1(infoFor(grouping).name);
}

RecordQuery::Yield RecordQuery::total(const QList<Yield> &rows)
{
    Yield sum;
    sum.group = QStringLiteral("total");
    for (const Yield &row : rows) {
        sum.runs += row.runs;
        sum.passed += row.passed;
    }
    return sum;
}

QString RecordQuery::whereClause(const Filter &filter, QVariantList *values) const
{
    QStringList conditions;
    // Time stamps are fixed-width ISO 8601 text, so text order is time order.
    if (filter.since.isValid()) {
        conditions << QStringLiteral("started_at >= ?");
        values->append(filter.since.toString(Qt::ISODate));
    }
    if (filter.until.isValid()) {
        conditions << QStringLiteral("started_at < ?");
        values->append(filter.until.addDays(1).toString(Qt::ISODate));
    }
    if (filter.outcome == PASSED_RUNS)
        conditions << QStringLiteral("code = 0");
    else if (filter.outcome == FAILED_RUNS)
        conditions << QStringLiteral("code <> 0");
    return conditions.isEmpty() ? QString() : QStringLiteral(" WHERE ") + conditions.join(QStringLiteral(" AND "));
}

bool RecordQuery::yield(const Filter &filter, Grouping grouping, QList<Yield> *rows)
{
    rows->clear();
    QVariantList values;
    const QString expression = QString::fromLatin1(infoFor(grouping).expression);
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT %1, COUNT(*), SUM(CASE WHEN code = 0 THEN 1 ELSE 0 END) FROM chip_runs%2"
                                 " GROUP BY %1 ORDER BY %1")
                      .arg(expression, whereClause(filter, &values)));
    for (const QVariant &value : qAsConst(values))
        query.addBindValue(value);
    if (!query.exec()) {
        lastError = query.lastError().text();
        return false;
    }
    while (query.next()) {
        Yield row;
        row.group = groupLabel(grouping, query.value(0));
        row.runs = query.value(1).toInt();
        row.passed = query.value(2).toInt();
        rows->append(row);
    }
    return true;
}

bool RecordQuery::runs(const Filter &filter, bool newestFirst, int limit, QList<RunRecord> *records)
{
    records->clear();
    QVariantList values;
    const QString order = newestFirst ? QStringLiteral(" DESC") : QString();
    QString sql = QStringLiteral("SELECT id, uuid, started_at, finished_at, host, station, port, work_mode, continuous,"
                                 " chip_family, loader_state, loader_name, loader_sha256, baudrate, code, message,"
                                 " app_version FROM chip_runs%1 ORDER BY started_at%2, id%2")
                      .arg(whereClause(filter, &values), order);
    if (limit > 0)
        sql += QStringLiteral(" LIMIT %1").arg(limit);

    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(sql);
    for (const QVariant &value : qAsConst(values))
        query.addBindValue(value);
    QSqlQuery images(db);
    images.setForwardOnly(true);
    images.prepare(QStringLiteral("SELECT path, size, sha256, address, written FROM chip_run_images"
                                  " WHERE run_id = ? ORDER BY seq"));
    if (!query.exec()) {
        lastError = query.lastError().text();
        return false;
    }
    QList<qint64> ids;
    while (query.next()) {
        RunRecord record;
        ids << query.value(0).toLongLong();
        record.uuid = query.value(1).toString();
        record.startedAt = timeFrom(query.value(2));
        record.finishedAt = timeFrom(query.value(3));
        record.host = query.value(4).toString();
        record.station = query.value(5).toInt();
        record.port = query.value(6).toString();
        record.workMode = query.value(7).toString();
        record.continuous = query.value(8).toInt() != 0;
        record.chipFamily = query.value(9).toString();
        record.loaderState = query.value(10).toString();
        record.loaderName = query.value(11).toString();
        record.loaderSha256 = query.value(12).toString();
        record.baudrate = static_cast<quint32>(query.value(13).toLongLong());
        record.code = query.value(14).isNull() ? -1 : query.value(14).toInt();
        record.message = query.value(15).toString();
        record.appVersion = query.value(16).toString();
        records->append(record);
    }
    for (int i = 0; i < records->size(); ++i) {
        images.addBindValue(ids.at(i));
        if (!images.exec()) {
            lastError = images.lastError().text();
            return false;
        }
        while (images.next()) {
            RunImage image;
            image.path = images.value(0).toString();
            image.size = images.value(1).isNull() ? -1 : images.value(1).toLongLong();
            image.sha256 = images.value(2).toString();
            image.address = static_cast<quint32>(images.value(3).toLongLong());
            image.written = images.value(4).toInt() != 0;
            (*records)[i].images.append(image);
        }
    }
    return true;
}
