#include "recordcsv.h"
#include "recordquery.h"
#include "recordserver.h"
#include "recordstore.h"
#include "reportoptions.h"

#include <QCoreApplication>
#include <QSqlError>

#include <cstdio>

namespace {

constexpr int EXIT_UNREADABLE = 1;
constexpr int EXIT_ARGUMENTS = 2;

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

QString yieldTable(const QString &title, const QList<RecordQuery::Yield> &rows)
{
    QList<RecordQuery::Yield> all = rows;
    all.append(RecordQuery::total(rows));
    int width = title.size();
    for (const RecordQuery::Yield &row : qAsConst(all))
        width = qMax(width, row.group.size());
    const auto line = [width](const QString &group, const QString &runs, const QString &passed, const QString &failed,
                              const QString &rate) {
        return QStringLiteral("%1 %2 %3 %4 %5\n")
            .arg(group, -width)
            .arg(runs, 8)
            .arg(passed, 8)
            .arg(failed, 8)
            .arg(rate, 10);
    };
    QString text = line(title, QStringLiteral("runs"), QStringLiteral("passed"), QStringLiteral("failed"),
                        QStringLiteral("pass rate"));
    for (const RecordQuery::Yield &row : qAsConst(all))
        text += line(row.group, QString::number(row.runs), QString::number(row.passed), QString::number(row.failed()),
                     row.passRateText());
    return text;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zdz-report"));

    ReportOptions options;
    if (!options.parse(QCoreApplication::arguments())) {
        options.printError();
        return EXIT_ARGUMENTS;
    }
    if (options.helpRequested()) {
        print(stdout, ReportOptions::helpText());
        return 0;
    }

    RecordStore store;
    QSqlDatabase database;
    const RecordTarget source = options.source();
    if (source.isServer()) {
        // Reading never creates the server's tables: a wrong database name stays an error.
        database = RecordServer::addDatabase(source, QStringLiteral("report"));
        if (!database.open()) {
            print(stderr, QStringLiteral("zdz-report: %1: %2\n")
                              .arg(source.displayText(), source.redact(database.lastError().text().simplified())));
            return EXIT_UNREADABLE;
        }
    } else {
        if (store.openForReading(options.file()) != RecordStore::STORE_OK) {
            print(stderr, QStringLiteral("zdz-report: %1\n").arg(store.error()));
            return EXIT_UNREADABLE;
        }
        database = store.database();
    }
    const QString name = source.displayText();
    RecordQuery query(database);
    if (options.csv()) {
        QList<RunRecord> runs;
        if (!query.runs(options.filter(), false, 0, &runs)) {
            print(stderr, QStringLiteral("zdz-report: %1: %2\n").arg(name, source.redact(query.error())));
            return EXIT_UNREADABLE;
        }
        const QByteArray csv = RecordCsv::document(runs);
        std::fwrite(csv.constData(), 1, static_cast<size_t>(csv.size()), stdout);
        std::fflush(stdout);
        return 0;
    }
    QList<RecordQuery::Yield> rows;
    if (!query.yield(options.filter(), options.grouping(), &rows)) {
        print(stderr, QStringLiteral("zdz-report: %1: %2\n").arg(name, source.redact(query.error())));
        return EXIT_UNREADABLE;
    }
    print(stdout, yieldTable(RecordQuery::groupingName(options.grouping()), rows));
    return 0;
}
