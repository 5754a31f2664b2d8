#include "serialmonitor.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdio>

class tst_SerialMonitor : public QObject
{
    Q_OBJECT

private slots:
    void concurrentFirstCallsShareOneMonitor();
    void extraPortEntries_data();
    void extraPortEntries();

private:
    QTemporaryDir dir;
};

// Must run first: nothing in this process has asked for the monitor before.
void tst_SerialMonitor::concurrentFirstCallsShareOneMonitor()
{
    QVector<SerialMonitor *> seen(8, nullptr);
    QList<QThread *> threads;
    for (int i = 0; i < seen.size(); ++i)
        threads << QThread::create([&seen, i]() { seen[i] = SerialMonitor::instance(); });
    for (QThread *thread : qAsConst(threads))
        thread->start();
    for (QThread *thread : qAsConst(threads))
        QVERIFY(thread->wait(10000));
    qDeleteAll(threads);

    SerialMonitor *monitor = SerialMonitor::instance();
    QVERIFY(monitor);
    QCOMPARE(seen, QVector<SerialMonitor *>(seen.size(), monitor));
    // Whoever asked first, the scan runs in the GUI thread, and it runs on its own.
    QCOMPARE(monitor->thread(), QCoreApplication::instance()->thread());
    QSignalSpy results(monitor, &SerialMonitor::sigSerialScanResult);
    QVERIFY(results.wait(3000));
    monitor->stopScan();
}

void tst_SerialMonitor::extraPortEntries_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("unset") << QStringList() << QStringList();
    QTest::newRow("missing path") << QStringList{"missing"} << QStringList();
    QTest::newRow("absolute link") << QStringList{"@/line1"} << QStringList{"@/line1"};
    QTest::newRow("relative path made absolute") << QStringList{"./line1"} << QStringList{"@/line1"};
    QTest::newRow("listed twice") << QStringList{"@/line1", "@/line1"} << QStringList{"@/line1"};
    QTest::newRow("two links to one device") << QStringList{"@/line1", "@/alias1"} << QStringList{"@/line1"};
    QTest::newRow("dangling link dropped") << QStringList{"@/line2", "@/line1"} << QStringList{"@/line1"};
    QTest::newRow("empty entries skipped") << QStringList{"", "@/line1", "", ""} << QStringList{"@/line1"};
}

// '@' stands for the test's folder; entries without it are relative to it.
void tst_SerialMonitor::extraPortEntries()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, expected);
    QVERIFY(plugAdapter(dir.path(), QStringLiteral("line1")));
    QVERIFY(QFileInfo(dir.filePath("alias1")).isSymLink()
            || QFile::link(dir.filePath("dev-line1"), dir.filePath("alias1")));
    QVERIFY(plugAdapter(dir.path(), QStringLiteral("line2")));
    unplugAdapter(dir.path(), QStringLiteral("line2"));

    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    setExtraPorts(entries.replaceInStrings(QStringLiteral("@"), dir.path()));
    const QStringList names = SerialMonitor::extraPortNames({});
    setExtraPorts({});
    QDir::setCurrent(previous);
    QCOMPARE(names, expected.replaceInStrings(QStringLiteral("@"), dir.path()));
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
