#include "chipsimprocess.h"
#include "forwarderthread.h"
#include "preparedrecords.h"
#include "recordforwarder.h"
#include "recordserver.h"
#include "recordstore.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QUrl>
#include <QtTest>

// The throw-away PostgreSQL cluster the test runs in (pgenv.sh), known by the libpq variables
// that pg_virtualenv sets.
namespace PgCluster {

QString env(const char *name) { return qEnvironmentVariable(name); }

// Without a password, libpq takes the one pg_virtualenv put in PGPASSWORD.
QString url(const QString &password = env("PGPASSWORD"))
{
    const QString secret = password.isEmpty() ? QString() : ':' + QString::fromUtf8(QUrl::toPercentEncoding(password));
    return QStringLiteral("postgresql://%1%2@%3:%4/%5").arg(env("PGUSER"), secret, env("PGHOST"), env("PGPORT"), env("PGDATABASE"));
}

// "stop" or "start" the server, as an outage in the plant would.
bool control(const QString &action)
{
    QProcess ctl;
    ctl.start(QStringLiteral("pg_ctlcluster"), {env("PGVERSION"), QStringLiteral("regress"), action});
    return ctl.waitForFinished(60000) && ctl.exitStatus() == QProcess::NormalExit && ctl.exitCode() == 0;
}

QSqlDatabase open()
{
    QSqlDatabase db = QSqlDatabase::contains("pg") ? QSqlDatabase::database("pg", false)
                                                   : RecordServer::addDatabase(RecordTarget::parse(url()), "pg");
    db.open();
    return db;
}

// The first column of every row, joined by blanks.
QString column(QSqlDatabase db, const QString &sql)
{
    QSqlQuery q(db);
    QStringList out;
    for (bool ok = q.exec(sql); ok && q.next();)
        out << q.value(0).toString();
    return q.lastError().isValid() ? "error: " + sql : out.join(' ');
}

} // namespace PgCluster

namespace {

// zdz-flash as one PC of the line runs it.
QStringList pc(const QString &name, const QStringList &ports, const QString &url, const QString &localFile, const QString &image)
{
    QStringList args{"--host", name, "--record", url, "--local-record", localFile, "--file", image + "@0x1000"};
    for (const QString &port : ports)
        args << "--port" << port;
    return args;
}

// A run as the server must hold it: uuid, family, code, images (seq@address/size, -1 unknown).
QString describe(const RunRecord &r)
{
    QStringList images;
    for (int i = 0; i < r.images.size(); ++i)
        images << QStringLiteral("%1@%2/%3").arg(i + 1).arg(r.images.at(i).address).arg(r.images.at(i).size);
    return QStringLiteral("%1:%2:%3:%4").arg(r.uuid, r.chipFamily).arg(r.code).arg(images.join(QLatin1Char(',')));
}

// The forwarder's signals as the test's thread receives them, queued: a spy on the forwarder
// itself would record in the forwarder's thread while the test reads. Listens, then starts it.
struct Heard
{
    explicit Heard(ForwarderThread &thread)
    {
        QObject::connect(thread.forwarder(), &RecordForwarder::sigWaitingCount, &relay, &RecordForwarder::sigWaitingCount);
        QObject::connect(thread.forwarder(), &RecordForwarder::sigServerStatus, &relay, &RecordForwarder::sigServerStatus);
        thread.start();
    }
    RecordForwarder relay{QString(), RecordTarget()};
    QSignalSpy waiting{&relay, &RecordForwarder::sigWaitingCount};
    QSignalSpy status{&relay, &RecordForwarder::sigServerStatus};
};

} // namespace

// Several PCs of one line record into one PostgreSQL server; outages and wrong targets never
// stop production nor lose, reorder or double a run. The forwarder's own cases come last, so
// that the line's report sees only the PCs' runs.
class TestLine : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString image = dir.filePath(QStringLiteral("app.bin"));
    QSqlDatabase server;

    // The first column of a query on a local record file, as zdz-flash left it.
    static QString local(const QString &file, const QString &sql) { return queryRows(file, sql).join(' '); }

private slots:
    void initTestCase()
    {
        QVERIFY2(QSqlDatabase::isDriverAvailable("QPSQL"), "Qt's PostgreSQL driver is missing: install the Debian package libqt5sql5-psql");
        QVERIFY2(!PgCluster::env("PGVERSION").isEmpty(), "no PostgreSQL cluster: run the test through tests/records/pgenv.sh (ctest does)");
        QVERIFY(writeFile(image, QByteArray(9000, '\x5a')));
        server = PgCluster::open();
        QVERIFY2(server.isOpen(), qPrintable(server.lastError().text()));
    }

    // Two PCs with two chips each; one chip of the second fails. The second PC and the report
    // leave the password to PGPASSWORD. A third PC with a wrong password still flashes and passes;
    // stderr says once why its run waits, never the password, and its next run with the target put
    // right delivers the waiting run before its own. The yield per host comes from the server.
    void pcsOfOneLine()
    {
        ChipSimProcess sim;
        QVERIFY(sim.start(5, {"--fault", "3:ffff=startaddr"}));
        const QString file = dir.filePath("wrong.sqlite");
        FlashProcess a(pc("pc-a", {sim.linkPath(0), sim.linkPath(1)}, PgCluster::url(), dir.filePath("a.sqlite"), image));
        FlashProcess b(pc("pc-b", {sim.linkPath(2), sim.linkPath(3)}, PgCluster::url(QString()), dir.filePath("b.sqlite"), image));
        FlashProcess w(pc("pc-w", {sim.linkPath(4)}, PgCluster::url("Wr0ng-s3cret"), file, image));
        QVERIFY(a.finishesWith(0) && b.finishesWith(1) && w.finishesWith(0));
        QCOMPARE(a.err + b.err, QString());
        for (const char *done : {"a.sqlite", "b.sqlite"})
            QCOMPARE(local(dir.filePath(done), "SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL"), QStringLiteral("0"));
        QVERIFY(w.out.contains(QLatin1String("chip 1 PASS 0")));
        const QString esc = QRegularExpression::escape(file);
        // Two lines: why (with the file the run waits in), then how many wait.
        const QRegularExpression said("^(?=[^\\n]*password authentication failed)(?=[^\\n]*" + esc + ")[^\\n]*\\n+[^\\n]*1 run\\(s\\) wait in " + esc + "[^\\n]*\\s*$");
        QVERIFY2(said.match(w.err).hasMatch() && !w.err.contains("s3cret"), qPrintable(w.err));
        QCOMPARE(local(file, "SELECT host || ':' || code FROM chip_runs WHERE delivered_at IS NULL"), QStringLiteral("pc-w:0"));
        FlashProcess again(pc("pc-w", {sim.linkPath(4)}, PgCluster::url(), file, image));
        QVERIFY(again.finishesWith(0));
        QCOMPARE(again.err, QString());
        const QString order = local(file, "SELECT uuid FROM chip_runs WHERE delivered_at IS NOT NULL ORDER BY id");
        QCOMPARE(order.split(' ').size(), 2);
        QCOMPARE(PgCluster::column(server, QStringLiteral("SELECT uuid FROM chip_runs WHERE uuid IN ('%1') ORDER BY id")
                                               .arg(order.split(' ').join("','"))),
                 order);

        const QString today = QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate);
        const QList<QStringList> reports = {
            {"--by host", "host runs passed failed pass rate|pc-a 2 2 0 100.0 %|pc-b 2 1 1 50.0 %|pc-w 2 2 0 100.0 %|total 6 5 1 83.3 %"},
            {"--by code --since " + today + " --until " + today,
             "code runs passed failed pass rate|0 (0x0000) 5 5 0 100.0 %|1030 (0x0406) 1 0 1 0.0 %|total 6 5 1 83.3 %"},
            {"--by day --until 2000-01-01", "day runs passed failed pass rate|total 0 0 0 -"},
        };
        for (const QStringList &row : reports) {
            QProcess report;
            report.start(QStringLiteral(ZDZ_REPORT_BIN), QStringList{PgCluster::url(QString())} + row.at(0).split(' '));
            QVERIFY(report.waitForFinished(30000) && report.exitCode() == 0);
            QStringList lines = QString::fromUtf8(report.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
            QCOMPARE(lines.replaceInStrings(QRegularExpression("\\s+"), " ").replaceInStrings(QRegularExpression("^ | $"), "").join('|'), row.at(1));
        }
    }

    // The server goes down for 10 s in the middle of a continuous run.
    void outageInContinuousRun()
    {
        ChipSimProcess sim;
        QVERIFY(sim.start(2));
        const QString file = dir.filePath("outage.sqlite");
        FlashProcess pc(::pc("pc-o", {sim.linkPath(0), sim.linkPath(1)}, PgCluster::url(), file, image) << "--continuous");
        const auto count = [&](const char *where) {
            return local(file, QStringLiteral("SELECT COUNT(*) FROM chip_runs %1").arg(where)).toInt();
        };
        QTRY_VERIFY_WITH_TIMEOUT(count("WHERE delivered_at IS NOT NULL") >= 2, 60000);

        server.close();
        QVERIFY(PgCluster::control("stop"));
        const int before = count("");
        QTest::qWait(10000);
        const int madeWhileDown = count("") - before;
        QVERIFY(madeWhileDown > 0);
        QVERIFY(count("WHERE delivered_at IS NULL") > 0);

        QElapsedTimer drain;
        drain.start();
        QVERIFY(PgCluster::control("start"));
        QTRY_VERIFY_WITH_TIMEOUT(count("WHERE delivered_at IS NULL") == 0, 90000);
        qInfo("server down 10 s in a continuous run: %d runs made while down, all delivered %lld ms after its start was asked for",
              madeWhileDown, drain.elapsed());

        pc.terminate();
        QVERIFY(pc.finishesWith(0));
        server = PgCluster::open();
        const QString order = local(file, "SELECT uuid FROM chip_runs ORDER BY id");
        QCOMPARE(PgCluster::column(server, "SELECT uuid FROM chip_runs WHERE host = 'pc-o' ORDER BY id"), order);
        QCOMPARE(local(file, "SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL"), QStringLiteral("0"));
    }

    // Every waiting run of the local record arrives once, in the local order, with its images, and
    // is marked delivered: in more than one batch, and after a crash between the server's commit
    // and the local mark of the first two.
    void forwarderDelivers()
    {
        const QString file = dir.filePath("fwd.sqlite");
        RecordStore store;
        QCOMPARE(store.openForWriting(file), RecordStore::STORE_OK);
        QStringList expected;
        for (int n = 1; n <= RecordForwarder::BATCH + 7; ++n) {
            RunRecord run = preparedRuns().at(n % 5);
            run.uuid = QStringLiteral("fwd-%1").arg(n);
            QCOMPARE(store.append(run), RecordStore::STORE_OK);
            expected << describe(run);
        }
        RecordServer direct(RecordTarget::parse(PgCluster::url()), QStringLiteral("direct"));
        for (int id = 1; id <= 2; ++id) {
            QSqlQuery q(store.database()), qi(store.database());
            QVERIFY(q.exec(QStringLiteral("SELECT * FROM chip_runs WHERE id = %1").arg(id)) && q.next());
            QVERIFY(qi.exec(QStringLiteral("SELECT * FROM chip_run_images WHERE run_id = %1 ORDER BY seq").arg(id)));
            QList<QSqlRecord> images;
            while (qi.next())
                images << qi.record();
            QVERIFY2(direct.deliver(q.record(), images), qPrintable(direct.lastError()));
        }
        ForwarderThread forwarding(file, RecordTarget::parse(PgCluster::url()));
        Heard heard(forwarding);
        QTRY_VERIFY_WITH_TIMEOUT(!heard.waiting.isEmpty() && heard.waiting.last().at(0).toInt() == 0, 60000);
        QCOMPARE(heard.status.count(), 0);
        QCOMPARE(PgCluster::column(store.database(), "SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL"), QStringLiteral("0"));
        QCOMPARE(PgCluster::column(server, "SELECT r.uuid || ':' || COALESCE(r.chip_family, '') || ':' || r.code || ':' ||"
                                           " COALESCE(string_agg(i.seq || '@' || i.address || '/' || COALESCE(i.size, -1), ',' ORDER BY i.seq), '')"
                                           " FROM chip_runs r LEFT JOIN chip_run_images i ON i.run_id = r.id"
                                           " WHERE r.uuid LIKE 'fwd-%' GROUP BY r.id ORDER BY r.id"),
                 expected.join(QLatin1Char(' ')));
    }

    // A server whose record a newer program has reshaped is not written into: the runs wait.
    void forwarderRefusesNewerServerSchema()
    {
        QCOMPARE(PgCluster::column(server, "CREATE DATABASE newer"), QString());
        const RecordTarget newer = RecordTarget::parse(PgCluster::url().section('/', 0, -2) + "/newer");
        {
            QSqlDatabase db = RecordServer::addDatabase(newer, QStringLiteral("newer"));
            QString error;
            QVERIFY(db.open() && RecordServer::ensureSchema(db, &error));
            QCOMPARE(PgCluster::column(db, "UPDATE schema_info SET version = 2"), QString());
        }
        QSqlDatabase::removeDatabase(QStringLiteral("newer"));
        RecordStore store;
        QCOMPARE(store.openForWriting(dir.filePath("newer.sqlite")), RecordStore::STORE_OK);
        QCOMPARE(store.append(preparedRuns().first()), RecordStore::STORE_OK);
        ForwarderThread forwarding(store.path(), newer);
        Heard heard(forwarding);
        QTRY_COMPARE_WITH_TIMEOUT(heard.status.count(), 1, 20000);
        QCOMPARE(heard.status.at(0).at(0).toBool(), false);
        QVERIFY2(heard.status.at(0).at(1).toString().contains("schema version 2"), qPrintable(heard.status.at(0).at(1).toString()));
        QCOMPARE(PgCluster::column(store.database(), "SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL"), QStringLiteral("1"));
    }
};

QTEST_GUILESS_MAIN(TestLine)
#include "tst_line.moc"
