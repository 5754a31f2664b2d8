#include "chipsimprocess.h"
#include "ptypair.h"
#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "stationbinding.h"
#include "testsupport.h"

#include <QSerialPort>
#include <QtTest>
#include <QtWidgets>

#include <cstdio>

namespace {

constexpr quint32 IMAGE_ADDR = 0x1000;
constexpr int RUN_TIMEOUT_MS = 20000;

QRadioButton *switchOf(QWidget *station) { return station->findChild<QRadioButton *>("rdbtnOpenClose"); }
QProgressBar *barOf(QWidget *station) { return station->findChild<QProgressBar *>("prgbarFlash"); }
QLineEdit *resultOf(QWidget *station) { return station->findChild<QLineEdit *>("leditResult"); }

// In every colour group: the operator must read it whether the window is active or not.
bool resultShows(QWidget *station, const char *text, const QColor &textColour, const QColor &baseColour)
{
    bool shown = resultOf(station)->text() == QLatin1String(text);
    for (QPalette::ColorGroup group : { QPalette::Active, QPalette::Inactive, QPalette::Disabled })
        shown = shown && resultOf(station)->palette().color(group, QPalette::Text) == textColour
                && resultOf(station)->palette().color(group, QPalette::Base) == baseColour;
    return shown;
}

} // namespace

class tst_Stations : public QObject
{
    Q_OBJECT

    QTemporaryFile imageFile;

private slots:
    void refresh_data()
    {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("ports");
        QTest::addColumn<QStringList>("after");
        QStringList ports;
        for (int i = 1; i <= 21; ++i)
            ports << QStringLiteral("P%1").arg(i);
        QTest::newRow("no ports") << QStringList() << QStringList() << QStringList();
        QTest::newRow("twenty-one ports: the last waits") << QStringList() << ports << QStringList(ports.mid(0, 20));
        QTest::newRow("a replaced port: the freed row takes the waiting one")
            << QStringList(ports.mid(0, 20)) << QStringList(ports.mid(1)) << QStringList(QStringList{ ports[20] } + ports.mid(1, 19));
    }

    // Bound stations start "Closed"; one that was reset or bound anew shows "Not Opened".
    void refresh()
    {
        QFETCH(QStringList, before);
        QFETCH(QStringList, ports);
        QFETCH(QStringList, after);
        SerialFlashWidget rows[20];
        QList<SerialFlashWidget *> stations;
        for (int i = 0; i < 20; ++i) {
            stations << &rows[i];
            rows[i].setPortName(before.value(i));
            rows[i].setSerialState(before.value(i).isEmpty() ? SerialFlashWidget::STATE_NOT_OPNED
                                                             : SerialFlashWidget::STATE_CLOSED);
        }
        StationBinding::refreshStationPorts(stations, ports);
        for (int i = 0; i < 20; ++i) {
            const bool kept = !before.value(i).isEmpty() && before.value(i) == after.value(i);
            QCOMPARE(rows[i].portName(), after.value(i));
            QCOMPARE(rows[i].serialState(), kept ? SerialFlashWidget::STATE_CLOSED : SerialFlashWidget::STATE_NOT_OPNED);
        }
    }

    // The monitor scans alone; links bind the first rows in string order; a dangling link counts as removed.
    void monitorBindsExtraPorts()
    {
        SerialMonitor *monitor = SerialMonitor::instance();
        QVERIFY(monitor && monitor == SerialMonitor::instance() && QSignalSpy(monitor, &SerialMonitor::sigSerialScanResult).wait(3000));
        SerialFlashWidget rows[20];
        QList<SerialFlashWidget *> stations;
        for (SerialFlashWidget &row : rows)
            stations << &row;
        QTemporaryDir dir;
        const QStringList paths{ dir.filePath("COM3"), dir.filePath("COM10"), dir.filePath("COM4") };
        QVERIFY(plugAdapter(dir.path(), "COM3") && plugAdapter(dir.path(), "COM10") && plugAdapter(dir.path(), "COM4"));
        // Empty entries, a missing path and a second link to one device (COM9 to COM10's) bind no row.
        QVERIFY(QFile::link(dir.filePath("dev-COM10"), dir.filePath("COM9")));
        monitor->stopScan();
        QSignalSpy results(monitor, &SerialMonitor::sigSerialScanResult);
        const auto scan = [&] {
            QMetaObject::invokeMethod(monitor, "scantimeout");
            StationBinding::refreshStationPorts(stations, monitor->currentPortList());
            return results.last().at(0).value<SerialMonitor::SerialScanResult>();
        };
        setExtraPorts({ "", paths[0], paths[1], dir.filePath("missing"), dir.filePath("COM9"), paths[2], "" });
        QCOMPARE(scan(), SerialMonitor::SCAN_RESULT_ADDED);
        QCOMPARE((QStringList{ rows[0].portName(), rows[1].portName(), rows[2].portName() }), (QStringList{ paths[1], paths[0], paths[2] }));
        QVERIFY2(!rows[3].portName().startsWith(dir.path()), qPrintable(rows[3].portName()));
        QVERIFY(unplugAdapter(dir.path(), QStringLiteral("COM3")));
        QCOMPARE(scan(), SerialMonitor::SCAN_RESULT_REMOVED);
    }
    void initTestCase()
    {
        QVERIFY(imageFile.open() && imageFile.write(QByteArray(3000, '\x5a')) == 3000 && imageFile.flush());
    }

    void progressPlacement_data()
    {
        // Files configured, whether the station erases, the bar before, then the worker's report: file and percent.
        QTest::addColumn<QList<int>>("given");
        QTest::addColumn<QList<int>>("bar"); // its maximum and value
        QTest::addColumn<QString>("text");
        using L = QList<int>;
        QTest::newRow("one file, half") << L{ 1, 0, 40, 1, 50 } << L{ 100, 50 } << "Downloading";
        QTest::newRow("two files, second half") << L{ 2, 0, 40, 2, 50 } << L{ 200, 150 } << "Downloading";
        QTest::newRow("second done: result decides") << L{ 2, 0, 40, 2, 100 } << L{ 200, 200 } << "Downloading";
        QTest::newRow("file 0 placed like 1") << L{ 2, 0, 40, 0, 30 } << L{ 200, 30 } << "Downloading";
        QTest::newRow("report of 0 on file 2") << L{ 2, 0, 40, 2, 0 } << L{ 200, 0 } << "Not Started";
        QTest::newRow("erase: reports ignored, clamped") << L{ 1, 1, 150, 1, 50 } << L{ 100, 100 } << "Erasing";
        QTest::newRow("erase mode ignores a report of 0") << L{ 2, 1, -5, 1, 0 } << L{ 100, 0 } << "Erasing";
    }

    void progressPlacement()
    {
        QFETCH(QList<int>, given);
        QFETCH(QList<int>, bar);
        QFETCH(QString, text);
        SerialFlashWidget station;
        UserConfig config;
        config.setFileList(QList<FileCfg>{ { "a.bin", IMAGE_ADDR }, { "b.bin", 2 * IMAGE_ADDR } }.mid(0, given[0]));
        station.setUserConfig(config);
        station.setWorkMode(given[1] ? SerialFlashWidget::SERIAL_MODE_ERASING : SerialFlashWidget::SERIAL_MODE_DOWNLOADING);
        station.setFlashState(given[1] ? SerialFlashWidget::FLASH_ERASING : SerialFlashWidget::FLASH_DOWNLOADING);
        station.setProgress(given[2]);
        QVERIFY(QMetaObject::invokeMethod(&station, "slotHandleWorkerReportYmodemProgress", Q_ARG(int, given[3]), Q_ARG(int, given[4])));
        QCOMPARE((QList<int>{ barOf(&station)->maximum(), barOf(&station)->value() }), bar);
        QCOMPARE(resultOf(&station)->text(), text);
    }

    // No port, no switch; a line held elsewhere: "Not Opened", one message; rebinding frees the line at once.
    void switchPort()
    {
        PtyPair line;
        QVERIFY2(line.open(), qPrintable(line.errorString()));
        const QString path = line.slavePath();
        SerialFlashWidget station;
        QSignalSpy messages(&station, &SerialFlashWidget::sigReportMsg);
        QRadioButton *button = switchOf(&station);
        station.setPortName(QStringLiteral("ttyUSB3"));
        button->setChecked(true);
        station.setPortName(QString());
        QVERIFY(!button->isEnabled() && !button->isChecked());
        station.setPortName(path);
        QSerialPort holder(path);
        // The station reads its state from the switch's text.
        const QStringList shown{ "Opened", "Closed", "Not Opened", "Opened" };
        for (int i = 0; i < shown.size(); ++i) {
            QVERIFY(i != 2 || holder.open(QIODevice::ReadWrite));
            if (i == 3)
                holder.close();
            button->click();
            QCOMPARE(button->text(), shown[i]);
            QVERIFY(button->isChecked() == (i % 3 == 0) && !station.isWorking());
        }
        QCOMPARE(messages.count(), 1);
        QCOMPARE(messages.at(0), (QVariantList{ path, "open failed, check if port has been opened by another application." }));
        station.setPortName(path);
        QVERIFY(holder.open(QIODevice::ReadWrite));
    }

    void runOnSimulatedChip_data()
    {
        QTest::addColumn<QString>("moment");
        QTest::newRow("single shot: a second start reuses the thread") << "again";
        QTest::newRow("continuous: adapter pulled out while working") << "unplug";
    }

    // Whatever the worker is doing, destroying its station ends the thread without an abort.
    void runOnSimulatedChip()
    {
        QFETCH(QString, moment);
        const bool again = moment == QLatin1String("again"), unplug = moment == QLatin1String("unplug");
        const QSet<QString> threadsBefore = workerThreads();
        ChipSimProcess sim;
        // A silent chip keeps the worker busy, so the station is freed before the worker's failure comes.
        const QStringList silent{ "--fault", "0:silent" };
        QVERIFY(sim.start(1, QStringList{ "--c-interval-ms", "100" } + (unplug ? silent : QStringList())));
        auto owner = std::make_unique<SerialFlashWidget>();
        SerialFlashWidget *station = owner.get();
        QSignalSpy reports(station, &SerialFlashWidget::sigReportWorker);
        station->setPortName(sim.linkPath(0));
        switchOf(station)->click();
        UserConfig config;
        config.setBaudrate(460800);
        config.setDownloadMode(again ? UserConfig::DOWNLOAD_MODE_SINGLESHOT : UserConfig::DOWNLOAD_MODE_CONTINUOUS);
        config.setFileList({ FileCfg{ imageFile.fileName(), IMAGE_ADDR } });
        QSet<QString> threadsRunning;
        // As Start does; still "Opened" after a run, the station takes the next Start on the same thread.
        for (int run = 0; run < (again ? 2 : 1); ++run) {
            QCOMPARE(station->serialState(), SerialFlashWidget::STATE_OPENED);
            station->setUserConfig(config);
            station->setWorkMode(SerialFlashWidget::SERIAL_MODE_DOWNLOADING);
            QCOMPARE(station->startWorker(), 0);
            QVERIFY(resultOf(station)->text() == QStringLiteral("Downloading") && station->isWorking());
            // A new thread takes its name once it runs.
            QTRY_COMPARE(workerThreads().size(), threadsBefore.size() + 1);
            QCOMPARE(threadsRunning.unite(workerThreads()).size(), threadsBefore.size() + 1);
            QTRY_VERIFY_WITH_TIMEOUT(again ? reports.count() == run + 1
                                           : !sim.receivedLines(0).filter("version").isEmpty(), RUN_TIMEOUT_MS);
        }
        for (const QList<QVariant> &report : reports)
            QCOMPARE(report, (QVariantList{ sim.linkPath(0), 0, QStringLiteral("Success") }));
        QVERIFY(station->isWorking() != again);
        QVERIFY(!again || resultShows(station, "Pass", Qt::white, Qt::green));
        if (unplug) {
            QCOMPARE(reports.count(), 0);
            station->setProgress(50); // the reset must clear what a transfer had shown
            QVERIFY(sim.command(QStringLiteral("unplug 0")));
            StationBinding::refreshStationPorts({ station }, {});
            QVERIFY(resultOf(station)->text() == QStringLiteral("Not Started") && barOf(station)->value() == 0);
            QVERIFY(!station->isWorking() && !switchOf(station)->isEnabled());
            QTRY_VERIFY_WITH_TIMEOUT(resultShows(station, "Fail", Qt::black, Qt::red), RUN_TIMEOUT_MS);
        }
        owner.reset();
        QTRY_COMPARE(workerThreads(), threadsBefore);
    }
};

int main(int argc, char *argv[])
{
    const int status = [&] {
        QApplication app(argc, argv);
        tst_Stations test;
        return QTest::qExec(&test, argc, argv);
    }();
    // The monitor goes with the application rather than outlive the event loop its timer needs.
    if (SerialMonitor::instance())
        std::fprintf(stderr, "FAIL: the port monitor outlived the application\n");
    return SerialMonitor::instance() ? 1 : status;
}

#include "tst_stations.moc"
