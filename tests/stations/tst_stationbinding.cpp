#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "stationbinding.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

// From the port monitor's scan to the station rows.
class tst_StationBinding : public QObject
{
    Q_OBJECT

private slots:
    // The first call creates the one monitor, which scans on its own from then on.
    void oneMonitorScansOnItsOwn()
    {
        SerialMonitor *monitor = SerialMonitor::instance();
        QVERIFY(monitor && monitor == SerialMonitor::instance());
        QVERIFY(QSignalSpy(monitor, &SerialMonitor::sigSerialScanResult).wait(3000));
        monitor->stopScan();
    }

    void extraPortEntries_data()
    {
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QStringList>("expected");
        // '@' stands for the test's folder, where "alias1" is a second link to the device of "line1".
        QTest::newRow("missing path") << QStringList{ "@/missing" } << QStringList();
        QTest::newRow("two links to one device") << QStringList{ "@/line1", "@/alias1" } << QStringList{ "@/line1" };
        QTest::newRow("dangling link dropped") << QStringList{ "@/line2", "@/line1" } << QStringList{ "@/line1" };
        QTest::newRow("empty entries skipped") << QStringList{ "", "@/line1", "" } << QStringList{ "@/line1" };
    }

    void extraPortEntries()
    {
        QFETCH(QStringList, entries);
        QFETCH(QStringList, expected);
        QTemporaryDir dir;
        QVERIFY(plugAdapter(dir.path(), "line1") && plugAdapter(dir.path(), "line2") && unplugAdapter(dir.path(), "line2"));
        QVERIFY(QFile::link(dir.filePath("dev-line1"), dir.filePath("alias1")));
        setExtraPorts(entries.replaceInStrings(QStringLiteral("@"), dir.path()));
        const QStringList names = SerialMonitor::extraPortNames({});
        setExtraPorts({});
        QCOMPARE(names, expected.replaceInStrings(QStringLiteral("@"), dir.path()));
    }

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
            if (!before.value(i).isEmpty())
                rows[i].setSerialState(SerialFlashWidget::STATE_CLOSED);
        }
        StationBinding::refreshStationPorts(stations, ports);
        for (int i = 0; i < 20; ++i) {
            const bool kept = !before.value(i).isEmpty() && before.value(i) == after.value(i);
            QCOMPARE(rows[i].portName(), after.value(i));
            QCOMPARE(rows[i].serialState(), kept ? SerialFlashWidget::STATE_CLOSED : SerialFlashWidget::STATE_NOT_OPNED);
            QVERIFY(!rows[i].isWorking());
        }
    }

    // From the environment to the rows: links named like a Windows line's adapters sort by the
    // toolkit's string order (COM10 first), and absolute paths sort before the system's names,
    // so they take the first rows. A pulled adapter frees its row.
    void monitorBindsExtraPorts()
    {
        SerialFlashWidget rows[20];
        QList<SerialFlashWidget *> stations;
        for (SerialFlashWidget &row : rows)
            stations << &row;
        QTemporaryDir dir;
        const QStringList paths{ dir.filePath("COM3"), dir.filePath("COM10"), dir.filePath("COM4") };
        QVERIFY(plugAdapter(dir.path(), "COM3") && plugAdapter(dir.path(), "COM10") && plugAdapter(dir.path(), "COM4"));
        SerialMonitor *monitor = SerialMonitor::instance();
        monitor->stopScan();
        QSignalSpy results(monitor, &SerialMonitor::sigSerialScanResult);
        const auto scan = [&] {
            QMetaObject::invokeMethod(monitor, "scantimeout");
            StationBinding::refreshStationPorts(stations, monitor->currentPortList());
            return results.last().at(0).value<SerialMonitor::SerialScanResult>();
        };
        setExtraPorts(paths);
        QCOMPARE(scan(), SerialMonitor::SCAN_RESULT_ADDED);
        QCOMPARE((QStringList{ rows[0].portName(), rows[1].portName(), rows[2].portName() }), (QStringList{ paths[1], paths[0], paths[2] }));
        QVERIFY(unplugAdapter(dir.path(), QStringLiteral("COM3")));
        QCOMPARE(scan(), SerialMonitor::SCAN_RESULT_REMOVED);
        QVERIFY(rows[1].portName().isEmpty() && rows[1].serialState() == SerialFlashWidget::STATE_NOT_OPNED);
        QVERIFY(!StationBinding::hasStationForPort(stations, paths[0]) && StationBinding::hasStationForPort(stations, paths[2]));
    }
};

int main(int argc, char *argv[])
{
    int status = 0;
    {
        QApplication app(argc, argv);
        tst_StationBinding test;
        status = QTest::qExec(&test, argc, argv);
    }
    // The monitor goes with the application: asked afterwards, it yields nothing rather than
    // a monitor whose timer has no event loop left.
    if (SerialMonitor::instance() == nullptr)
        return status;
    std::fprintf(stderr, "FAIL: the port monitor outlived the application\n");
    return 1;
}

#include "tst_stationbinding.moc"
