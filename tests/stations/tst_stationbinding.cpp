#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "stationbinding.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_StationBinding : public QObject
{
    Q_OBJECT

private slots:
    void refresh_data();
    void refresh();
    void monitorBindsExtraPorts();
};

void tst_StationBinding::refresh_data()
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
        << QStringList(ports.mid(0, 20)) << QStringList(ports.mid(1)) << QStringList(QStringList{ports[20]} + ports.mid(1, 19));
}

// Bound stations start "Closed"; one that was reset or bound anew shows "Not Opened".
void tst_StationBinding::refresh()
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

// From the environment to the rows: links named like a Windows line's adapters sort by the toolkit's
// string order (COM10 first), and absolute paths sort before the system's names, so they take the first rows.
void tst_StationBinding::monitorBindsExtraPorts()
{
    SerialFlashWidget rows[20];
    QList<SerialFlashWidget *> stations;
    for (SerialFlashWidget &row : rows)
        stations << &row;
    QTemporaryDir dir;
    const QStringList paths{dir.filePath("COM3"), dir.filePath("COM10"), dir.filePath("COM4")};
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
    QCOMPARE((QStringList{rows[0].portName(), rows[1].portName(), rows[2].portName()}), (QStringList{paths[1], paths[0], paths[2]}));
    QVERIFY(unplugAdapter(dir.path(), QStringLiteral("COM3")));
    QCOMPARE(scan(), SerialMonitor::SCAN_RESULT_REMOVED);
    QCOMPARE(rows[1].portName(), QString());
    QCOMPARE(rows[1].serialState(), SerialFlashWidget::STATE_NOT_OPNED);
    QVERIFY(!StationBinding::hasStationForPort(stations, paths[0]) && StationBinding::hasStationForPort(stations, paths[2]));
}

QTEST_MAIN(tst_StationBinding)

#include "tst_stationbinding.moc"
