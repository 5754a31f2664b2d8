#include "serialmonitor.h"
#include "testsupport.h"

#include <QtTest>

#include <cstdio>

class tst_SerialMonitor : public QObject
{
    Q_OBJECT

private slots:
    void oneMonitorScansOnItsOwn();
    void extraPortEntries_data();
    void extraPortEntries();
};

// The first call creates the one monitor, which scans on its own from then on.
void tst_SerialMonitor::oneMonitorScansOnItsOwn()
{
    SerialMonitor *monitor = SerialMonitor::instance();
    QVERIFY(monitor && monitor == SerialMonitor::instance());
    QVERIFY(QSignalSpy(monitor, &SerialMonitor::sigSerialScanResult).wait(3000));
    monitor->stopScan();
}

void tst_SerialMonitor::extraPortEntries_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("expected");
    // '@' stands for the test's folder, where "alias1" is a second link to the device of "line1".
    QTest::newRow("missing path") << QStringList{"@/missing"} << QStringList();
    QTest::newRow("two links to one device") << QStringList{"@/line1", "@/alias1"} << QStringList{"@/line1"};
    QTest::newRow("dangling link dropped") << QStringList{"@/line2", "@/line1"} << QStringList{"@/line1"};
    QTest::newRow("empty entries skipped") << QStringList{"", "@/line1", ""} << QStringList{"@/line1"};
}

void tst_SerialMonitor::extraPortEntries()
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

int main(int argc, char *argv[])
{
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        tst_SerialMonitor test;
        status = QTest::qExec(&test, argc, argv);
    }
    // The monitor goes with the application: asked afterwards, it yields nothing rather than
    // a monitor whose timer has no event loop left.
    if (SerialMonitor::instance() == nullptr)
        return status;
    std::fprintf(stderr, "FAIL: the port monitor outlived the application\n");
    return 1;
}

#include "tst_serialmonitor.moc"
