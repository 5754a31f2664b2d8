#ifndef RECORDQUERY_H
#define RECORDQUERY_H

#include "runrecord.h"

#include <QDate>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// Reading the production record back: the runs themselves and the yield per group. The
// statements stay within what SQLite and PostgreSQL both understand, so the line's server
// answers the same questions over its copy.
class RecordQuery
{
public:
    enum Grouping {
        GROUP_BY_DAY,
        GROUP_BY_STATION,
        GROUP_BY_PORT,
        GROUP_BY_FAMILY,
        GROUP_BY_CODE,
        GROUP_BY_HOST, // the PC: a line's server holds the runs of several
    };

    enum Outcome {
        ALL_RUNS,
        PASSED_RUNS,
        FAILED_RUNS,
    };

    // Days are UTC days of the start of a run, both ends included; a null date leaves that end open.
    struct Filter
    {
        QDate since;
        QDate until;
        Outcome outcome = ALL_RUNS;
    };

    struct Yield
    {
        QString group;
        int runs = 0;
        int passed = 0;
        int failed() const { return runs - passed; }
        // Percent; 0 for an empty group.
        double passRate() const { return runs > 0 ? 100.0 * passed / runs : 0.0; }
        // "97.5 %", or "-" for an empty group.
        QString passRateText() const
        {
            return runs > 0 ? QString::number(passRate(), 'f', 1) + QStringLiteral(" %") : QStringLiteral("-");
        }
    };

    explicit RecordQuery(const QSqlDatabase &database);

    // Groups in ascending order of their key.
    bool yield(const Filter &filter, Grouping grouping, QList<Yield> *rows);
    // Runs with their images, newest or oldest first; limit 0 means all.
    bool runs(const Filter &filter, bool newestFirst, int limit, QList<RunRecord> *records);

    QString error() const { return lastError; }

    static QStringList groupingNames();
    static bool groupingFromName(const QString &name, Grouping *grouping);
    static QString groupingName(Grouping grouping);
    static Yield total(const QList<Yield> &rows);

private:
    QString whereClause(const Filter &filter, QVariantList *values) const;

    QSqlDatabase db;
    QString lastError;
};

#endif // RECORDQUERY_H
