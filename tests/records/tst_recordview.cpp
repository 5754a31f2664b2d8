#include "preparedrecords.h"
#include "recordview.h"
#include "testsupport.h"

#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QProcess>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#ifndef ZDZ_REPORT_BIN
#error "ZDZ_REPORT_BIN must name the zdz-report binary"
#endif

class TestRecordView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        QVERIFY(writePreparedRecords(dir.filePath("records.sqlite")));
    }
    void filterAndExport_data();
    void filterAndExport();

private:
    // One line per table row: the given columns joined by blanks.
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
    QTemporaryDir dir;
};

void TestRecordView::filterAndExport_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("since");
    QTest::addColumn<QString>("until");
    QTest::addColumn<int>("outcome");
    // Listed runs as "station code result", newest first; then the yield per station over the days.
    QTest::addColumn<QStringList>("runs");
    QTest::addColumn<QStringList>("yield");

    QTest::newRow("three days, every run") << "records.sqlite" << "2026-12-01" << "2026-12-03" << 0
        << QStringList{"2 0x0000 Pass", "3 0x0203 Fail", "1 0x0000 Pass", "2 0x0406 Fail", "1 0x0000 Pass"}
        << QStringList{"1 2 2 0 100.0 %", "2 2 1 1 50.0 %", "3 1 0 1 0.0 %", "total 5 3 2 60.0 %"};
    QTest::newRow("failures only") << "records.sqlite" << "2026-12-01" << "2026-12-03" << 2
        << QStringList{"3 0x0203 Fail", "2 0x0406 Fail"}
        << QStringList{"1 2 2 0 100.0 %", "2 2 1 1 50.0 %", "3 1 0 1 0.0 %", "total 5 3 2 60.0 %"};
    QTest::newRow("passes of the last day") << "records.sqlite" << "2026-12-03" << "2026-12-03" << 1
        << QStringList{"2 0x0000 Pass"} << QStringList{"2 1 1 0 100.0 %", "3 1 0 1 0.0 %", "total 2 1 1 50.0 %"};
    QTest::newRow("one day") << "records.sqlite" << "2026-12-02" << "2026-12-02" << 0
        << QStringList{"1 0x0000 Pass"} << QStringList{"1 1 1 0 100.0 %", "total 1 1 0 100.0 %"};
    QTest::newRow("nothing recorded yet") << "missing.sqlite" << "2026-12-01" << "2026-12-03" << 0
        << QStringList{} << QStringList{};
}

void TestRecordView::filterAndExport()
{
    QFETCH(QString, file);
    QFETCH(QString, since);
    QFETCH(QString, until);
    QFETCH(int, outcome);
    QFETCH(QStringList, runs);
    QFETCH(QStringList, yield);

    RecordView view(dir.filePath(file));
    view.show();
    view.findChild<QDateEdit *>("dateSince")->setDate(QDate::fromString(since, Qt::ISODate));
    view.findChild<QDateEdit *>("dateUntil")->setDate(QDate::fromString(until, Qt::ISODate));
    view.findChild<QComboBox *>("cBoxOutcome")->setCurrentIndex(outcome);
    QCOMPARE(cells(view.findChild<QTableWidget *>("tblRuns"), {1, 6, 5}), runs);
    QCOMPARE(cells(view.findChild<QTableWidget *>("tblYield"), {0, 1, 2, 3, 4}), yield);

    const QString csv = dir.filePath("export.csv");
    QFile::remove(csv);
    if (runs.isEmpty()) {
        QVERIFY(!view.exportCsv(csv));
        QVERIFY(view.findChild<QLabel *>("lblStatus")->text().startsWith("No run has been recorded yet"));
        QVERIFY(!QFile::exists(dir.filePath(file)));
        return;
    }
    QVERIFY(view.exportCsv(csv));
    const QList<QByteArray> lines = readFile(csv).split('\n');
    QCOMPARE(lines.size(), runs.size() + 2);
    if (outcome == 0) {
        QProcess report;
        report.start(ZDZ_REPORT_BIN, {dir.filePath(file), "--csv", "--since", since, "--until", until});
        QVERIFY(report.waitForFinished(30000));
        QCOMPARE(readFile(csv), report.readAllStandardOutput());
    }
}

QTEST_MAIN(TestRecordView)
#include "tst_recordview.moc"
