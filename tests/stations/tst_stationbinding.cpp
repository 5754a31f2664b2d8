#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "stationbinding.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

constexpr int STATION_COUNT = 20;

QStringList padded(QStringList names)
{
    while (names.size() < STATION_COUNT)
        names << QString();
    return names;
}

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
    void hasStationForPort_data();
    void hasStationForPort();
    void monitorBindsExtraPortsInNameOrder();

private:
    void bind(const QStringList &names);
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

// Bound stations are switched to "Closed", so a station that was reset shows "Not Opened" again.
void tst_StationBinding::bind(const QStringList &names)
{
    for (int i = 0; i < names.size(); ++i) {
        if (names.at(i).isEmpty())
            continue;
        stations.at(i)->setPortName(names.at(i));
        stations.at(i)->setSerialState(SerialFlashWidget::STATE_CLOSED);
        stations.at(i)->setFlashState(SerialFlashWidget::FLASH_PASS);
    }
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
    QTest::newRow("three ports in the monitor's order")
        << QStringList() << QStringList{"COM10", "COM3", "COM4"} << QStringList{"COM10", "COM3", "COM4"}
        << QStringLiteral("NNN");
    QTest::newRow("replaced port takes the freed row")
        << QStringList{"COM1", "COM2", "COM3"} << QStringList{"COM1", "COM3", "COM4"}
        << QStringList{"COM1", "COM4", "COM3"} << QStringLiteral("CNC");
    QTest::newRow("replacement goes to the first free row")
        << QStringList{"", "COM1", "COM2"} << QStringList{"COM2", "COM5"} << QStringList{"COM5", "", "COM2"}
        << QStringLiteral("NNC");
    QTest::newRow("removed port frees its row")
        << QStringList{"COM1", "COM2", "COM3"} << QStringList{"COM1", "COM3"} << QStringList{"COM1", "", "COM3"}
        << QStringLiteral("CNC");
    QTest::newRow("replug under the same name") << QStringList{"COM1", "COM2"} << QStringList{"COM1", "COM2"}
                                                << QStringList{"COM1", "COM2"} << QStringLiteral("CC");
    QTest::newRow("names are case-sensitive") << QStringList{"COM1"} << QStringList{"com1"}
                                              << QStringList{"com1"} << QStringLiteral("N");
    QTest::newRow("twenty-one ports: the last waits")
        << QStringList() << numberedPorts(1, 21) << numberedPorts(1, 20) << QString(STATION_COUNT, 'N');
    QTest::newRow("a freed row takes the waiting port")
        << numberedPorts(1, 20) << numberedPorts(2, 21) << (QStringList{"P21"} + numberedPorts(2, 20))
        << (QStringLiteral("N") + QString(STATION_COUNT - 1, 'C'));
    QTest::newRow("a repeated name is bound once")
        << QStringList() << QStringList{"COM7", "COM7"} << QStringList{"COM7"} << QStringLiteral("N");
}

void tst_StationBinding::refresh()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, ports);
    QFETCH(QStringList, after);
    QFETCH(QString, states);

    bind(before);
    StationBinding::refreshStationPorts(stations, ports);

    QCOMPARE(boundNames(), padded(after));
    states = states.leftJustified(STATION_COUNT, 'N');
    for (int i = 0; i < STATION_COUNT; ++i) {
        const SerialFlashWidget::SerialStateFlag expected =
            states.at(i) == 'C' ? SerialFlashWidget::STATE_CLOSED : SerialFlashWidget::STATE_NOT_OPNED;
        QVERIFY2(stations.at(i)->serialState() == expected, qPrintable(QStringLiteral("station %1").arg(i)));
        QVERIFY(!stations.at(i)->isWorking());
    }
}

void tst_StationBinding::hasStationForPort_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("found");

    QTest::newRow("bound name") << QStringLiteral("COM3") << true;
    QTest::newRow("other case") << QStringLiteral("com3") << false;
    QTest::newRow("prefix only") << QStringLiteral("COM") << false;
    QTest::newRow("unknown name") << QStringLiteral("COM4") << false;
}

void tst_StationBinding::hasStationForPort()
{
    QFETCH(QString, name);
    QFETCH(bool, found);

    bind({QString(), QStringLiteral("COM3")});
    QCOMPARE(StationBinding::hasStationForPort(stations, name), found);
}

// The whole path from the environment to the rows: links named like the adapters of a
// Windows line sort by the toolkit's string order, so COM10 comes first.
void tst_StationBinding::monitorBindsExtraPortsInNameOrder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QStringList names{"COM3", "COM10", "COM4"};
    QStringList paths;
    for (const QString &name : names) {
        const QString target = dir.filePath(QStringLiteral("dev-") + name);
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(QFile::link(target, dir.filePath(name)));
        paths << dir.filePath(name);
    }

    SerialMonitor *monitor = SerialMonitor::instance();
    QVERIFY(monitor);
    monitor->stopScan();
    QSignalSpy results(monitor, &SerialMonitor::sigSerialScanResult);
    auto scan = [&]() {
        QMetaObject::invokeMethod(monitor, "scantimeout");
        StationBinding::refreshStationPorts(stations, monitor->currentPortList());
    };

    qputenv("ZDZ_EXTRA_PORTS", QByteArray());
    QMetaObject::invokeMethod(monitor, "scantimeout");

    qputenv("ZDZ_EXTRA_PORTS", paths.join(QDir::listSeparator()).toLocal8Bit());
    scan();
    QCOMPARE(results.last().at(0).value<SerialMonitor::SerialScanResult>(), SerialMonitor::SCAN_RESULT_ADDED);
    // Absolute paths sort before every name the system gives, so they take the first rows.
    QCOMPARE(boundNames().mid(0, 3), (QStringList{dir.filePath("COM10"), dir.filePath("COM3"), dir.filePath("COM4")}));

    QVERIFY(QFile::remove(dir.filePath("dev-COM3")));
    scan();
    QCOMPARE(results.last().at(0).value<SerialMonitor::SerialScanResult>(), SerialMonitor::SCAN_RESULT_REMOVED);
    QCOMPARE(boundNames().mid(0, 3), (QStringList{dir.filePath("COM10"), QString(), dir.filePath("COM4")}));
    QCOMPARE(stations.at(1)->serialState(), SerialFlashWidget::STATE_NOT_OPNED);

    qputenv("ZDZ_EXTRA_PORTS", QByteArray());
    scan();
    QCOMPARE(results.last().at(0).value<SerialMonitor::SerialScanResult>(), SerialMonitor::SCAN_RESULT_REMOVED);
    for (const QString &path : qAsConst(paths))
        QVERIFY(!StationBinding::hasStationForPort(stations, path));
}

QTEST_MAIN(tst_StationBinding)

#include "tst_stationbinding.moc"
