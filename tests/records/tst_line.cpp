#include "chipsimprocess.h"
#include "forwarderthread.h"
#include "preparedrecords.h"
#include "recordcsv.h"
#include "recordforwarder.h"
#include "recordquery.h"
#include "recordserver.h"
#include "recordstore.h"
#include "testsupport.h"

#include <QtTest>

namespace {

// The test's own PostgreSQL cluster (pgenv.sh) by its libpq variables; without a password libpq takes PGPASSWORD.
QString clusterUrl(const QString &password = qEnvironmentVariable("PGPASSWORD"))
{
    const QString secret = password.isEmpty() ? QString() : ':' + QString::fromUtf8(QUrl::toPercentEncoding(password));
    return QStringLiteral("postgresql://%1%2@%3:%4/%5").arg(qEnvironmentVariable("PGUSER"), secret,
        qEnvironmentVariable("PGHOST"), qEnvironmentVariable("PGPORT"), qEnvironmentVariable("PGDATABASE"));
}

// "stop" or "start" the server, as an outage in the plant would.
bool controlCluster(const QString &action)
{
    return QProcess::execute("pg_ctlcluster", {qEnvironmentVariable("PGVERSION"), "regress", action}) == 0;
}

const char waitingRuns[] = "SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL";

// The forwarder's signals queued to the test's thread, where the spies read them; listens, then starts it.
struct Heard
{
    explicit Heard(ForwarderThread &thread)
    {
        const RecordForwarder *forwarder = thread.forwarder();
        QObject::connect(forwarder, &RecordForwarder::sigWaitingCount, &relay, &RecordForwarder::sigWaitingCount);
        QObject::connect(forwarder, &RecordForwarder::sigServerStatus, &relay, &RecordForwarder::sigServerStatus);
        thread.start();
    }
    RecordForwarder relay{QString(), RecordTarget()};
    QSignalSpy waiting{&relay, &RecordForwarder::sigWaitingCount};
    QSignalSpy status{&relay, &RecordForwarder::sigServerStatus};
};

} // namespace

// PCs of one line record into one server; outages and wrong targets never stop production nor lose,
// reorder or double a run. The forwarder's own cases come last: the line's report sees only the PCs' runs.
class TestLine : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString image = dir.filePath(QStringLiteral("app.bin"));
    QSqlDatabase server;

    // zdz-flash as one PC of the line runs it, its local record named after it.
    QStringList pc(const QString &name, const QStringList &ports, const QString &url) const
    {
        QStringList args{"--host", name, "--record", url, "--local-record", dir.filePath(name + ".sqlite")};
        for (const QString &port : ports)
            args << "--port" << port;
        return args << "--file" << image + "@0x1000";
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(qEnvironmentVariableIsSet("PGVERSION"),
                 "no PostgreSQL cluster: run the test through tests/records/pgenv.sh (ctest does)");
        QVERIFY(writeFile(image, QByteArray(9000, '\x5a')));
        server = RecordServer::addDatabase(RecordTarget::parse(clusterUrl()), "pg");
        QVERIFY2(server.open(), qPrintable(server.lastError().text()));
    }

    // Two PCs with two chips each, one chip of the second failing; it and the report take PGPASSWORD. A third
    // PC with a wrong password passes; stderr says once why its run waits, never the password. The yield per
    // host comes from the server. Then the server is down for 10 s in a fourth PC's continuous run.
    void pcsOfOneLine()
    {
        ChipSimProcess sim;
        QVERIFY(sim.start(7, {"--fault", "3:ffff=startaddr"}));
        const QString file = dir.filePath("pc-w.sqlite");
        FlashProcess a(pc("pc-a", {sim.linkPath(0), sim.linkPath(1)}, clusterUrl()));
        FlashProcess b(pc("pc-b", {sim.linkPath(2), sim.linkPath(3)}, clusterUrl("")));
        FlashProcess w(pc("pc-w", {sim.linkPath(4)}, clusterUrl("Wr0ng-s3cret")));
        QVERIFY(a.finishesWith(0) && b.finishesWith(1) && w.finishesWith(0));
        QCOMPARE(a.err + b.err, QString());
        for (const char *done : {"pc-a.sqlite", "pc-b.sqlite"})
            QCOMPARE(queryRows(dir.filePath(done), waitingRuns), QStringList{"0"});
        const QString esc = QRegularExpression::escape(file);
        // Two lines: why (with the file the run waits in), then how many wait.
        const QRegularExpression said("^(?=[^\\n]*password authentication failed)(?=[^\\n]*" + esc
                                      + ")[^\\n]*\\n+[^\\n]*1 run\\(s\\) wait in " + esc + "[^\\n]*\\s*$");
        QVERIFY2(said.match(w.err).hasMatch() && !w.err.contains("s3cret"), qPrintable(w.err));
        QCOMPARE(queryRows(file, "SELECT host, code FROM chip_runs WHERE delivered_at IS NULL"), QStringList{"pc-w 0"});

        const QString today = QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate);
        const QString head = " runs passed failed pass rate|", total = "|total 4 3 1 75.0 %";
        const QList<QStringList> reports = {
            {"--by host", "host" + head + "pc-a 2 2 0 100.0 %|pc-b 2 1 1 50.0 %" + total},
            {"--by code --since " + today + " --until " + today,
             "code" + head + "0 (0x0000) 3 3 0 100.0 %|1030 (0x0406) 1 0 1 0.0 %" + total},
            {"--by day --until 2000-01-01", "day" + head + "total 0 0 0 -"},
        };
        for (const QStringList &row : reports) {
            QString out, err;
            QCOMPARE(runReport(QStringList{clusterUrl("")} + row.at(0).split(' '), &out, &err), 0);
            QCOMPARE(tableText(out), row.at(1));
        }

        const QString local = dir.filePath("pc-o.sqlite");
        FlashProcess o(pc("pc-o", {sim.linkPath(5), sim.linkPath(6)}, clusterUrl()) << "--continuous");
        const auto count = [&](const char *where) {
            return queryRows(local, QStringLiteral("SELECT COUNT(*) FROM chip_runs %1").arg(where)).value(0).toInt();
        };
        QTRY_VERIFY_WITH_TIMEOUT(count("WHERE delivered_at IS NOT NULL") >= 2, 60000);

        server.close();
        QVERIFY(controlCluster("stop"));
        const int before = count("");
        QTest::qWait(10000);
        QVERIFY(count("") > before && count("WHERE delivered_at IS NULL") > 0);

        QVERIFY(controlCluster("start"));
        QTRY_VERIFY_WITH_TIMEOUT(count("WHERE delivered_at IS NULL") == 0, 90000);

        o.terminate();
        QVERIFY(o.finishesWith(0));
        QVERIFY(server.open());
        QCOMPARE(queryRows(server, "SELECT uuid FROM chip_runs WHERE host = 'pc-o' ORDER BY id"),
                 queryRows(local, "SELECT uuid FROM chip_runs ORDER BY id"));
        QCOMPARE(count("WHERE delivered_at IS NULL"), 0);
    }

    // Every waiting run arrives once, in local order, with its images, and is marked delivered: in several
    // batches, and after a crash between the server's commit and the local mark of the first two. A server
    // reshaped by a newer program is not written into: the runs wait, and the reason is said once.
    void forwarder_data()
    {
        QTest::addColumn<QString>("database");
        QTest::addColumn<int>("runs");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("the line's server") << "" << RecordForwarder::BATCH + 7 << "";
        QTest::newRow("a server reshaped by a newer program") << "newer" << 1 << "schema version 2";
    }

    void forwarder()
    {
        QFETCH(QString, database);
        QFETCH(int, runs);
        QFETCH(QString, refusal);
        const QString url = refusal.isEmpty() ? clusterUrl() : clusterUrl().section('/', 0, -2) + '/' + database;
        const RecordTarget target = RecordTarget::parse(url);
        RecordServer direct(target, QStringLiteral("direct"));
        if (!refusal.isEmpty()) {
            QCOMPARE(queryRows(server, "CREATE DATABASE " + database), QStringList());
            QVERIFY2(direct.open(), qPrintable(direct.lastError()));
            QCOMPARE(queryRows(QSqlDatabase::database("direct"), "UPDATE schema_info SET version = 2"), QStringList());
            direct.close();
        }
        RecordStore store;
        QCOMPARE(store.openForWriting(dir.filePath(database + "fwd.sqlite")), RecordStore::STORE_OK);
        QStringList uuids, expected;
        for (int n = 1; n <= runs; ++n) {
            RunRecord run = preparedRuns().at(n % 5);
            run.uuid = QStringLiteral("fwd-%1").arg(n);
            QCOMPARE(store.append(run), RecordStore::STORE_OK);
            uuids << run.uuid;
            expected << RecordCsv::line(run);
        }
        for (int id = 1; id <= 2 && refusal.isEmpty(); ++id) {
            QSqlQuery run(store.database()), image(store.database());
            QVERIFY(run.exec(QStringLiteral("SELECT * FROM chip_runs WHERE id = %1").arg(id)) && run.next());
            QVERIFY(image.exec(QStringLiteral("SELECT * FROM chip_run_images WHERE run_id = %1 ORDER BY seq").arg(id)));
            QList<QSqlRecord> images;
            while (image.next())
                images << image.record();
            QVERIFY2(direct.deliver(run.record(), images), qPrintable(direct.lastError()));
        }
        ForwarderThread forwarding(store.path(), target);
        Heard heard(forwarding);
        if (!refusal.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(heard.status.count(), 1, 20000);
            const QString message = heard.status.at(0).at(1).toString();
            QVERIFY2(!heard.status.at(0).at(0).toBool() && message.contains(refusal), qPrintable(message));
            QCOMPARE(queryRows(store.database(), waitingRuns), QStringList{"1"});
            return;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!heard.waiting.isEmpty() && heard.waiting.last().at(0).toInt() == 0, 60000);
        QCOMPARE(heard.status.count(), 0);
        QCOMPARE(queryRows(store.database(), waitingRuns), QStringList{"0"});
        QCOMPARE(queryRows(server, "SELECT uuid FROM chip_runs WHERE uuid LIKE 'fwd-%' ORDER BY id"), uuids);
        QList<RunRecord> held;
        QVERIFY(RecordQuery(server).runs({}, false, 0, &held));
        QStringList found;
        for (const RunRecord &run : qAsConst(held))
            if (run.uuid.startsWith("fwd-"))
                found << RecordCsv::line(run);
        QCOMPARE(QSet<QString>(found.begin(), found.end()), QSet<QString>(expected.begin(), expected.end()));
    }
};

QTEST_GUILESS_MAIN(TestLine)
#include "tst_line.moc"
