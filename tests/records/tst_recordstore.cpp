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

namespace {

QStringList column(QSqlDatabase db, const QString &sql)
{
    QStringList values;
    QSqlQuery query(db);
    query.exec(sql);
    while (query.next()) {
        QStringList fields;
        for (int i = 0; i < query.record().count(); ++i)
            fields << query.value(i).toString();
        values << fields.join(' ');
    }
    return values;
}

} // namespace

class TestRecordStore : public QObject
{
    Q_OBJECT

private slots:
    void init() { dir.reset(new QTemporaryDir); QVERIFY(dir->isValid()); }
    void cleanup() { QSqlDatabase::removeDatabase("check"); }
    void schema_data();
    void schema();
    void writerKeepsEveryRunInOrder_data();
    void writerKeepsEveryRunInOrder();
    void unusableTarget_data();
    void unusableTarget();

private:
    QSqlDatabase check(const QString &path)
    {
        QSqlDatabase db = QSqlDatabase::contains("check") ? QSqlDatabase::database("check", false)
                                                          : QSqlDatabase::addDatabase("QSQLITE", "check");
        db.setDatabaseName(path);
        db.open();
        return db;
    }
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
    QSqlDatabase db = check(path);
    QCOMPARE(column(db, QString("SELECT name, type, \"notnull\", pk FROM pragma_table_info('%1')").arg(table)), columns);
    QCOMPARE(column(db, "SELECT version FROM schema_info"), QStringList{"1"});
    QCOMPARE(column(db, "PRAGMA journal_mode"), QStringList{"wal"});
    QCOMPARE(column(db, "SELECT COUNT(*) FROM chip_runs"), QStringList{"5"});
    QCOMPARE(column(db, "SELECT sql LIKE '%AUTOINCREMENT%' FROM sqlite_master WHERE name = 'chip_runs'"), QStringList{"1"});
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
        holder = check(path);
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
        QCOMPARE(column(holder, "SELECT uuid FROM chip_runs"), QStringList{"other program"});
        QVERIFY(QSqlQuery(holder).exec("COMMIT"));
    }
    QSqlDatabase db = check(path);
    QTRY_COMPARE_WITH_TIMEOUT(column(db, "SELECT uuid FROM chip_runs ORDER BY id"), expected, 15000);
    writer.stop();
    QCOMPARE(problems.count(), 0);

    // Every field comes back as it went in; what is unknown is stored as NULL.
    RecordQuery query(db);
    QList<RunRecord> read;
    QVERIFY(query.runs({}, false, 0, &read));
    for (int i = 0; i < runs.size(); ++i)
        QCOMPARE(RecordCsv::line(read.at(i + (locked ? 1 : 0))), RecordCsv::line(runs.at(i)));
    QCOMPARE(column(db, "SELECT COUNT(*) FROM chip_runs WHERE chip_family IS NULL AND loader_state IS NULL AND loader_name IS NULL"),
             QStringList{locked ? "2" : "1"});
    QCOMPARE(column(db, "SELECT seq, size IS NULL, sha256 IS NULL, written FROM chip_run_images WHERE run_id = "
                        "(SELECT id FROM chip_runs WHERE uuid = '" + runs.at(1).uuid + "')"),
             (QStringList{"1 0 0 0", "2 1 1 0"}));
    QCOMPARE(column(db, "SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL"), QStringList{QString::number(expected.size())});
    QCOMPARE(column(db, "PRAGMA integrity_check"), QStringList{"ok"});
}

// A target that cannot hold the record is reported once; it is left as it was.
void TestRecordStore::unusableTarget_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not a database") << "corrupt.sqlite" << "file is not a database";
    QTest::newRow("folder that is a file") << "plain.bin/records.sqlite" << "unable to open database file";
    QTest::newRow("written by a newer program") << "newer.sqlite" << "newer program (record version 7";
}

void TestRecordStore::unusableTarget()
{
    QFETCH(QString, target);
    QFETCH(QString, reason);
    QVERIFY(writeFile(dir->filePath("corrupt.sqlite"), QByteArray(8192, 'z')) && writeFile(dir->filePath("plain.bin"), "x"));
    QVERIFY(writePreparedRecords(dir->filePath("newer.sqlite")));
    QVERIFY(QSqlQuery(check(dir->filePath("newer.sqlite"))).exec("UPDATE schema_info SET version = 7"));
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

QTEST_GUILESS_MAIN(TestRecordStore)
#include "tst_recordstore.moc"
