#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "stationbinding.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int STATION_COUNT = 20;

QStringList numberedPorts(int first, int last)
{
    QStringList names;
    for (int i = first; i <= last; ++i)
        names << QStringLiteral("P%1").arg(i, 2, 10, QLatin1Char('0'));
    return names;
}

} // namespace

class tst_StationBinding : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void refresh_data();
    void refresh();
    void monitorBindsExtraPorts();

private:
    QStringList boundNames() const;

    QList<SerialFlashWidget *> stations;
};

void tst_StationBinding::init()
{
    for (int i = 0; i < STATION_COUNT; ++i)
        stations << new SerialFlashWidget;
}

void tst_StationBinding::cleanup()
{
    qDeleteAll(stations);
    stations.clear();
}

QStringList tst_StationBinding::boundNames() const
{
    QStringList names;
    for (const SerialFlashWidget *station : stations)
        names << station->portName();
    return names;
}

void tst_StationBinding::refresh_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QStringList>("after");
    // One letter per station in list order: 'C' kept its binding untouched, 'N' shows "Not Opened".
    QTest::addColumn<QString>("states");

    QTest::newRow("no ports") << QStringList() << QStringList() << QStringList() << QString();
    QTest::newRow("replacement goes to the first free row")
        << QStringList{"", "COM1", "COM2"} << QStringList{"COM2", "COM5"} << QStringList{"COM5", "", "COM2"} << "NNC";
    QTest::newRow("names are case-sensitive")
        << QStringList{"COM1"} << QStringList{"com1"} << QStringList{"com1"} << "N";
    QTest::newRow("twenty-one ports: the last waits")
        << QStringList() << numberedPorts(1, 21) << numberedPorts(1, 20) << QString();
    QTest::newRow("a freed row takes the waiting port")
        << numberedPorts(1, 20) << numberedPorts(2, 21) << (QStringList{"P21"} + numberedPorts(2, 20))
        << "N" + QString(STATION_COUNT - 1, 'C');
    QTest::newRow("a repeated name is bound once")
        << QStringList() << QStringList{"COM7", "COM7"} << QStringList{"COM7"} << "N";
}

void tst_StationBinding::refresh()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, ports);
    QFETCH(QStringList, after);
    QFETCH(QString, states);

    // Bound stations are switched to "Closed", so one that was reset shows "Not Opened" again.
    for (int i = 0; i < before.size(); ++i) {
        if (!before.at(i).isEmpty()) {
            stations.at(i)->setPortName(before.at(i));
            stations.at(i)->setSerialState(SerialFlashWidget::STATE_CLOSED);
            stations.at(i)->setFlashState(SerialFlashWidget::FLASH_PASS);
        }
    }
    StationBinding::refreshStationPorts(stations, ports);

    while (after.size() < STATION_COUNT)
        after << QString();
    QCOMPARE(boundNames(), after);
    states = states.leftJustified(STATION_COUNT, 'N');
    for (int i = 0; i < STATION_COUNT; ++i) {
        const SerialFlashWidget::SerialStateFlag expected =
            states.at(i) == 'C' ? SerialFlashWidget::STATE_CLOSED : SerialFlashWidget::STATE_NOT_OPNED;
        QVERIFY2(stations.at(i)->serialState() == expected, qPrintable(QStringLiteral("station %1").arg(i)));
        QVERIFY(!stations.at(i)->isWorking());
    }
}

// The whole path from the environment to the rows: links named like the adapters of a
// Windows line sort by the toolkit's string order, so COM10 comes first, and absolute
// paths sort before every name the system gives, so they take the first rows.
void tst_StationBinding::monitorBindsExtraPorts()
{
    QTemporaryDir dir;
    QStringList paths;
    for (const char *name : {"COM3", "COM10", "COM4"}) {
        QVERIFY(plugAdapter(dir.path(), name));
        paths << dir.filePath(name);
    }
    paths << dir.filePath(QStringLiteral("COM5"));   // listed now, plugged in later
    SerialMonitor *monitor = SerialMonitor::instance();
    monitor->stopScan();
    QSignalSpy results(monitor, &SerialMonitor::sigSerialScanResult);
    const auto scan = [&] {
        QMetaObject::invokeMethod(monitor, "scantimeout");
        StationBinding::refreshStationPorts(stations, monitor->currentPortList());
        return results.last().at(0).value<SerialMonitor::SerialScanResult>();
    };
    const auto firstRows = [&] { return boundNames().mid(0, 3); };

    setExtraPorts({});
    QMetaObject::invokeMethod(monitor, "scantimeout");
    setExtraPorts(paths);
    QCOMPARE(scan(), SerialMonitor::SCAN_RESULT_ADDED);
    QCOMPARE(firstRows(), (QStringList{paths[1], paths[0], paths[2]}));

    QVERIFY(unplugAdapter(dir.path(), QStringLiteral("COM3")));
    QCOMPARE(scan(), SerialMonitor::SCAN_RESULT_REMOVED);
    QCOMPARE(firstRows(), (QStringList{paths[1], QString(), paths[2]}));
    QCOMPARE(stations.at(1)->serialState(), SerialFlashWidget::STATE_NOT_OPNED);

    // A replacement takes the first free row.
    QVERIFY(unplugAdapter(dir.path(), QStringLiteral("COM4")) && plugAdapter(dir.path(), QStringLiteral("COM5")));
    QCOMPARE(scan(), SerialMonitor::SCAN_RESULT_CHANGED);
    QCOMPARE(firstRows(), (QStringList{paths[1], paths[3], QString()}));

    // Pulled out and back between two scans: the row keeps its port and its state.
    stations.at(1)->setSerialState(SerialFlashWidget::STATE_CLOSED);
    QVERIFY(unplugAdapter(dir.path(), QStringLiteral("COM5")) && plugAdapter(dir.path(), QStringLiteral("COM5")));
    QCOMPARE(scan(), SerialMonitor::SCAN_RESULT_NO_CHANGE);
    QCOMPARE(firstRows(), (QStringList{paths[1], paths[3], QString()}));
    QCOMPARE(stations.at(1)->serialState(), SerialFlashWidget::STATE_CLOSED);

    setExtraPorts({});
    QCOMPARE(scan(), SerialMonitor::SCAN_RESULT_REMOVED);
    for (const QString &path : qAsConst(paths))
        QVERIFY(!StationBinding::hasStationForPort(stations, path));
}

QTEST_MAIN(tst_StationBinding)

#include "tst_stationbinding.moc"
