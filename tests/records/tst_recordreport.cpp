#include "preparedrecords.h"
#include "recordview.h"
#include "testsupport.h"

#include <QtTest>
#include <QtWidgets>

// The prepared runs read back: zdz-report's yield tables and CSV, the record view's filters and export.
class TestRecordReport : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QMap<QString, QString> files;

    // Runs the report, the named files (DB, CORRUPT, NEWER, EMPTY, MISSING) put in; the exit status.
    int report(QStringList args, QString *out, QString *err)
    {
        for (QString &arg : args)
            arg = files.value(arg, arg);
        return runReport(args, out, err);
    }

    static QStringList cells(const QTableWidget *table, const QList<int> &columns)
    {
        QStringList lines;
        for (int row = 0; row < table->rowCount(); ++row) {
            QStringList fields;
            for (int column : columns)
                fields << (table->item(row, column) ? table->item(row, column)->text() : QString());
            lines << fields.join(' ');
        }
        return lines;
    }

private slots:
    void initTestCase()
    {
        for (const char *name : {"DB", "CORRUPT", "NEWER", "EMPTY", "MISSING"})
            files.insert(name, dir.filePath(QString(name).toLower() + ".sqlite"));
        QVERIFY(writePreparedRecords(files["DB"]) && writePreparedRecords(files["NEWER"]));
        QVERIFY(writeFile(files["CORRUPT"], QByteArray(4096, 'x')));
        queryRows(files["NEWER"], "UPDATE schema_info SET version = 2");
        queryRows(files["EMPTY"], "CREATE TABLE other (x INTEGER)");
    }

    void text_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<int>("status");
        // Stdout as one line (tableText), or stderr when the status is not 0.
        QTest::addColumn<QString>("lines");
        const QString head = " runs passed failed pass rate|", total = "|total 5 3 2 60.0 %";
        QTest::newRow("by day, the default") << "DB" << 0
            << "day" + head + "2026-12-01 2 1 1 50.0 %|2026-12-02 1 1 0 100.0 %|2026-12-03 2 1 1 50.0 %" + total;
        QTest::newRow("by station") << "DB --by station" << 0
            << "station" + head + "1 2 2 0 100.0 %|2 2 1 1 50.0 %|3 1 0 1 0.0 %" + total;
        QTest::newRow("by port") << "--by port DB" << 0
            << "port" + head + "ttyUSB0 2 2 0 100.0 %|ttyUSB1 2 1 1 50.0 %|ttyUSB2 1 0 1 0.0 %" + total;
        QTest::newRow("by family, unknown first") << "DB --by family" << 0 << "family" + head
            + "- 1 0 1 0.0 %|ZR610A 1 1 0 100.0 %|ZR740A 2 2 0 100.0 %|ZR740C 1 0 1 0.0 %" + total;
        QTest::newRow("by code") << "DB --by code" << 0
            << "code" + head + "0 (0x0000) 3 3 0 100.0 %|515 (0x0203) 1 0 1 0.0 %|1030 (0x0406) 1 0 1 0.0 %" + total;
        QTest::newRow("since keeps the day's last millisecond") << "DB --since 2026-12-03 --by station" << 0
            << "station" + head + "2 1 1 0 100.0 %|3 1 0 1 0.0 %|total 2 1 1 50.0 %";
        QTest::newRow("until") << "DB --until 2026-12-01 --by code" << 0
            << "code" + head + "0 (0x0000) 1 1 0 100.0 %|1030 (0x0406) 1 0 1 0.0 %|total 2 1 1 50.0 %";

        const QString parse = "error 0x0101: Failed to pase cmd arguments.|";
        QTest::newRow("no file") << "" << 2
                                 << "error 0x0102: Not all necessary arguments are provided.|no record FILE given";
        QTest::newRow("unknown grouping") << "DB --by week" << 2 << parse + "by: week";
        QTest::newRow("impossible date") << "DB --since 2026-02-30" << 2 << parse + "since: 2026-02-30";
        QTest::newRow("range backwards") << "DB --since 2026-12-03 --until 2026-12-01" << 2
                                         << parse + "since 2026-12-03 is after until 2026-12-01";
        QTest::newRow("two files") << "DB EMPTY" << 2 << parse + "unexpected argument: EMPTY";
        QTest::newRow("unknown option") << "DB --json" << 2 << parse + "Unknown option 'json'.";
        QTest::newRow("missing file") << "MISSING" << 2
            << "error 0x0106: Invalid: filename must exist and can only be set once.|file: MISSING";
        QTest::newRow("not a database") << "CORRUPT" << 1 << "file is not a database";
        QTest::newRow("a database of something else") << "EMPTY" << 1 << "not a production record";
        QTest::newRow("a newer record") << "NEWER" << 1 << "newer program (record version 2";
    }

    void text()
    {
        QFETCH(QString, args);
        QFETCH(int, status);
        QFETCH(QString, lines);
        QString out, err;
        QCOMPARE(report(args.split(' ', Qt::SkipEmptyParts), &out, &err), status);
        QCOMPARE(status ? out : err, QString());
        if (status == 1) {
            QVERIFY2(err.startsWith("zdz-report: ") && err.contains(lines), qPrintable(err));
            return;
        }
        lines.replace("MISSING", files["MISSING"]).replace("EMPTY", files["EMPTY"]);
        QCOMPARE(tableText(status ? err : out), lines);
    }

    void view_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("since");
        QTest::addColumn<QString>("until");
        QTest::addColumn<int>("outcome");
        QTest::newRow("three days, every run") << "DB" << "2026-12-01" << "2026-12-03" << 0;
        QTest::newRow("from the second day") << "DB" << "2026-12-02" << "2026-12-03" << 0;
        QTest::newRow("failures only") << "DB" << "2026-12-01" << "2026-12-03" << 2;
        QTest::newRow("passes of the last day") << "DB" << "2026-12-03" << "2026-12-03" << 1;
        QTest::newRow("nothing recorded yet") << "MISSING" << "2026-12-01" << "2026-12-03" << 0;
    }

    // The view lists the runs asked for, newest first, with zdz-report's yield per station; it exports what
    // it lists, as zdz-report does. The CSV is read by RFC 4180 alone: "" in quotes, commas, CRLF.
    void view()
    {
        QFETCH(QString, file);
        QFETCH(QString, since);
        QFETCH(QString, until);
        QFETCH(int, outcome);
        QStringList runs;
        QMap<QString, RunRecord> prepared;
        for (const RunRecord &run : preparedRuns()) {
            prepared.insert(run.uuid, run);
            const QString day = run.startedAt.date().toString(Qt::ISODate);
            if (file == "DB" && day >= since && day <= until && outcome != (run.code ? 1 : 2))
                runs.prepend(QStringLiteral("%1 0x%2 %3").arg(run.station).arg(run.code, 4, 16, QLatin1Char('0'))
                                 .arg(run.code ? "Fail" : "Pass"));
        }
        QString out, err;
        const QStringList range{"--since", since, "--until", until};
        QVERIFY(report(QStringList{file, "--by", "station"} + range, &out, &err) == (runs.isEmpty() ? 2 : 0));
        RecordView view(files[file]);
        view.show();
        view.findChild<QDateEdit *>("dateSince")->setDate(QDate::fromString(since, Qt::ISODate));
        view.findChild<QDateEdit *>("dateUntil")->setDate(QDate::fromString(until, Qt::ISODate));
        view.findChild<QComboBox *>("cBoxOutcome")->setCurrentIndex(outcome);
        QCOMPARE(cells(view.findChild<QTableWidget *>("tblRuns"), {1, 6, 5}), runs);
        const QString yield = cells(view.findChild<QTableWidget *>("tblYield"), {0, 1, 2, 3, 4}).join('|');
        QCOMPARE(yield, tableText(out).section('|', 1));

        const QString csv = dir.filePath(QString(QTest::currentDataTag()) + ".csv");
        QCOMPARE(view.exportCsv(csv), !runs.isEmpty());
        if (runs.isEmpty()) {
            QVERIFY(view.findChild<QLabel *>("lblStatus")->text().startsWith("No run has been recorded yet"));
            QVERIFY(!QFile::exists(files[file]));
            return;
        }
        const QString text = QString::fromUtf8(readFile(csv));
        QVERIFY(outcome != 0 || (report(QStringList{file, "--csv"} + range, &out, &err) == 0 && text == out));
        QList<QStringList> rows{{}};
        const QRegularExpression field("\\G(?:\"((?:[^\"]|\"\")*)\"|([^,\"\\r\\n]*))(,|\\r\\n)");
        for (int at = 0; at < text.size();) {
            const QRegularExpressionMatch m = field.match(text, at);
            QVERIFY2(m.hasMatch(), qPrintable(text.mid(at, 60)));
            rows.last() << (m.capturedStart(1) >= 0 ? m.captured(1).replace("\"\"", "\"") : m.captured(2));
            if (m.captured(3) == "\r\n")
                rows << QStringList();
            at = m.capturedEnd();
        }
        rows.removeLast();
        QCOMPARE(rows.size(), runs.size() + 1);
        const QStringList header = rows.takeFirst();
        QCOMPARE(header.size(), 18 + 4 * 5);
        for (const QStringList &row : qAsConst(rows)) {
            QCOMPARE(row.size(), header.size());
            QStringList picked;
            for (const char *name : {"uuid", "started_at", "station", "result", "code", "code_hex", "message",
                                     "chip_family", "image1_path", "image1_address", "image1_written", "image2_size",
                                     "image3_path"})
                picked << row.at(header.indexOf(name));
            const RunRecord run = prepared.value(picked.first());
            QCOMPARE(picked, (QStringList{run.uuid, RecordStore::timeText(run.startedAt), QString::number(run.station),
                                          run.code ? "FAIL" : "PASS", QString::number(run.code),
                                          QStringLiteral("0x%1").arg(run.code, 4, 16, QLatin1Char('0')), run.message,
                                          run.chipFamily, run.images.value(0).path, "0x00008000", run.code ? "0" : "1",
                                          "", ""}));
        }
    }
};

QTEST_MAIN(TestRecordReport)
#include "tst_recordreport.moc"
