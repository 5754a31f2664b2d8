#include "chipsimprocess.h"
#include "errorcodes.h"
#include "mainwindow.h"
#include "preparedrecords.h"
#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "settingskeys.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCryptographicHash>
#include <QPlainTextEdit>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTableWidget>
#include <QtTest>

#include <functional>

#include <sys/prctl.h>

#ifndef ZDZ_FLASH_BIN
#error "ZDZ_FLASH_BIN must name the zdz-flash binary"
#endif

namespace {

constexpr int RUN_TIMEOUT_MS = 60000;

class FlashProcess : public QProcess
{
protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

} // namespace

class TestRecordRuns : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void passAndFailAreRecorded_data();
    void passAndFailAreRecorded();
    void unusableTargetLeavesProductionAlone_data();
    void unusableTargetLeavesProductionAlone();
    void killedFlasherLosesNoCommittedRun();

private:
    // The window with the two simulated chips opened; Start pressed; back when both have a
    // result, `afterResults` has run, and its Production Record view lists `recorded` runs.
    void runWindow(int recorded, const std::function<void()> &afterResults = {})
    {
        MainWindow window;
        QVERIFY(QMetaObject::invokeMethod(&window, "slotSerialScanResult", Qt::DirectConnection,
                                          Q_ARG(SerialMonitor::SerialScanResult, SerialMonitor::SCAN_RESULT_ADDED)));
        for (SerialFlashWidget *station : window.findChildren<SerialFlashWidget *>()) {
            if (station->portName() == sim.linkPath(0) || station->portName() == sim.linkPath(1))
                station->findChild<QAbstractButton *>("rdbtnOpenClose")->click();
        }
        window.findChild<QAbstractButton *>("btnStart")->click();
        const auto log = [&]() { return window.findChild<QPlainTextEdit *>("txtLog")->toPlainText(); };
        QTRY_VERIFY_WITH_TIMEOUT(log().contains(sim.linkPath(0) + "]: Success") && log().contains(sim.linkPath(1) + "]: download failed"),
                                 RUN_TIMEOUT_MS);
        if (afterResults)
            afterResults();
        const auto listed = [&]() {
            QMetaObject::invokeMethod(&window, "on_actionProduction_Record_triggered");
            return window.findChild<QTableWidget *>("tblRuns")->rowCount();
        };
        QTRY_COMPARE_WITH_TIMEOUT(listed(), recorded, 15000);
        logText = log();
        statusText = window.statusBar()->currentMessage();
        window.close();
    }
    QString flashPath() const { return dir.filePath("flash.sqlite"); }
    QStringList flashArgs() const
    {
        return {"--port", sim.linkPath(0), "--port", sim.linkPath(1), "--file", images[0] + "@8000", "--file",
                images[1] + "@0x40000", "--baudrate", "460800", "--record", flashPath()};
    }

    ChipSimProcess sim;
    QTemporaryDir dir;
    QString images[2];
    QString sha[2];
    QString logText;
    QString statusText;
};

void TestRecordRuns::initTestCase()
{
    QCoreApplication::setOrganizationName("Marwenta");
    QCoreApplication::setApplicationName("ZU-Dazazi-Zuvareridi");
    QApplication::setQuitOnLastWindowClosed(false);
    QVERIFY(dir.isValid());
    for (int i = 0; i < 2; ++i) {
        QByteArray bytes;
        for (int n = 0; n < 9000 + 3000 * i; ++n)
            bytes += char(QRandomGenerator::global()->bounded(256));
        images[i] = dir.filePath(QString("image%1.bin").arg(i));
        QVERIFY(writeFile(images[i], bytes));
        sha[i] = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
    }
    // The second chip never answers "startaddr": result 1030, nothing written.
    QVERIFY(sim.start(2, {"--fault", "1:dropall=startaddr"}));
    setExtraPorts({sim.linkPath(0), sim.linkPath(1)});
    QTRY_VERIFY_WITH_TIMEOUT(SerialMonitor::instance()->currentPortList().contains(sim.linkPath(1)), 5000);
}

void TestRecordRuns::init()
{
    for (int chip = 0; chip < 2; ++chip)
        QVERIFY(sim.command(QString("reboot %1").arg(chip)));
    QSettings settings;
    settings.clear();
    settings.setValue(SettingsKeys::Baudrate, "460800");
    for (int i = 0; i < 2; ++i) {
        settings.setValue(SettingsKeys::filePathKey(i), images[i]);
        settings.setValue(SettingsKeys::startAddrKey(i), i == 0 ? "8000" : "40000");
    }
}

void TestRecordRuns::passAndFailAreRecorded_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("window, default file") << "window";
    QTest::newRow("window, file locked by another program until both results are in") << "locked";
    QTest::newRow("zdz-flash --record") << "flash";
}

void TestRecordRuns::passAndFailAreRecorded()
{
    QFETCH(QString, how);
    const bool window = how != "flash";
    QString path = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + "/records.sqlite";
    QFile::remove(path);
    if (how == "locked") {
        path = dir.filePath("locked.sqlite");
        QFile::remove(path);
        QCOMPARE(RecordStore().openForWriting(path), RecordStore::STORE_OK);
        QSettings().setValue(SettingsKeys::RecordFile, path);
        QSqlDatabase holder = QSqlDatabase::addDatabase("QSQLITE", "holder");
        holder.setDatabaseName(path);
        QVERIFY(holder.open() && QSqlQuery(holder).exec("BEGIN IMMEDIATE"));
        // The stations finished while the file was held; only then is it let go.
        runWindow(2, [&] {
            QCOMPARE(queryRows(path, "SELECT COUNT(*) FROM chip_runs"), QStringList{"0"});
            QVERIFY(QSqlQuery(holder).exec("COMMIT"));
        });
        holder.close();
    } else if (window) {
        runWindow(2);
    } else {
        FlashProcess flash;
        flash.start(ZDZ_FLASH_BIN, flashArgs());
        QVERIFY(flash.waitForFinished(RUN_TIMEOUT_MS));
        QCOMPARE(flash.exitCode(), 1);
        path = flashPath();
    }
    const QString fail = ErrorCodes::errorString(ErrorCodes::RESULT_STARTADDR_READ_FAILED);
    QCOMPARE(queryRows(path, "SELECT station, port, code, message, work_mode, continuous, chip_family, loader_state,"
                        " loader_name, length(loader_sha256), baudrate, length(uuid), finished_at >= started_at"
                        " FROM chip_runs ORDER BY station"),
             (QStringList{"1 " + sim.linkPath(0) + " 0 Success download 0 ZR740A rom ramcode_zr740a.bin 64 460800 36 1",
                          "2 " + sim.linkPath(1) + " 1030 " + fail + " download 0 ZR740A rom ramcode_zr740a.bin 64 460800 36 1"}));
    QCOMPARE(queryRows(path, "SELECT r.station, i.seq, i.path, i.size, i.sha256, i.address, i.written FROM chip_run_images i"
                        " JOIN chip_runs r ON r.id = i.run_id ORDER BY r.station, i.seq"),
             (QStringList{"1 1 " + images[0] + " 9000 " + sha[0] + " 32768 1", "1 2 " + images[1] + " 12000 " + sha[1] + " 262144 1",
                          "2 1 " + images[0] + " 9000 " + sha[0] + " 32768 0", "2 2 " + images[1] + " 12000 " + sha[1] + " 262144 0"}));
    if (how == "window") {
        // The day's log file holds every line the window showed, as shown.
        const QString logFile = QFileInfo(path).path() + "/logs/" + QDate::currentDate().toString(Qt::ISODate) + ".log";
        QVERIFY(QString::fromUtf8(readFile(logFile)).endsWith(logText + "\n"));
    }
}

// A record that cannot be kept is said once, in the log and the status bar; the chips pass.
void TestRecordRuns::unusableTargetLeavesProductionAlone_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("reason");
    QTest::newRow("not a database") << "corrupt.sqlite" << "file is not a database";
    QTest::newRow("folder that is a file") << "image0.bin/records.sqlite" << "unable to open database file";
}

void TestRecordRuns::unusableTargetLeavesProductionAlone()
{
    QFETCH(QString, target);
    QFETCH(QString, reason);
    QVERIFY(writeFile(dir.filePath("corrupt.sqlite"), QByteArray(5000, 'c')));
    QSettings().setValue(SettingsKeys::RecordFile, dir.filePath(target));
    runWindow(0);
    QVERIFY2(statusText.startsWith("Production record ") && statusText.endsWith(dir.filePath(target) + ": " + reason + " - runs are not recorded."),
             qPrintable(statusText));
    QCOMPARE(logText.count(statusText), 1);
    QCOMPARE(logText.count("]: Success"), 1);
    QCOMPARE(readFile(dir.filePath("corrupt.sqlite")), QByteArray(5000, 'c'));
}

// SIGKILL in the middle of continuous production: every run seen committed before stays, and
// the file opens cleanly and takes the next run.
void TestRecordRuns::killedFlasherLosesNoCommittedRun()
{
    QFile::remove(flashPath());
    FlashProcess flash;
    flash.start(ZDZ_FLASH_BIN, flashArgs() << "--continuous");
    QStringList committed;
    QTRY_VERIFY_WITH_TIMEOUT((committed = queryRows(flashPath(), "SELECT uuid, code FROM chip_runs ORDER BY id")).size() >= 4,
                             RUN_TIMEOUT_MS);
    flash.kill();
    QVERIFY(flash.waitForFinished(10000));
    QCOMPARE(flash.exitStatus(), QProcess::CrashExit);

    const QStringList after = queryRows(flashPath(), "SELECT uuid, code FROM chip_runs ORDER BY id");
    QCOMPARE(after.mid(0, committed.size()), committed);
    QCOMPARE(queryRows(flashPath(), "PRAGMA integrity_check"), QStringList{"ok"});
    QCOMPARE(queryRows(flashPath(), "SELECT COUNT(*) FROM chip_runs r WHERE (SELECT COUNT(*) FROM chip_run_images i"
                               " WHERE i.run_id = r.id) <> 2"), QStringList{"0"});
    RecordStore store;
    QCOMPARE(store.openForWriting(flashPath()), RecordStore::STORE_OK);
    RunRecord next;
    next.uuid = "after the kill";
    QCOMPARE(store.append(next), RecordStore::STORE_OK);
}

QTEST_MAIN(TestRecordRuns)
#include "tst_recordruns.moc"
