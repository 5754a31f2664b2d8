#include "serialmonitor.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <cstdio>

namespace {

QStringList sortedNames(QStringList names)
{
    std::sort(names.begin(), names.end(), SerialMonitor::portNameLessThan);
    return names;
}

QStringList systemPortNames()
{
    return SerialMonitor::portNames(QSerialPortInfo::availablePorts());
}

} // namespace

class tst_SerialMonitor : public QObject
{
    Q_OBJECT

private slots:
    void concurrentFirstCallsShareOneMonitor();
    void portOrder_data();
    void portOrder();
    void samePortNames_data();
    void samePortNames();
    void scan_data();
    void scan();
    void extraPortEntries_data();
    void extraPortEntries();

private:
    // Adapters are links to a device file; pulling one out removes the device and leaves
    // the link dangling, as udev does with /dev/serial/by-id.
    bool plug(const QString &name);
    void unplug(const QString &name);

    QTemporaryDir dir;
};

bool tst_SerialMonitor::plug(const QString &name)
{
    const QString target = dir.filePath(QStringLiteral("dev-") + name);
    QFile device(target);
    if (!device.open(QIODevice::WriteOnly))
        return false;
    device.close();
    const QString link = dir.filePath(name);
    return QFileInfo(link).isSymLink() || QFile::link(target, link);
}

void tst_SerialMonitor::unplug(const QString &name)
{
    QFile::remove(dir.filePath(QStringLiteral("dev-") + name));
}

// Must run first: nothing in this process has asked for the monitor before.
void tst_SerialMonitor::concurrentFirstCallsShareOneMonitor()
{
    constexpr int callers = 8;
    QVector<SerialMonitor *> seen(callers, nullptr);
    QList<QThread *> threads;
    for (int i = 0; i < callers; ++i)
        threads << QThread::create([&seen, i]() { seen[i] = SerialMonitor::instance(); });
    for (QThread *thread : qAsConst(threads))
        thread->start();
    for (QThread *thread : qAsConst(threads))
        QVERIFY(thread->wait(10000));
    qDeleteAll(threads);

    SerialMonitor *monitor = SerialMonitor::instance();
    QVERIFY(monitor);
    for (SerialMonitor *other : qAsConst(seen))
        QCOMPARE(other, monitor);
    // Whoever asked first, the scan runs in the GUI thread, and it runs on its own.
    QCOMPARE(monitor->thread(), QCoreApplication::instance()->thread());
    QSignalSpy results(monitor, &SerialMonitor::sigSerialScanResult);
    QVERIFY(results.wait(3000));
    monitor->stopScan();
}

void tst_SerialMonitor::portOrder_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("less");

    QTest::newRow("COM10 before COM2") << "COM10" << "COM2" << true;
    QTest::newRow("COM2 after COM10") << "COM2" << "COM10" << false;
    QTest::newRow("COM3 before COM4") << "COM3" << "COM4" << true;
    QTest::newRow("upper case first") << "COM1" << "com1" << true;
    QTest::newRow("equal names") << "ttyUSB0" << "ttyUSB0" << false;
    QTest::newRow("paths before system names") << "/tmp/line" << "ttyS0" << true;
}

void tst_SerialMonitor::portOrder()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, less);
    QCOMPARE(SerialMonitor::portNameLessThan(a, b), less);
}

void tst_SerialMonitor::samePortNames_data()
{
    QTest::addColumn<QStringList>("a");
    QTest::addColumn<QStringList>("b");
    QTest::addColumn<bool>("same");

    QTest::newRow("both empty") << QStringList() << QStringList() << true;
    QTest::newRow("other count") << QStringList{"COM1"} << QStringList{"COM1", "COM2"} << false;
    QTest::newRow("same names, other order") << QStringList{"COM4", "COM10", "COM3"}
                                             << QStringList{"COM3", "COM4", "COM10"} << true;
    QTest::newRow("one name differs") << QStringList{"COM1", "COM2"} << QStringList{"COM1", "COM5"} << false;
    QTest::newRow("case differs") << QStringList{"COM1"} << QStringList{"com1"} << false;
}

void tst_SerialMonitor::samePortNames()
{
    QFETCH(QStringList, a);
    QFETCH(QStringList, b);
    QFETCH(bool, same);

    const int countA = a.size();
    const int countB = b.size();
    QCOMPARE(SerialMonitor::samePortNames(a, b), same);
    QCOMPARE(a.size(), countA);
    QCOMPARE(b.size(), countB);
    if (countA == countB) {
        QCOMPARE(a, sortedNames(a));
        QCOMPARE(b, sortedNames(b));
    }
}

void tst_SerialMonitor::scan_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<SerialMonitor::SerialScanResult>("result");

    QTest::newRow("nothing extra") << QStringList() << QStringList() << SerialMonitor::SCAN_RESULT_NO_CHANGE;
    QTest::newRow("three appear") << QStringList() << QStringList{"COM3", "COM10", "COM4"}
                                  << SerialMonitor::SCAN_RESULT_ADDED;
    QTest::newRow("replugged under the same name") << QStringList{"COM1", "COM2"} << QStringList{"COM2", "COM1"}
                                                   << SerialMonitor::SCAN_RESULT_NO_CHANGE;
    QTest::newRow("one replaced") << QStringList{"COM1", "COM2"} << QStringList{"COM1", "COM5"}
                                  << SerialMonitor::SCAN_RESULT_CHANGED;
    QTest::newRow("one unplugged") << QStringList{"COM1", "COM2"} << QStringList{"COM1"}
                                   << SerialMonitor::SCAN_RESULT_REMOVED;
    QTest::newRow("all unplugged") << QStringList{"COM1", "COM2"} << QStringList()
                                   << SerialMonitor::SCAN_RESULT_REMOVED;
}

void tst_SerialMonitor::scan()
{
    QFETCH(QStringList, before);
    QFETCH(QStringList, after);
    QFETCH(SerialMonitor::SerialScanResult, result);

    SerialMonitor *monitor = SerialMonitor::instance();
    monitor->stopScan();
    QSignalSpy results(monitor, &SerialMonitor::sigSerialScanResult);

    QStringList entries;
    const QStringList names = before + after;
    for (const QString &name : names)
        entries << dir.filePath(name);
    entries << dir.filePath(QStringLiteral("never-plugged"));
    qputenv("ZDZ_EXTRA_PORTS", entries.join(QDir::listSeparator()).toLocal8Bit());

    for (const QString &name : names)
        unplug(name);
    for (const QString &name : qAsConst(before))
        QVERIFY(plug(name));
    QMetaObject::invokeMethod(monitor, "scantimeout");
    QMetaObject::invokeMethod(monitor, "scantimeout");
    QCOMPARE(results.last().at(0).value<SerialMonitor::SerialScanResult>(), SerialMonitor::SCAN_RESULT_NO_CHANGE);
    const QStringList lastBefore = monitor->lastPortList();

    for (const QString &name : qAsConst(before))
        unplug(name);
    for (const QString &name : qAsConst(after))
        QVERIFY(plug(name));
    QMetaObject::invokeMethod(monitor, "scantimeout");

    QCOMPARE(results.last().at(0).value<SerialMonitor::SerialScanResult>(), result);
    QStringList expected = systemPortNames();
    for (const QString &name : qAsConst(after))
        expected << dir.filePath(name);
    expected = sortedNames(expected);
    QCOMPARE(monitor->currentPortList(), expected);
    QCOMPARE(monitor->lastPortList(), result == SerialMonitor::SCAN_RESULT_NO_CHANGE ? lastBefore : expected);

    for (const QString &name : qAsConst(after))
        unplug(name);
    qputenv("ZDZ_EXTRA_PORTS", QByteArray());
}

void tst_SerialMonitor::extraPortEntries_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("expected");

    const QString sep(QDir::listSeparator());
    QTest::newRow("unset") << QStringList() << QStringList();
    QTest::newRow("separators only") << QStringList{"", "", ""} << QStringList();
    QTest::newRow("missing path") << QStringList{"missing"} << QStringList();
    QTest::newRow("absolute link") << QStringList{"@/line1"} << QStringList{"@/line1"};
    QTest::newRow("relative path made absolute") << QStringList{"line1"} << QStringList{"@/line1"};
    QTest::newRow("dot path made absolute") << QStringList{"./line1"} << QStringList{"@/line1"};
    QTest::newRow("listed twice") << QStringList{"@/line1", "@/line1"} << QStringList{"@/line1"};
    QTest::newRow("two links to one device") << QStringList{"@/line1", "@/alias1"} << QStringList{"@/line1"};
    QTest::newRow("dangling link dropped") << QStringList{"@/line2", "@/line1"} << QStringList{"@/line1"};
    QTest::newRow("empty entries skipped") << QStringList{"", "@/line1", ""} << QStringList{"@/line1"};
}

// '@' stands for the test's folder; entries without it are relative to it.
void tst_SerialMonitor::extraPortEntries()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, expected);

    QVERIFY(plug(QStringLiteral("line1")));
    QVERIFY(QFileInfo(dir.filePath("alias1")).isSymLink()
            || QFile::link(dir.filePath("dev-line1"), dir.filePath("alias1")));
    QVERIFY(plug(QStringLiteral("line2")));
    unplug(QStringLiteral("line2"));

    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    entries.replaceInStrings(QStringLiteral("@"), dir.path());
    expected.replaceInStrings(QStringLiteral("@"), dir.path());
    qputenv("ZDZ_EXTRA_PORTS", entries.join(QDir::listSeparator()).toLocal8Bit());

    const QStringList names = SerialMonitor::extraPortNames({});

    qputenv("ZDZ_EXTRA_PORTS", QByteArray());
    QDir::setCurrent(previous);
    QCOMPARE(names, expected);
}

// The monitor goes with the application; asking for it afterwards yields nothing rather
// than a monitor whose timer has no event loop left.
int main(int argc, char *argv[])
{
    int status = 0;
    {
        QCoreApplication app(argc, argv);
        tst_SerialMonitor test;
        QTEST_SET_MAIN_SOURCE_PATH
        status = QTest::qExec(&test, argc, argv);
    }
    if (SerialMonitor::instance() != nullptr) {
        std::fprintf(stderr, "FAIL: the port monitor outlived the application\n");
        return 1;
    }
    return status;
}

#include "tst_serialmonitor.moc"
