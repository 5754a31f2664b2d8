#include "preparedrecords.h"
#include "testsupport.h"

#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#ifndef ZDZ_REPORT_BIN
#error "ZDZ_REPORT_BIN must name the zdz-report binary"
#endif

namespace {

// RFC 4180 read back independently: fields split at commas outside quotes, "" inside quotes.
QList<QStringList> parseCsv(const QString &text)
{
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted && c == '"' && text.mid(i + 1, 1) == '"')
            field += text.at(++i);
        else if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == ',')
            row << field, field.clear();
        else if (!quoted && c == '\r' && text.mid(i + 1, 1) == '\n')
            row << field, field.clear(), rows << row, row.clear(), ++i;
        else
            field += c;
    }
    return rows;
}

} // namespace

class TestReport : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void report_data();
    void report();
    void csv_data();
    void csv();

private:
    // Runs the report on the named file (DB, CORRUPT, NEWER, EMPTY, MISSING); stdout, stderr, status.
    int run(QStringList args, QString *out, QString *err)
    {
        for (QString &arg : args) {
            if (files.contains(arg))
                arg = files.value(arg);
        }
        QProcess process;
        process.start(ZDZ_REPORT_BIN, args);
        if (!process.waitForFinished(30000))
            return -1;
        *out = QString::fromUtf8(process.readAllStandardOutput());
        *err = QString::fromUtf8(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    QTemporaryDir dir;
    QMap<QString, QString> files;
};

void TestReport::initTestCase()
{
    QVERIFY(dir.isValid());
    for (const char *name : {"DB", "CORRUPT", "NEWER", "EMPTY", "MISSING"})
        files.insert(name, dir.filePath(QString(name).toLower() + ".sqlite"));
    QVERIFY(writePreparedRecords(files["DB"]));
    QVERIFY(writeFile(files["CORRUPT"], QByteArray(4096, 'x')));
    QVERIFY(writePreparedRecords(files["NEWER"]));
    RecordStore newer;
    QCOMPARE(newer.openForReading(files["NEWER"]), RecordStore::STORE_OK);
    QVERIFY(QSqlQuery(newer.database()).exec("UPDATE schema_info SET version = 2"));
    newer.close();
    QSqlDatabase empty = QSqlDatabase::addDatabase("QSQLITE", "empty");
    empty.setDatabaseName(files["EMPTY"]);
    QVERIFY(empty.open() && QSqlQuery(empty).exec("CREATE TABLE other (x INTEGER)"));
    empty.close();
}

void TestReport::report_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("status");
    // Lines of stdout with blanks collapsed, or of stderr when the status is not 0.
    QTest::addColumn<QStringList>("lines");

    const QString head = "runs passed failed pass rate";
    QTest::newRow("by day, the default") << QStringList{"DB"} << 0
        << QStringList{"day " + head, "2026-12-01 2 1 1 50.0 %", "2026-12-02 1 1 0 100.0 %",
                       "2026-12-03 2 1 1 50.0 %", "total 5 3 2 60.0 %"};
    QTest::newRow("by station") << QStringList{"DB", "--by", "station"} << 0
        << QStringList{"station " + head, "1 2 2 0 100.0 %", "2 2 1 1 50.0 %", "3 1 0 1 0.0 %", "total 5 3 2 60.0 %"};
    QTest::newRow("by port") << QStringList{"--by", "port", "DB"} << 0
        << QStringList{"port " + head, "ttyUSB0 2 2 0 100.0 %", "ttyUSB1 2 1 1 50.0 %", "ttyUSB2 1 0 1 0.0 %",
                       "total 5 3 2 60.0 %"};
    QTest::newRow("by family, unknown first") << QStringList{"DB", "--by", "family"} << 0
        << QStringList{"family " + head, "- 1 0 1 0.0 %", "ZR610A 1 1 0 100.0 %", "ZR740A 2 2 0 100.0 %",
                       "ZR740C 1 0 1 0.0 %", "total 5 3 2 60.0 %"};
    QTest::newRow("by code") << QStringList{"DB", "--by", "code"} << 0
        << QStringList{"code " + head, "0 (0x0000) 3 3 0 100.0 %", "515 (0x0203) 1 0 1 0.0 %",
                       "1030 (0x0406) 1 0 1 0.0 %", "total 5 3 2 60.0 %"};
    QTest::newRow("one day") << QStringList{"DB", "--since", "2026-12-02", "--until", "2026-12-02"} << 0
        << QStringList{"day " + head, "2026-12-02 1 1 0 100.0 %", "total 1 1 0 100.0 %"};
    QTest::newRow("since keeps the day's last millisecond") << QStringList{"DB", "--since", "2026-12-03", "--by", "station"} << 0
        << QStringList{"station " + head, "2 1 1 0 100.0 %", "3 1 0 1 0.0 %", "total 2 1 1 50.0 %"};
    QTest::newRow("until") << QStringList{"DB", "--until", "2026-12-01", "--by", "code"} << 0
        << QStringList{"code " + head, "0 (0x0000) 1 1 0 100.0 %", "1030 (0x0406) 1 0 1 0.0 %", "total 2 1 1 50.0 %"};
    QTest::newRow("no run in range") << QStringList{"DB", "--since", "2027-01-01"} << 0
        << QStringList{"day " + head, "total 0 0 0 -"};

    const QString parse = "error 0x0101: Failed to pase cmd arguments.";
    QTest::newRow("no file") << QStringList{} << 2
        << QStringList{"error 0x0102: Not all necessary arguments are provided.", "no record FILE given"};
    QTest::newRow("unknown grouping") << QStringList{"DB", "--by", "week"} << 2 << QStringList{parse, "by: week"};
    QTest::newRow("impossible date") << QStringList{"DB", "--since", "2026-02-30"} << 2 << QStringList{parse, "since: 2026-02-30"};
    QTest::newRow("range backwards") << QStringList{"DB", "--since", "2026-12-03", "--until", "2026-12-01"} << 2
        << QStringList{parse, "since 2026-12-03 is after until 2026-12-01"};
    QTest::newRow("two files") << QStringList{"DB", "EMPTY"} << 2 << QStringList{parse, "unexpected argument: EMPTY"};
    QTest::newRow("unknown option") << QStringList{"DB", "--json"} << 2 << QStringList{parse, "Unknown option 'json'."};
    QTest::newRow("missing file") << QStringList{"MISSING"} << 2
        << QStringList{"error 0x0106: Invalid: filename must exist and can only be set once.", "file: MISSING"};
    QTest::newRow("not a database") << QStringList{"CORRUPT"} << 1 << QStringList{"file is not a database"};
    QTest::newRow("a database of something else") << QStringList{"EMPTY"} << 1 << QStringList{"not a production record"};
    QTest::newRow("a newer record") << QStringList{"NEWER"} << 1 << QStringList{"newer program (record version 2"};
}

void TestReport::report()
{
    QFETCH(QStringList, args);
    QFETCH(int, status);
    QFETCH(QStringList, lines);
    QString out, err;
    QCOMPARE(run(args, &out, &err), status);
    if (status == 0) {
        QCOMPARE(err, QString());
        QStringList shown;
        for (const QString &line : out.split('\n', Qt::SkipEmptyParts))
            shown << line.simplified();
        QCOMPARE(shown, lines);
    } else if (status == 2) {
        for (QString &line : lines)
            line.replace("MISSING", files["MISSING"]).replace("EMPTY", files["EMPTY"]);
        QCOMPARE(err.split('\n', Qt::SkipEmptyParts).replaceInStrings(QRegularExpression("^\\s+"), ""), lines);
        QCOMPARE(out, QString());
    } else {
        QVERIFY2(err.startsWith("zdz-report: ") && err.contains(lines.first()), qPrintable(err));
    }
}

void TestReport::csv_data()
{
    QTest::addColumn<QStringList>("args");
    // The prepared runs expected, by index, oldest first.
    QTest::addColumn<QList<int>>("runs");
    QTest::newRow("every run") << QStringList{"DB", "--csv"} << QList<int>{0, 1, 2, 3, 4};
    QTest::newRow("from the second day") << QStringList{"--csv", "DB", "--since", "2026-12-02"} << QList<int>{2, 3, 4};
}

void TestReport::csv()
{
    QFETCH(QStringList, args);
    QFETCH(QList<int>, runs);
    QString out, err;
    QCOMPARE(run(args, &out, &err), 0);
    QVERIFY(out.endsWith("\r\n"));
    const QList<QStringList> rows = parseCsv(out);
    QCOMPARE(rows.size(), runs.size() + 1);
    const QStringList header = rows.first();
    QCOMPARE(header.size(), 18 + 4 * 5);
    for (int i = 0; i < runs.size(); ++i) {
        const RunRecord expected = preparedRuns().at(runs.at(i));
        QCOMPARE(rows.at(i + 1).size(), header.size());
        QStringList picked;
        for (const char *name : {"uuid", "started_at", "station", "result", "code", "code_hex", "message", "chip_family",
                                 "image1_path", "image1_address", "image1_written", "image2_size", "image3_path"})
            picked << rows.at(i + 1).at(header.indexOf(name));
        const QString code = QString::number(expected.code);
        QCOMPARE(picked, (QStringList{expected.uuid, RecordStore::timeText(expected.startedAt), QString::number(expected.station),
                                      expected.code ? "FAIL" : "PASS", code, expected.code == 1030 ? "0x0406" : expected.code ? "0x0203" : "0x0000",
                                      expected.message, expected.chipFamily, expected.images.at(0).path, "0x00008000",
                                      expected.code ? "0" : "1", "", ""}));
    }
}

QTEST_GUILESS_MAIN(TestReport)
#include "tst_report.moc"
