#include "forwarderthread.h"
#include "pgcluster.h"
#include "recordforwarder.h"
#include "recordserver.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// The local record file as the production writer keeps it.
const char *const LOCAL_SCHEMA[] = {
    "PRAGMA journal_mode=WAL",
    "CREATE TABLE chip_runs (id INTEGER PRIMARY KEY AUTOINCREMENT, uuid TEXT NOT NULL UNIQUE,"
    " started_at TEXT, finished_at TEXT, host TEXT, station INTEGER, port TEXT, work_mode TEXT,"
    " continuous INTEGER, chip_family TEXT NULL, loader_state TEXT NULL, loader_name TEXT,"
    " loader_sha256 TEXT, baudrate INTEGER, code INTEGER, message TEXT, app_version TEXT, delivered_at TEXT)",
    "CREATE TABLE chip_run_images (run_id INTEGER NOT NULL REFERENCES chip_runs(id), seq INTEGER NOT NULL,"
    " path TEXT, size INTEGER, sha256 TEXT, address INTEGER, written INTEGER, PRIMARY KEY (run_id, seq))",
    "CREATE TABLE schema_info (version INTEGER NOT NULL)",
    "INSERT INTO schema_info VALUES (1)",
};

} // namespace

class TestForwarder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void delivers_data();
    void delivers();
    void refused_data();
    void refused();
    void outage();

private:
    // Runs <tag>-1 .. <tag>-count; run n has n % 3 images (the last one at 0xFFFFF000).
    void addRuns(const QString &tag, int first, int count);
    QString localColumn(const QString &sql);
    QString serverRuns(const QString &tag);

    QTemporaryDir dir;
    QString localFile;
    QSqlDatabase server;
};

void TestForwarder::initTestCase()
{
    const QString problem = PgCluster::problem();
    QVERIFY2(problem.isEmpty(), qPrintable(problem));
    server = PgCluster::open();
    QVERIFY2(server.isOpen(), qPrintable(server.lastError().text()));
}

void TestForwarder::init()
{
    static int n = 0;
    localFile = dir.filePath(QStringLiteral("records-%1.sqlite").arg(++n));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("local"));
    db.setDatabaseName(localFile);
    QVERIFY(db.open());
    for (const char *statement : LOCAL_SCHEMA)
        QVERIFY(QSqlQuery(db).exec(QString::fromLatin1(statement)));
}

void TestForwarder::cleanup()
{
    QSqlDatabase::database(QStringLiteral("local"), false).close();
    QSqlDatabase::removeDatabase(QStringLiteral("local"));
}

void TestForwarder::addRuns(const QString &tag, int first, int count)
{
    QSqlDatabase db = QSqlDatabase::database(QStringLiteral("local"));
    for (int n = first; n < first + count; ++n) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT INTO chip_runs (uuid, started_at, finished_at, host, station, port, work_mode,"
                                 " continuous, chip_family, loader_state, loader_name, loader_sha256, baudrate, code,"
                                 " message, app_version) VALUES (?, '2026-12-06T08:00:00.000Z',"
                                 " '2026-12-06T08:00:09.500Z', 'pc1', ?, 'ttyUSB0', 'download', 1, ?, 'rom',"
                                 " 'ramcode.bin', 'ab', 3000000, ?, 'x', '1.9.13')"));
        q.addBindValue(QStringLiteral("%1-%2").arg(tag).arg(n));
        q.addBindValue(n);
        q.addBindValue(n % 2 ? QVariant(QStringLiteral("ZR740A")) : QVariant(QVariant::String));
        q.addBindValue(n % 4 ? 0 : 0x0406);
        QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
        const QVariant runId = q.lastInsertId();
        for (int seq = 1; seq <= n % 3; ++seq) {
            QSqlQuery qi(db);
            qi.prepare(QStringLiteral("INSERT INTO chip_run_images VALUES (?, ?, ?, 65536, 'cd', ?, 1)"));
            qi.addBindValue(runId);
            qi.addBindValue(seq);
            qi.addBindValue(QStringLiteral("/img/%1.bin").arg(seq));
            qi.addBindValue(seq == 2 ? qint64(0xFFFFF000) : qint64(0x1000));
            QVERIFY2(qi.exec(), qPrintable(qi.lastError().text()));
        }
    }
}

QString TestForwarder::localColumn(const QString &sql)
{
    QSqlQuery q(QSqlDatabase::database(QStringLiteral("local")));
    QStringList out;
    if (!q.exec(sql))
        return QStringLiteral("error: ") + sql;
    while (q.next())
        out << q.value(0).toString();
    return out.join(QLatin1Char(' '));
}

// Every run of the tag on the server in the order the server stored them, with its family,
// code and images: what a run looks like after the trip.
QString TestForwarder::serverRuns(const QString &tag)
{
    return PgCluster::column(
        server, QStringLiteral("SELECT r.uuid || ':' || COALESCE(r.chip_family, '-') || ':' || r.code || ':' ||"
                               " COALESCE(string_agg(i.seq || '@' || i.address || '/' || i.size, ',' ORDER BY i.seq), '')"
                               " FROM chip_runs r LEFT JOIN chip_run_images i ON i.run_id = r.id"
                               " WHERE r.uuid LIKE '%1-%%' GROUP BY r.id ORDER BY r.id")
                    .arg(tag));
}

static QString expectedRuns(const QString &tag, int count)
{
    QStringList out;
    for (int n = 1; n <= count; ++n) {
        QStringList images;
        for (int seq = 1; seq <= n % 3; ++seq)
            images << QStringLiteral("%1@%2/65536").arg(seq).arg(seq == 2 ? 0xFFFFF000u : 0x1000u);
        out << QStringLiteral("%1-%2:%3:%4:%5").arg(tag).arg(n).arg(n % 2 ? "ZR740A" : "-").arg(n % 4 ? 0 : 0x0406)
                   .arg(images.join(QLatin1Char(',')));
    }
    return out.join(QLatin1Char(' '));
}

void TestForwarder::delivers_data()
{
    QTest::addColumn<int>("runs");
    // Runs 1..n reached the server before a crash kept their local marks from being set.
    QTest::addColumn<int>("onServerBefore");

    QTest::newRow("in order") << 4 << 0;
    QTest::newRow("crash between server commit and local mark") << 3 << 2;
    QTest::newRow("more than one batch") << RecordForwarder::BATCH + 7 << 0;
}

void TestForwarder::delivers()
{
    QFETCH(int, runs);
    QFETCH(int, onServerBefore);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).left(5).replace(QLatin1Char(' '), QLatin1Char('_'));
    addRuns(tag, 1, runs);
    RecordServer direct(RecordTarget::parse(PgCluster::url()), QStringLiteral("direct"));
    for (int id = 1; id <= onServerBefore; ++id) {
        QSqlQuery q(QSqlDatabase::database(QStringLiteral("local")));
        QVERIFY(q.exec(QStringLiteral("SELECT * FROM chip_runs WHERE id = %1").arg(id)) && q.next());
        QList<QSqlRecord> images;
        QSqlQuery qi(QSqlDatabase::database(QStringLiteral("local")));
        QVERIFY(qi.exec(QStringLiteral("SELECT * FROM chip_run_images WHERE run_id = %1 ORDER BY seq").arg(id)));
        while (qi.next())
            images << qi.record();
        QVERIFY2(direct.deliver(q.record(), images), qPrintable(direct.lastError()));
    }
    ForwarderThread forwarding(localFile, RecordTarget::parse(PgCluster::url()));
    QSignalSpy waiting(forwarding.forwarder(), &RecordForwarder::sigWaitingCount);
    QSignalSpy status(forwarding.forwarder(), &RecordForwarder::sigServerStatus);
    forwarding.start();
    QTRY_VERIFY_WITH_TIMEOUT(!waiting.isEmpty() && waiting.last().at(0).toInt() == 0, 60000);
    QCOMPARE(status.count(), 0);

    QCOMPARE(serverRuns(tag), expectedRuns(tag, runs));
    QCOMPARE(localColumn(QStringLiteral("SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL")), QStringLiteral("0"));
}

void TestForwarder::refused_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("reason");

    QTest::newRow("wrong password") << PgCluster::url(QStringLiteral("Wr0ng-s3cret")) << "password authentication failed";
    QTest::newRow("unknown host") << PgCluster::url(QStringLiteral("Wr0ng-s3cret"), QStringLiteral("zdz-no-such-host.invalid"))
                                  << "zdz-no-such-host.invalid";
}

void TestForwarder::refused()
{
    QFETCH(QString, url);
    QFETCH(QString, reason);
    const QString tag = QString::fromLatin1(QTest::currentDataTag()).left(5);
    addRuns(tag, 1, 2);
    {
        ForwarderThread forwarding(localFile, RecordTarget::parse(url));
        QSignalSpy waiting(forwarding.forwarder(), &RecordForwarder::sigWaitingCount);
        QSignalSpy status(forwarding.forwarder(), &RecordForwarder::sigServerStatus);
        forwarding.start();
        QTRY_COMPARE_WITH_TIMEOUT(status.count(), 1, 20000);
        // Production goes on: the next run is committed and waits as well.
        addRuns(tag, 3, 1);
        QMetaObject::invokeMethod(forwarding.forwarder(), &RecordForwarder::slotRecordCommitted);
        QTRY_VERIFY_WITH_TIMEOUT(!waiting.isEmpty() && waiting.last().at(0).toInt() == 3, 10000);
        // Retries at 1 s and 2 s repeat the same reason: the operator reads it once.
        QTest::qWait(3500);
        QCOMPARE(status.count(), 1);
        QCOMPARE(status.at(0).at(0).toBool(), false);
        const QString message = status.at(0).at(1).toString();
        QVERIFY2(message.contains(reason) && message.contains(localFile), qPrintable(message));
        QVERIFY2(!message.contains(QLatin1String("s3cret")), qPrintable(message));
    }
    QCOMPARE(serverRuns(tag), QString());

    // The next program run, with the target put right, delivers what waited.
    ForwarderThread forwarding(localFile, RecordTarget::parse(PgCluster::url()));
    QSignalSpy waiting(forwarding.forwarder(), &RecordForwarder::sigWaitingCount);
    forwarding.start();
    QTRY_VERIFY_WITH_TIMEOUT(!waiting.isEmpty() && waiting.last().at(0).toInt() == 0, 30000);
    QCOMPARE(serverRuns(tag), expectedRuns(tag, 3));
}

void TestForwarder::outage()
{
    const QString tag = QStringLiteral("outage");
    ForwarderThread forwarding(localFile, RecordTarget::parse(PgCluster::url()));
    QSignalSpy waiting(forwarding.forwarder(), &RecordForwarder::sigWaitingCount);
    QSignalSpy status(forwarding.forwarder(), &RecordForwarder::sigServerStatus);
    const auto commit = [&](int n) {
        addRuns(tag, n, 1);
        QMetaObject::invokeMethod(forwarding.forwarder(), &RecordForwarder::slotRecordCommitted);
    };
    addRuns(tag, 1, 2);
    forwarding.start();
    QTRY_VERIFY_WITH_TIMEOUT(!waiting.isEmpty() && waiting.last().at(0).toInt() == 0, 30000);

    server.close();
    QVERIFY(PgCluster::control(QStringLiteral("stop")));
    QElapsedTimer down;
    down.start();
    int n = 3;
    while (down.elapsed() < 10000) {
        commit(n++);
        QTest::qWait(500);
    }
    const int madeWhileDown = n - 3;
    QTRY_VERIFY(!waiting.isEmpty() && waiting.last().at(0).toInt() == madeWhileDown);
    QVERIFY(!status.isEmpty() && !status.last().at(0).toBool());

    QVERIFY(PgCluster::control(QStringLiteral("start")));
    QElapsedTimer drain;
    drain.start();
    QTRY_VERIFY_WITH_TIMEOUT(!waiting.isEmpty() && waiting.last().at(0).toInt() == 0, 90000);
    qInfo("server down 10 s: %d runs made while down, all delivered %lld ms after the server came back",
          madeWhileDown, drain.elapsed());
    QVERIFY(status.last().at(0).toBool());

    server = PgCluster::open();
    QCOMPARE(serverRuns(tag), expectedRuns(tag, n - 1));
    QCOMPARE(localColumn(QStringLiteral("SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL")), QStringLiteral("0"));
}

QTEST_GUILESS_MAIN(TestForwarder)
#include "tst_forwarder.moc"
