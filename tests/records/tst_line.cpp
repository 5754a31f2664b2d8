#include "chipsimprocess.h"
#include "pgcluster.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/prctl.h>

namespace {

// zdz-flash as one PC of the line runs it; it goes down with the test.
class Pc : public QProcess
{
public:
    Pc(const QString &name, const QStringList &ports, const QString &url, const QString &localFile, const QString &image,
       const QStringList &extra = {})
    {
        QStringList args{"--host", name, "--record", url, "--local-record", localFile, "--file", image + "@0x1000"};
        for (const QString &port : ports)
            args << "--port" << port;
        start(QStringLiteral(ZDZ_FLASH_BIN), args + extra);
    }
    bool finishesWith(int status)
    {
        const bool ok = waitForFinished(90000) && exitStatus() == QProcess::NormalExit && exitCode() == status;
        out = QString::fromUtf8(readAllStandardOutput());
        // The stand-in loader's warning is not the record's business.
        err = QString::fromUtf8(readAllStandardError())
                  .remove(QStringLiteral("built-in placeholder RAM loader: real chips need the vendor's loader (see README)\n"));
        if (!ok)
            qWarning("zdz-flash did not end with %d:\n%s%s", status, qPrintable(out), qPrintable(err));
        return ok;
    }
    QString out;
    QString err;

protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

} // namespace

// Several PCs of one line record into one PostgreSQL server through zdz-flash; outages and
// wrong targets never stop production nor lose, reorder or double a run.
class TestLine : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString image = dir.filePath(QStringLiteral("app.bin"));
    QSqlDatabase server;

    // The first column of a query on a local record file, as zdz-flash left it.
    QString local(const QString &file, const QString &sql)
    {
        QString result;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("local"));
            db.setDatabaseName(file);
            result = db.open() ? PgCluster::column(db, sql) : db.lastError().text();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("local"));
        return result;
    }

private slots:
    void initTestCase()
    {
        const QString problem = PgCluster::problem();
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QVERIFY(writeFile(image, QByteArray(9000, '\x5a')));
        server = PgCluster::open();
        QVERIFY2(server.isOpen(), qPrintable(server.lastError().text()));
    }

    // Two PCs with two chips each; one chip of the second fails. The yield per host comes
    // from the server. The second PC and the report leave the password to PGPASSWORD.
    void twoPcsOneServer()
    {
        ChipSimProcess sim;
        QVERIFY(sim.start(4, {"--fault", "3:ffff=startaddr"}));
        const QString url = PgCluster::url();
        Pc a("pc-a", {sim.linkPath(0), sim.linkPath(1)}, url, dir.filePath("a.sqlite"), image);
        Pc b("pc-b", {sim.linkPath(2), sim.linkPath(3)}, PgCluster::url(QString()), dir.filePath("b.sqlite"), image);
        QVERIFY(a.finishesWith(0));
        QVERIFY(b.finishesWith(1));
        QCOMPARE(a.err + b.err, QString());
        for (const char *file : {"a.sqlite", "b.sqlite"})
            QCOMPARE(local(dir.filePath(file), "SELECT COUNT(*) FROM chip_runs WHERE delivered_at IS NULL"), QStringLiteral("0"));

        const QString today = QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate);
        const QList<QStringList> reports = {
            {"--by host", "host runs passed failed pass rate|pc-a 2 2 0 100.0 %|pc-b 2 1 1 50.0 %|total 4 3 1 75.0 %"},
            {"--by code --since " + today + " --until " + today,
             "code runs passed failed pass rate|0 (0x0000) 3 3 0 100.0 %|1030 (0x0406) 1 0 1 0.0 %|total 4 3 1 75.0 %"},
            {"--by day --until 2000-01-01", "day runs passed failed pass rate|total 0 0 0 -"},
        };
        for (const QStringList &row : reports) {
            QProcess report;
            report.start(QStringLiteral(ZDZ_REPORT_BIN), QStringList{PgCluster::url(QString())} + row.at(0).split(' '));
            QVERIFY(report.waitForFinished(30000) && report.exitCode() == 0);
            QStringList lines = QString::fromUtf8(report.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
            for (QString &line : lines)
                line = line.simplified();
            QCOMPARE(lines.join('|'), row.at(1));
        }
    }

    void wrongTarget_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("reason");
        QTest::newRow("wrong password") << PgCluster::url("Wr0ng-s3cret") << "password authentication failed";
        QTest::newRow("unknown host") << PgCluster::url("Wr0ng-s3cret", "zdz-no-such-host.invalid")
                                      << "zdz-no-such-host.invalid";
    }

    // The chip is flashed and passes; stderr says once why its run waits, and never the password.
    void wrongTarget()
    {
        QFETCH(QString, url);
        QFETCH(QString, reason);
        ChipSimProcess sim;
        QVERIFY(sim.start(1));
        const QString file = dir.filePath(QString::fromLatin1(QTest::currentDataTag()) + ".sqlite");
        Pc pc("pc-w", {sim.linkPath(0)}, url, file, image);
        QVERIFY(pc.finishesWith(0));
        QVERIFY(pc.out.contains(QLatin1String("chip 1 PASS 0")));
        const QStringList lines = pc.err.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.size() == 2, qPrintable(pc.err));
        QVERIFY2(lines.at(0).contains(reason) && lines.at(0).contains(file), qPrintable(pc.err));
        QVERIFY2(lines.at(1).contains(QLatin1String("1 run(s) wait in ") + file), qPrintable(pc.err));
        QVERIFY2(!pc.err.contains(QLatin1String("s3cret")), qPrintable(pc.err));
        QCOMPARE(local(file, "SELECT host || ':' || code FROM chip_runs WHERE delivered_at IS NULL"), QStringLiteral("pc-w:0"));

        // The next run with the target put right delivers the waiting run before its own.
        Pc again("pc-w", {sim.linkPath(0)}, PgCluster::url(), file, image);
        QVERIFY(again.finishesWith(0));
        QCOMPARE(again.err, QString());
        const QString order = local(file, "SELECT uuid FROM chip_runs WHERE delivered_at IS NOT NULL ORDER BY id");
        QCOMPARE(order.split(' ').size(), 2);
        QCOMPARE(PgCluster::column(server, QStringLiteral("SELECT uuid FROM chip_runs WHERE uuid IN ('%1') ORDER BY id")
                                               .arg(order.split(' ').join("','"))),
                 order);
    }

    // The server goes down for 10 s in the middle of a continuous run.
    void outageInContinuousRun()
    {
        ChipSimProcess sim;
        QVERIFY(sim.start(2));
        const QString file = dir.filePath("outage.sqlite");
        Pc pc("pc-o", {sim.linkPath(0), sim.linkPath(1)}, PgCluster::url(), file, image, {"--continuous"});
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
};

QTEST_GUILESS_MAIN(TestLine)
#include "tst_line.moc"
