#include "dailylog.h"
#include "preparedrecords.h"
#include "recordcsv.h"
#include "recordquery.h"
#include "recordwriter.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>


class TestRecordStore : public QObject
{
    Q_OBJECT

private slots:
    void init() { dir.reset(new QTemporaryDir); QVERIFY(dir->isValid()); }
    void schema_data();
    void schema();
    void writerKeepsEveryRunInOrder_data();
    void writerKeepsEveryRunInOrder();
    void unusableTarget_data();
    void unusableTarget();
    void dailyLogStartsAFileEachDay();

private:
    QScopedPointer<QTemporaryDir> dir;
};

// The layout the forwarder to the line's server reads: name, type, not null, key position.
void TestRecordStore::schema_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QStringList>("columns");
    QTest::newRow("chip_runs") << "chip_runs"
        << QStringList{"id INTEGER 0 1", "uuid TEXT 1 0", "started_at TEXT 0 0", "finished_at TEXT 0 0", "host TEXT 0 0",
                       "station INTEGER 0 0", "port TEXT 0 0", "work_mode TEXT 0 0", "continuous INTEGER 0 0",
                       "chip_family TEXT 0 0", "loader_state TEXT 0 0", "loader_name TEXT 0 0", "loader_sha256 TEXT 0 0",
                       "baudrate INTEGER 0 0", "code INTEGER 0 0", "message TEXT 0 0", "app_version TEXT 0 0",
                       "delivered_at TEXT 0 0"};
    QTest::newRow("chip_run_images") << "chip_run_images"
        << QStringList{"run_id INTEGER 1 1", "seq INTEGER 1 2", "path TEXT 0 0", "size INTEGER 0 0", "sha256 TEXT 0 0",
                       "address INTEGER 0 0", "written INTEGER 0 0"};
    QTest::newRow("schema_info") << "schema_info" << QStringList{"version INTEGER 1 0"};
}

void TestRecordStore::schema()
{
    QFETCH(QString, table);
    QFETCH(QStringList, columns);
    const QString path = dir->filePath("new/folder/records.sqlite");
    QVERIFY(writePreparedRecords(path));
    // A second program opening the same file finds it ready and adds nothing to it.
    QVERIFY(writePreparedRecords(path) == false);
    const auto column = [&](const QString &sql) { return queryRows(path, sql); };
    QCOMPARE(column(QString("SELECT name, type, \"notnull\", pk FROM pragma_table_info('%1')").arg(table)), columns);
    QCOMPARE(column("SELECT version FROM schema_info"), QStringList{"1"});
    QCOMPARE(column("PRAGMA journal_mode"), QStringList{"wal"});
    QCOMPARE(column("SELECT COUNT(*) FROM chip_runs"), QStringList{"5"});
    QCOMPARE(column("SELECT sql LIKE '%AUTOINCREMENT%' FROM sqlite_master WHERE name = 'chip_runs'"), QStringList{"1"});
}

// Runs go in one by one in the order they came, also when another program holds the file
// for three seconds; submitting never waits for the file.
void TestRecordStore::writerKeepsEveryRunInOrder_data()
{
    QTest::addColumn<bool>("locked");
    QTest::newRow("free file") << false;
    QTest::newRow("file locked for 3 s") << true;
}

void TestRecordStore::writerKeepsEveryRunInOrder()
{
    QFETCH(bool, locked);
    const QString path = dir->filePath(QString("runs-%1.sqlite").arg(locked));
    QSqlDatabase holder;
    QStringList expected;
    if (locked) {
        RecordStore created;
        QCOMPARE(created.openForWriting(path), RecordStore::STORE_OK);
        created.close();
        holder = QSqlDatabase::addDatabase("QSQLITE", "holder");
        holder.setDatabaseName(path);
        QVERIFY(holder.open());
        QVERIFY(QSqlQuery(holder).exec("BEGIN IMMEDIATE"));
        QVERIFY(QSqlQuery(holder).exec("INSERT INTO chip_runs (uuid, code) VALUES ('other program', 0)"));
        expected << "other program";
    }

    RecordWriter writer;
    QSignalSpy problems(&writer, &RecordWriter::sigProblem);
    writer.start(path);
    QList<RunRecord> runs = preparedRuns();
    for (const RunRecord &run : qAsConst(runs)) {
        writer.submit(run);
        expected << run.uuid;
    }
    if (locked) {
        QTest::qWait(3000);
        QSqlQuery held(holder);
        QVERIFY(held.exec("SELECT COUNT(*) FROM chip_runs") && held.next() && held.value(0).toInt() == 1);
        held.finish();
        QVERIFY(QSqlQuery(holder).exec("COMMIT"));
    }
    const auto column = [&](const QString &sql) { return queryRows(path, sql); };
    QTRY_COMPARE_WITH_TIMEOUT(column("SELECT uuid FROM chip_runs ORDER BY id"), expected, 15000);
    writer.stop();
    QCOMPARE(problems.count(), 0);

    // Every field comes back as it went in; what is unknown is stored as NULL.
    RecordStore store;
    QCOMPARE(store.openForReading(path), RecordStore::STORE_OK);
    RecordQuery query(store.database());
    QList<RunRecord> read;
    QVERIFY(query.runs({}, false, 0, &read));
    for (int i = 0; i < runs.size(); ++i)
        QCOMPARE(RecordCsv::line(read.at(i + (locked ? 1 : 0))), RecordCsv::line(runs.at(i)));
    QCOMPARE(column("SELECT COUNT(*) FROM chip_runs WHERE chip_family IS NULL AND loader_state IS NULL AND loader_name IS NULL"),
             QStringList{locked ? "2" : "1"});
    QCOMPARE(column("SELECT seq, size IS NULL, sha256 IS NULL, written FROM chip_run_images WHERE run_id = "
                        "(SELECT id FROM chip_runs WHERE uuid = '" + runs.at(1).uuid + "')"),
             (QStringList{"1 0 0 0", "2 1 1 0"}));
    QCOMPARE(column("SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL"), QStringList{QString::number(expected.size())});
    QCOMPARE(column("PRAGMA integrity_check"), QStringList{"ok"});
}

// A target that cannot hold the record is reported once; it is left as it was.
void TestRecordStore::unusableTarget_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not a database") << "corrupt.sqlite" << "file is not a database";
    QTest::newRow("folder that is a file") << "plain.bin/records.sqlite" << "unable to open database file";
    QTest::newRow("written by a newer program") << "newer.sqlite" << "newer program (record version 7";
    QTest::newRow("a folder") << "" << "unable to open database file";
}

void TestRecordStore::unusableTarget()
{
    QFETCH(QString, target);
    QFETCH(QString, reason);
    QVERIFY(writeFile(dir->filePath("corrupt.sqlite"), QByteArray(8192, 'z')) && writeFile(dir->filePath("plain.bin"), "x"));
    QVERIFY(writePreparedRecords(dir->filePath("newer.sqlite")));
    queryRows(dir->filePath("newer.sqlite"), "UPDATE schema_info SET version = 7");
    const QByteArray before = readFile(dir->filePath(target));

    RecordWriter writer;
    QSignalSpy problems(&writer, &RecordWriter::sigProblem);
    writer.start(dir->filePath(target));
    for (const RunRecord &run : preparedRuns())
        writer.submit(run);
    QTRY_COMPARE(problems.count(), 1);
    writer.stop();
    QCoreApplication::processEvents();
    QCOMPARE(problems.count(), 1);
    const QString message = problems.first().first().toString();
    QVERIFY2(message.contains(dir->filePath(target)) && message.contains(reason) && message.endsWith("runs are not recorded."),
             qPrintable(message));
    QCOMPARE(readFile(dir->filePath(target)), before);
}

// Lines go to the file of the day they show, appended to what an earlier program run left.
void TestRecordStore::dailyLogStartsAFileEachDay()
{
    const QString folder = dir->filePath("logs");
    const QDateTime evening(QDate(2026, 12, 6), QTime(23, 59, 59, 999));
    for (int run = 0; run < 2; ++run) {
        DailyLog log(folder);
        QVERIFY(log.append(evening, "a | ä") && log.append(evening.addMSecs(1), "b") && log.append(evening, "c"));
    }
    QCOMPARE(readFile(folder + "/2026-12-06.log"), QString("a | ä\nc\na | ä\nc\n").toUtf8());
    QCOMPARE(readFile(folder + "/2026-12-07.log"), QByteArray("b\nb\n"));
}

QTEST_GUILESS_MAIN(TestRecordStore)
#include "tst_recordstore.moc"
