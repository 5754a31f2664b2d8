#include "chipsimprocess.h"
#include "ptypair.h"
#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "stationbinding.h"
#include "testsupport.h"

#include <QDir>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QSet>
#include <QTemporaryFile>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

constexpr quint32 IMAGE_ADDR = 0x1000;
constexpr int RUN_TIMEOUT_MS = 20000;
const QStringList SIM_ARGS{QStringLiteral("--c-interval-ms"), QStringLiteral("100")};
const char OPEN_FAILED_MSG[] = "open failed, check if port has been opened by another application.";

QSet<QString> kernelThreads()
{
    const QStringList ids = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return QSet<QString>(ids.begin(), ids.end());
}

// The threads of this process by kernel id: a station that starts or ends a thread changes it.
// A thread already joined can linger in /proc while it unwinds, so read until the set holds still.
QSet<QString> processThreads()
{
    QSet<QString> threads = kernelThreads();
    for (int read = 0; read < 100; ++read) {
        QThread::msleep(20);
        const QSet<QString> again = kernelThreads();
        if (again == threads)
            break;
        threads = again;
    }
    return threads;
}

QRadioButton *switchOf(QWidget *station) { return station->findChild<QRadioButton *>("rdbtnOpenClose"); }
QProgressBar *barOf(QWidget *station) { return station->findChild<QProgressBar *>("prgbarFlash"); }
QLineEdit *resultOf(QWidget *station) { return station->findChild<QLineEdit *>("leditResult"); }

// In every colour group: the operator must read it whether the window is active or not.
bool resultShows(QWidget *station, const char *text, const QColor &textColour, const QColor &baseColour)
{
    bool shown = resultOf(station)->text() == QLatin1String(text);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        shown = shown && resultOf(station)->palette().color(group, QPalette::Text) == textColour
                && resultOf(station)->palette().color(group, QPalette::Base) == baseColour;
    }
    return shown;
}

UserConfig configWithFiles(const QStringList &paths, quint32 mode = UserConfig::DOWNLOAD_MODE_SINGLESHOT)
{
    UserConfig config;
    config.setBaudrate(460800);
    config.setDownloadMode(mode);
    QList<FileCfg> files;
    for (int i = 0; i < paths.size(); ++i)
        files << FileCfg{paths.at(i), IMAGE_ADDR + quint32(i) * 0x10000};
    config.setFileList(files);
    return config;
}

// A station on a simulated chip, started as the main window does when Start is pressed.
struct SimStation
{
    ChipSimProcess sim;
    std::unique_ptr<SerialFlashWidget> station = std::make_unique<SerialFlashWidget>();
    QSignalSpy reports{station.get(), &SerialFlashWidget::sigReportWorker};

    bool open()
    {
        if (!sim.start(1, SIM_ARGS))
            return false;
        station->setPortName(sim.linkPath(0));
        switchOf(station.get())->click();
        return station->serialState() == SerialFlashWidget::STATE_OPENED;
    }

    int start(const QString &image, quint32 mode = UserConfig::DOWNLOAD_MODE_SINGLESHOT)
    {
        station->setUserConfig(configWithFiles({image}, mode));
        station->setFlashState(SerialFlashWidget::FLASH_NOT_STARTED);
        station->setWorkMode(SerialFlashWidget::SERIAL_MODE_DOWNLOADING);
        return station->startWorker();
    }

    bool chipAskedVersion() const
    {
        const QStringList lines = sim.receivedLines(0);
        return std::any_of(lines.begin(), lines.end(),
                           [](const QString &line) { return line.trimmed().startsWith(QLatin1String("version")); });
    }
};

} // namespace

class tst_SerialFlashWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void setProgressClamps();
    void progressPlacement_data();
    void progressPlacement();
    void switchPort();
    void runsPassAgainAndAfterStop();
    void unpluggedPortFreesWorkingStation();
    void destroyDuringContinuousRun_data();
    void destroyDuringContinuousRun();

private:
    QTemporaryFile imageFile;
    QByteArray imageData;
};

void tst_SerialFlashWidget::initTestCase()
{
    // Not a multiple of the YMODEM block, so the last block's padding is exercised too.
    imageData.resize(5 * 1024 + 77);
    for (char &byte : imageData)
        byte = char(QRandomGenerator::global()->bounded(256));
    QVERIFY(imageFile.open());
    QCOMPARE(imageFile.write(imageData), qint64(imageData.size()));
    QVERIFY(imageFile.flush());
}

void tst_SerialFlashWidget::setProgressClamps()
{
    SerialFlashWidget station;
    for (const QPair<int, int> &shown : {qMakePair(150, 100), qMakePair(-5, 0), qMakePair(42, 42)}) {
        station.setProgress(shown.first);
        QCOMPARE(barOf(&station)->value(), shown.second);
    }
}

void tst_SerialFlashWidget::progressPlacement_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("fileID");
    QTest::addColumn<int>("progress");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");

    const int dl = SerialFlashWidget::SERIAL_MODE_DOWNLOADING;
    const int erase = SerialFlashWidget::SERIAL_MODE_ERASING;
    QTest::newRow("one file, half") << 1 << dl << 1 << 50 << 100 << 50 << "Downloading";
    QTest::newRow("one file, done shows Pass") << 1 << dl << 1 << 100 << 100 << 100 << "Pass";
    QTest::newRow("two files, first done") << 2 << dl << 1 << 100 << 200 << 100 << "Downloading";
    QTest::newRow("two files, second half") << 2 << dl << 2 << 50 << 200 << 150 << "Downloading";
    QTest::newRow("two files, second done: the result decides") << 2 << dl << 2 << 100 << 200 << 200 << "Downloading";
    QTest::newRow("file 0 placed like 1") << 2 << dl << 0 << 30 << 200 << 30 << "Downloading";
    QTest::newRow("report of 0 on file 2") << 2 << dl << 2 << 0 << 200 << 0 << "Not Started";
    QTest::newRow("file beyond the list stays in range") << 2 << dl << 5 << 10 << 200 << 200 << "Downloading";
    QTest::newRow("erase mode ignores reports") << 1 << erase << 1 << 50 << 100 << 40 << "Erasing";
    QTest::newRow("erase mode ignores a report of 0") << 2 << erase << 1 << 0 << 100 << 40 << "Erasing";
}

void tst_SerialFlashWidget::progressPlacement()
{
    QFETCH(int, files);
    QFETCH(int, mode);
    QFETCH(int, fileID);
    QFETCH(int, progress);
    QFETCH(int, maximum);
    QFETCH(int, value);
    QFETCH(QString, text);

    QStringList paths;
    for (int i = 0; i < files; ++i)
        paths << QStringLiteral("image%1.bin").arg(i);
    SerialFlashWidget station;
    station.setUserConfig(configWithFiles(paths));
    station.setWorkMode(mode);
    station.setFlashState(mode == SerialFlashWidget::SERIAL_MODE_ERASING ? SerialFlashWidget::FLASH_ERASING
                                                                         : SerialFlashWidget::FLASH_DOWNLOADING);
    station.setProgress(40);

    QVERIFY(QMetaObject::invokeMethod(&station, "slotHandleWorkerReportYmodemProgress", Q_ARG(int, fileID),
                                      Q_ARG(int, progress)));
    QCOMPARE(barOf(&station)->maximum(), maximum);
    QCOMPARE(barOf(&station)->value(), value);
    QCOMPARE(resultOf(&station)->text(), text);
}

void tst_SerialFlashWidget::switchPort()
{
    PtyPair line;
    QVERIFY2(line.open(), qPrintable(line.errorString()));
    const QString path = line.slavePath();
    SerialFlashWidget station;
    QSignalSpy messages(&station, &SerialFlashWidget::sigReportMsg);
    QSignalSpy toWorker(&station, &SerialFlashWidget::sigSetWorkerPortName);
    QRadioButton *button = switchOf(&station);
    station.setPortName(QStringLiteral("ttyUSB3"));
    button->setChecked(true);
    station.setPortName(QString());
    QVERIFY(!button->isEnabled());
    QVERIFY(!button->isChecked());
    QCOMPARE(toWorker.count(), 1);
    station.setPortName(path);
    QVERIFY(button->isEnabled());
    QCOMPARE(toWorker.count(), 2);
    QCOMPARE(toWorker.last().at(0).toString(), path);

    button->click();
    QCOMPARE(button->text(), QStringLiteral("Opened"));
    QVERIFY(button->isChecked());
    // The station holds the line while it shows "Opened": nobody else gets it.
    QSerialPort intruder(path);
    QVERIFY(!intruder.open(QIODevice::ReadWrite));

    button->click();
    QCOMPARE(button->text(), QStringLiteral("Closed"));
    QCOMPARE(station.serialState(), SerialFlashWidget::STATE_CLOSED);
    QVERIFY(!button->isChecked());

    QSerialPort holder(path);
    QVERIFY(holder.open(QIODevice::ReadWrite));
    button->click();
    QCOMPARE(button->text(), QStringLiteral("Not Opened"));
    QCOMPARE(station.serialState(), SerialFlashWidget::STATE_NOT_OPNED);
    QVERIFY(!button->isChecked());
    QVERIFY(!station.isWorking());
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0), (QVariantList{path, QString::fromLatin1(OPEN_FAILED_MSG)}));

    holder.close();
    button->click();
    QCOMPARE(station.serialState(), SerialFlashWidget::STATE_OPENED);
    // Rebinding lets the line go at once.
    station.setPortName(path);
    QVERIFY(holder.open(QIODevice::ReadWrite));
}

// A second start reuses the worker's thread; a stopped worker (closing the window, or a
// future caller) leaves the station able to run the next start to its result.
void tst_SerialFlashWidget::runsPassAgainAndAfterStop()
{
    SimStation rig;
    rig.station->setPortName(QString());
    QVERIFY(rig.open());
    const QVariantList passed{rig.sim.linkPath(0), 0};
    const QSet<QString> threadsBefore = processThreads();

    QCOMPARE(rig.start(imageFile.fileName()), 0);
    QCOMPARE(resultOf(rig.station.get())->text(), QStringLiteral("Downloading"));
    QVERIFY(rig.station->isWorking());
    const QSet<QString> threadsRunning = processThreads();
    QCOMPARE(threadsRunning.size(), threadsBefore.size() + 1);
    QTRY_COMPARE_WITH_TIMEOUT(rig.reports.count(), 1, RUN_TIMEOUT_MS);
    QCOMPARE(rig.reports.at(0), passed);
    QVERIFY(resultShows(rig.station.get(), "Pass", Qt::white, Qt::green));
    QVERIFY(!rig.station->isWorking());
    QCOMPARE(rig.sim.image(0, IMAGE_ADDR), imageData);

    // The button still says "Opened", so the next Start goes to this station again.
    QCOMPARE(rig.station->serialState(), SerialFlashWidget::STATE_OPENED);
    QCOMPARE(rig.start(imageFile.fileName()), 0);
    QVERIFY(rig.station->isWorking());
    QTRY_COMPARE_WITH_TIMEOUT(rig.reports.count(), 2, RUN_TIMEOUT_MS);
    QCOMPARE(rig.reports.at(1), passed);
    QCOMPARE(processThreads(), threadsRunning);

    QCOMPARE(rig.start(imageFile.fileName()), 0);
    rig.station->stopWorker();
    QVERIFY(!rig.station->isWorking());
    const int reportsBefore = rig.reports.count();
    QCOMPARE(rig.start(imageFile.fileName()), 0);
    QVERIFY(rig.station->isWorking());
    QTRY_VERIFY_WITH_TIMEOUT(rig.reports.count() > reportsBefore && rig.reports.last() == passed, RUN_TIMEOUT_MS);
    QCOMPARE(resultOf(rig.station.get())->text(), QStringLiteral("Pass"));
    QTRY_COMPARE(processThreads().size(), threadsBefore.size() + 1);
}

// A chip that never answers keeps a continuous worker busy without results, so the order
// is certain: the adapter goes, the scan frees the station, and only then can the
// worker's failure reach it.
void tst_SerialFlashWidget::unpluggedPortFreesWorkingStation()
{
    SimStation rig;
    QVERIFY(rig.sim.start(1, SIM_ARGS + QStringList{QStringLiteral("--fault"), QStringLiteral("0:silent")}));
    const QString link = rig.sim.linkPath(0);
    SerialFlashWidget *first = rig.station.get();
    SerialFlashWidget second;
    SerialMonitor *monitor = SerialMonitor::instance();
    monitor->stopScan();
    QSignalSpy scans(monitor, &SerialMonitor::sigSerialScanResult);
    const auto scan = [&](SerialMonitor::SerialScanResult expected) {
        QMetaObject::invokeMethod(monitor, "scantimeout");
        StationBinding::refreshStationPorts({first, &second}, monitor->currentPortList());
        return scans.last().at(0).value<SerialMonitor::SerialScanResult>() == expected;
    };

    setExtraPorts({});
    QMetaObject::invokeMethod(monitor, "scantimeout");
    setExtraPorts({link});
    QVERIFY(scan(SerialMonitor::SCAN_RESULT_ADDED));
    QCOMPARE(first->portName(), link);
    switchOf(first)->click();
    QCOMPARE(first->serialState(), SerialFlashWidget::STATE_OPENED);
    QCOMPARE(rig.start(imageFile.fileName(), UserConfig::DOWNLOAD_MODE_CONTINUOUS), 0);
    QTRY_VERIFY_WITH_TIMEOUT(rig.chipAskedVersion(), RUN_TIMEOUT_MS);
    QVERIFY(first->isWorking());
    QCOMPARE(rig.reports.count(), 0);

    first->setProgress(50);   // the reset must clear what a transfer had shown
    QVERIFY(rig.sim.command(QStringLiteral("unplug 0")));
    QVERIFY(scan(SerialMonitor::SCAN_RESULT_REMOVED));
    QCOMPARE(first->portName(), QString());
    QCOMPARE(first->serialState(), SerialFlashWidget::STATE_NOT_OPNED);
    QCOMPARE(resultOf(first)->text(), QStringLiteral("Not Started"));
    QCOMPARE(barOf(first)->value(), 0);
    QVERIFY(!first->isWorking());
    QVERIFY(!switchOf(first)->isEnabled());

    QTRY_VERIFY_WITH_TIMEOUT(!rig.reports.isEmpty(), RUN_TIMEOUT_MS);
    for (const QList<QVariant> &report : qAsConst(rig.reports)) {
        QCOMPARE(report.at(0).toString(), QString());
        QVERIFY(report.at(1).toInt() != 0);
    }
    QVERIFY(resultShows(first, "Fail", Qt::black, Qt::red));

    QVERIFY(rig.sim.command(QStringLiteral("replug 0")));
    QVERIFY(scan(SerialMonitor::SCAN_RESULT_ADDED));
    QCOMPARE(first->portName(), link);
    setExtraPorts({});
}

void tst_SerialFlashWidget::destroyDuringContinuousRun_data()
{
    QTest::addColumn<QString>("moment");
    QTest::newRow("while talking to the chip") << "talking";
    QTest::newRow("after a result, worker still cycling") << "after result";
    QTest::newRow("window closing: stop, then destroy") << "stop first";
}

void tst_SerialFlashWidget::destroyDuringContinuousRun()
{
    QFETCH(QString, moment);
    const QSet<QString> threadsBefore = processThreads();
    SimStation rig;
    QVERIFY(rig.open());
    QCOMPARE(rig.start(imageFile.fileName(), UserConfig::DOWNLOAD_MODE_CONTINUOUS), 0);
    QCOMPARE(processThreads().size(), threadsBefore.size() + 1);

    if (moment == QLatin1String("after result")) {
        QTRY_VERIFY_WITH_TIMEOUT(!rig.reports.isEmpty(), RUN_TIMEOUT_MS);
        QCOMPARE(rig.reports.at(0).at(1).toInt(), 0);
        QVERIFY(!rig.station->isWorking());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(rig.chipAskedVersion(), RUN_TIMEOUT_MS);
        QVERIFY(rig.station->isWorking());
    }
    if (moment == QLatin1String("stop first"))
        rig.station->stopWorker();

    rig.station.reset();
    // The kernel thread ends just after the wait for it returns.
    QTRY_COMPARE(processThreads(), threadsBefore);
}

QTEST_MAIN(tst_SerialFlashWidget)

#include "tst_serialflashwidget.moc"
