#include "forwarderthread.h"
#include "pgcluster.h"
#include "recordforwarder.h"
#include "recordserver.h"
#include "recordstore.h"

#include <QSqlError>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Run n of a tag: every other one without a family, every fourth a failure, n % 3 images
// (the second at the top of the 32-bit address space).
RunRecord run(const QString &tag, int n)
{
    RunRecord r;
    r.uuid = QStringLiteral("%1-%2").arg(tag).arg(n);
    r.startedAt = r.finishedAt = QDateTime::currentDateTimeUtc();
    r.host = QStringLiteral("pc1");
    r.station = n;
    r.workMode = QStringLiteral("download");
    r.chipFamily = n % 2 ? QStringLiteral("ZR740A") : QString();
    r.code = n % 4 ? 0 : 0x0406;
    for (int seq = 1; seq <= n % 3; ++seq)
        r.images << RunImage{QStringLiteral("/img/%1.bin").arg(seq), 65536, QStringLiteral("cd"),
                             seq == 2 ? 0xFFFFF000u : 0x1000u, true};
    return r;
}

// A run as the server must hold it: uuid, family, code, images (seq@address/size).
QString describe(const RunRecord &r)
{
    QStringList images;
    for (int i = 0; i < r.images.size(); ++i)
        images << QStringLiteral("%1@%2/%3").arg(i + 1).arg(r.images.at(i).address).arg(r.images.at(i).size);
    return QStringLiteral("%1:%2:%3:%4").arg(r.uuid, r.chipFamily).arg(r.code).arg(images.join(QLatin1Char(',')));
}

} // namespace

// The forwarder against a real server: every waiting run of the local record arrives once, in
// the local order, with its images, and is marked delivered.
class TestForwarder : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QSqlDatabase server;

private slots:
    void initTestCase()
    {
        const QString problem = PgCluster::problem();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        server = PgCluster::open();
        QVERIFY2(server.isOpen(), qPrintable(server.lastError().text()));
    }

    void delivers_data()
    {
        QTest::addColumn<int>("runs");
        // Runs 1..n reached the server before a crash kept their local marks from being set.
        QTest::addColumn<int>("onServerBefore");
        QTest::newRow("in order") << 4 << 0;
        QTest::newRow("crash between server commit and local mark") << 3 << 2;
        QTest::newRow("more than one batch") << RecordForwarder::BATCH + 7 << 0;
    }

    void delivers()
    {
        QFETCH(int, runs);
        QFETCH(int, onServerBefore);
        const QString tag = QString::fromLatin1(QTest::currentDataTag()).left(5).replace(QLatin1Char(' '), QLatin1Char('_'));
        const QString file = dir.filePath(tag + QStringLiteral(".sqlite"));
        RecordStore store;
        QCOMPARE(store.openForWriting(file), RecordStore::STORE_OK);
        QStringList expected;
        for (int n = 1; n <= runs; ++n) {
            QCOMPARE(store.append(run(tag, n)), RecordStore::STORE_OK);
            expected << describe(run(tag, n));
        }
        RecordServer direct(RecordTarget::parse(PgCluster::url()), QStringLiteral("direct"));
        for (int id = 1; id <= onServerBefore; ++id) {
            QSqlQuery q(store.database());
            QVERIFY(q.exec(QStringLiteral("SELECT * FROM chip_runs WHERE id = %1").arg(id)) && q.next());
            QSqlQuery qi(store.database());
            QVERIFY(qi.exec(QStringLiteral("SELECT * FROM chip_run_images WHERE run_id = %1 ORDER BY seq").arg(id)));
            QList<QSqlRecord> images;
            while (qi.next())
                images << qi.record();
            QVERIFY2(direct.deliver(q.record(), images), qPrintable(direct.lastError()));
        }

        ForwarderThread forwarding(file, RecordTarget::parse(PgCluster::url()));
        // The forwarder's signals as this thread receives them, queued: a spy on the forwarder
        // itself would record in the forwarder's thread while this one reads.
        RecordForwarder heard{QString(), RecordTarget()};
        connect(forwarding.forwarder(), &RecordForwarder::sigWaitingCount, &heard, &RecordForwarder::sigWaitingCount);
        connect(forwarding.forwarder(), &RecordForwarder::sigServerStatus, &heard, &RecordForwarder::sigServerStatus);
        QSignalSpy waiting(&heard, &RecordForwarder::sigWaitingCount);
        QSignalSpy status(&heard, &RecordForwarder::sigServerStatus);
        forwarding.start();
        QTRY_VERIFY_WITH_TIMEOUT(!waiting.isEmpty() && waiting.last().at(0).toInt() == 0, 60000);
        QCOMPARE(status.count(), 0);
        QCOMPARE(PgCluster::column(store.database(), "SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL"),
                 QStringLiteral("0"));
        QCOMPARE(PgCluster::column(
                     server, QStringLiteral("SELECT r.uuid || ':' || COALESCE(r.chip_family, '') || ':' || r.code || ':' ||"
                                            " COALESCE(string_agg(i.seq || '@' || i.address || '/' || i.size, ','"
                                            " ORDER BY i.seq), '') FROM chip_runs r LEFT JOIN chip_run_images i"
                                            " ON i.run_id = r.id WHERE r.uuid LIKE '%1-%%' GROUP BY r.id ORDER BY r.id")
                                 .arg(tag)),
                 expected.join(QLatin1Char(' ')));
    }

    // A server whose record a newer program has reshaped is not written into: the runs wait.
    void refusesNewerServerSchema()
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
        QCOMPARE(store.append(run("newer", 1)), RecordStore::STORE_OK);

        ForwarderThread forwarding(store.path(), newer);
        RecordForwarder heard{QString(), RecordTarget()};
        connect(forwarding.forwarder(), &RecordForwarder::sigServerStatus, &heard, &RecordForwarder::sigServerStatus);
        QSignalSpy status(&heard, &RecordForwarder::sigServerStatus);
        forwarding.start();
        QTRY_COMPARE_WITH_TIMEOUT(status.count(), 1, 20000);
        QCOMPARE(status.at(0).at(0).toBool(), false);
        QVERIFY2(status.at(0).at(1).toString().contains("schema version 2"), qPrintable(status.at(0).at(1).toString()));
        QCOMPARE(PgCluster::column(store.database(), "SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL"),
                 QStringLiteral("1"));
    }
};

QTEST_GUILESS_MAIN(TestForwarder)
#include "tst_forwarder.moc"
