#include "chipsimprocess.h"
#include "ptypair.h"
#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "stationbinding.h"

#include <QDir>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QSet>
#include <QTemporaryFile>
#include <QtTest>

#include <memory>

namespace {

constexpr quint32 IMAGE_ADDR = 0x1000;
constexpr int RUN_TIMEOUT_MS = 20000;
const char OPEN_FAILED_MSG[] = "open failed, check if port has been opened by another application.";

// The threads of this process, by kernel id: a station that starts or ends a thread
// changes this set.
QSet<QString> processThreads()
{
    const QStringList ids = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return QSet<QString>(ids.begin(), ids.end());
}

QRadioButton *switchOf(SerialFlashWidget *station)
{
    return station->findChild<QRadioButton *>(QStringLiteral("rdbtnOpenClose"));
}

QProgressBar *barOf(SerialFlashWidget *station)
{
    return station->findChild<QProgressBar *>(QStringLiteral("prgbarFlash"));
}

QLineEdit *resultOf(SerialFlashWidget *station)
{
    return station->findChild<QLineEdit *>(QStringLiteral("leditResult"));
}

QLineEdit *portFieldOf(SerialFlashWidget *station)
{
    return station->findChild<QLineEdit *>(QStringLiteral("leditPortName"));
}

UserConfig configWithFiles(const QStringList &paths, quint32 mode = UserConfig::DOWNLOAD_MODE_SINGLESHOT)
{
    UserConfig config;
    config.setBaudrate(460800);
    config.setDownloadMode(mode);
    QList<FileCfg> files;
    quint32 addr = IMAGE_ADDR;
    for (const QString &path : paths) {
        files << FileCfg{path, addr};
        addr += 0x10000;
    }
    config.setFileList(files);
    return config;
}

// What the main window does for every opened station when Start is pressed.
int startDownload(SerialFlashWidget *station, const UserConfig &config)
{
    station->setUserConfig(config);
    station->setFlashState(SerialFlashWidget::FLASH_NOT_STARTED);
    station->setWorkMode(SerialFlashWidget::SERIAL_MODE_DOWNLOADING);
    return station->startWorker();
}

bool chipReceived(const ChipSimProcess &sim, const QString &command)
{
    const QStringList lines = sim.receivedLines(0);
    for (const QString &line : lines) {
        if (line.trimmed().startsWith(command))
            return true;
    }
    return false;
}

} // namespace

class tst_SerialFlashWidget : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void serialStateReadsButtonText_data();
    void serialStateReadsButtonText();
    void bindingEnablesSwitch();
    void setProgressClamps_data();
    void setProgressClamps();
    void progressPlacement_data();
    void progressPlacement();
    void readyAndResult_data();
    void readyAndResult();
    void switchPort();
    void runPassesAndReusesThread();
    void stopWorkerLeavesStationUsable();
    void unpluggedPortFreesWorkingStation();
    void destroyDuringContinuousRun_data();
    void destroyDuringContinuousRun();

private:
    bool startSim(ChipSimProcess *sim, const QStringList &extraArgs = {});
    void openStation(SerialFlashWidget *station, const QString &port);

    QTemporaryFile imageFile;
    QByteArray imageData;
};

void tst_SerialFlashWidget::initTestCase()
{
    // Not a multiple of the YMODEM block, so the last block's padding is exercised too.
    imageData.resize(5 * 1024 + 77);
    for (char &byte : imageData)
        byte = static_cast<char>(QRandomGenerator::global()->bounded(256));
    QVERIFY(imageFile.open());
    QCOMPARE(imageFile.write(imageData), qint64(imageData.size()));
    QVERIFY(imageFile.flush());
}

bool tst_SerialFlashWidget::startSim(ChipSimProcess *sim, const QStringList &extraArgs)
{
    return sim->start(1, QStringList{QStringLiteral("--c-interval-ms"), QStringLiteral("100")} + extraArgs);
}

void tst_SerialFlashWidget::openStation(SerialFlashWidget *station, const QString &port)
{
    station->setPortName(port);
    switchOf(station)->click();
    QCOMPARE(station->serialState(), SerialFlashWidget::STATE_OPENED);
}

void tst_SerialFlashWidget::serialStateReadsButtonText_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<SerialFlashWidget::SerialStateFlag>("readBack");

    QTest::newRow("opened") << int(SerialFlashWidget::STATE_OPENED) << "Opened" << true
                            << SerialFlashWidget::STATE_OPENED;
    QTest::newRow("closed") << int(SerialFlashWidget::STATE_CLOSED) << "Closed" << false
                            << SerialFlashWidget::STATE_CLOSED;
    QTest::newRow("not opened") << int(SerialFlashWidget::STATE_NOT_OPNED) << "Not Opened" << false
                                << SerialFlashWidget::STATE_NOT_OPNED;
    QTest::newRow("unknown value changes nothing") << 7 << "Opened" << true << SerialFlashWidget::STATE_OPENED;
    QTest::newRow("foreign text") << -1 << "opened" << true << SerialFlashWidget::STATE_NOT_OPNED;
}

void tst_SerialFlashWidget::serialStateReadsButtonText()
{
    QFETCH(int, state);
    QFETCH(QString, text);
    QFETCH(bool, checked);
    QFETCH(SerialFlashWidget::SerialStateFlag, readBack);

    SerialFlashWidget station;
    station.setSerialState(SerialFlashWidget::STATE_OPENED);
    if (state >= 0)
        station.setSerialState(static_cast<SerialFlashWidget::SerialStateFlag>(state));
    else
        switchOf(&station)->setText(text);

    QCOMPARE(switchOf(&station)->text(), text);
    QCOMPARE(switchOf(&station)->isChecked(), checked);
    QCOMPARE(station.serialState(), readBack);
}

void tst_SerialFlashWidget::bindingEnablesSwitch()
{
    SerialFlashWidget station;
    QSignalSpy toWorker(&station, &SerialFlashWidget::sigSetWorkerPortName);

    station.setPortName(QStringLiteral("ttyUSB3"));
    QVERIFY(switchOf(&station)->isEnabled());
    switchOf(&station)->setChecked(true);

    station.setPortName(QString());
    QVERIFY(!switchOf(&station)->isEnabled());
    QVERIFY(!switchOf(&station)->isChecked());
    QCOMPARE(station.portName(), QString());
    QCOMPARE(toWorker.count(), 1);

    station.setPortName(QStringLiteral("ttyUSB7"));
    QVERIFY(switchOf(&station)->isEnabled());
    QCOMPARE(station.portName(), QStringLiteral("ttyUSB7"));
    QCOMPARE(portFieldOf(&station)->statusTip(), QStringLiteral("ttyUSB7"));
    QCOMPARE(toWorker.count(), 2);
    QCOMPARE(toWorker.last().at(0).toString(), QStringLiteral("ttyUSB7"));
}

void tst_SerialFlashWidget::setProgressClamps_data()
{
    QTest::addColumn<int>("progress");
    QTest::addColumn<int>("shown");

    QTest::newRow("above 100") << 150 << 100;
    QTest::newRow("negative") << -5 << 0;
    QTest::newRow("in range") << 42 << 42;
    QTest::newRow("edge 100") << 100 << 100;
}

void tst_SerialFlashWidget::setProgressClamps()
{
    QFETCH(int, progress);
    QFETCH(int, shown);

    SerialFlashWidget station;
    station.setProgress(77);
    station.setProgress(progress);
    QCOMPARE(barOf(&station)->value(), shown);
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
    QTest::newRow("two files, second done") << 2 << dl << 2 << 100 << 200 << 200 << "Downloading";
    QTest::newRow("four files, third") << 4 << dl << 3 << 25 << 400 << 225 << "Downloading";
    QTest::newRow("file 0 placed like 1") << 2 << dl << 0 << 30 << 200 << 30 << "Downloading";
    QTest::newRow("negative file placed like 1") << 1 << dl << -4 << 30 << 100 << 30 << "Downloading";
    QTest::newRow("report of 0 on file 2") << 2 << dl << 2 << 0 << 200 << 0 << "Not Started";
    QTest::newRow("report of 0 on file 1") << 1 << dl << 1 << 0 << 100 << 0 << "Not Started";
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

    QProgressBar *bar = barOf(&station);
    QCOMPARE(bar->maximum(), maximum);
    QCOMPARE(bar->value(), value);
    QCOMPARE(resultOf(&station)->text(), text);
    if (mode == SerialFlashWidget::SERIAL_MODE_DOWNLOADING) {
        QCOMPARE(bar->format(), QStringLiteral("%p%"));
        QVERIFY(bar->isTextVisible());
    }
}

void tst_SerialFlashWidget::readyAndResult_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QColor>("textColour");
    QTest::addColumn<QColor>("baseColour");

    const QColor white(255, 255, 255);
    const QColor green(0, 255, 0);
    const QColor black(0, 0, 0);
    const QColor red(255, 0, 0);
    QTest::newRow("success") << 0 << "Pass" << white << green;
    QTest::newRow("file send failed") << 0x40A << "Fail" << black << red;
    QTest::newRow("port open failed") << 0x201 << "Fail" << black << red;
    QTest::newRow("negative") << -1 << "Fail" << black << red;
}

// Two files: the bar's 200 is reached only with the second file, and the row says
// "Downloading" until the worker's result decides.
void tst_SerialFlashWidget::readyAndResult()
{
    QFETCH(int, result);
    QFETCH(QString, text);
    QFETCH(QColor, textColour);
    QFETCH(QColor, baseColour);

    SerialFlashWidget station;
    station.setPortName(QStringLiteral("ttyUSB1"));
    station.setUserConfig(configWithFiles({QStringLiteral("a.bin"), QStringLiteral("b.bin")}));
    station.setWorkMode(SerialFlashWidget::SERIAL_MODE_DOWNLOADING);
    station.setProgress(80);
    QSignalSpy reports(&station, &SerialFlashWidget::sigReportWorker);

    QVERIFY(QMetaObject::invokeMethod(&station, "slotHandleWorkerReadyToWork",
                                      Q_ARG(Worker::ChipCodeVerFlag, Worker::CodeInROM_ZR740A)));
    QCOMPARE(barOf(&station)->value(), 0);
    QCOMPARE(resultOf(&station)->text(), QStringLiteral("Downloading"));

    QVERIFY(QMetaObject::invokeMethod(&station, "slotHandleWorkerReportYmodemProgress", Q_ARG(int, 2),
                                      Q_ARG(int, 100)));
    QCOMPARE(resultOf(&station)->text(), QStringLiteral("Downloading"));
    QCOMPARE(barOf(&station)->value(), 200);

    QVERIFY(QMetaObject::invokeMethod(&station, "slotHandleWorkerReportResult", Q_ARG(int, result)));
    QCOMPARE(resultOf(&station)->text(), text);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        QCOMPARE(resultOf(&station)->palette().color(group, QPalette::Text), textColour);
        QCOMPARE(resultOf(&station)->palette().color(group, QPalette::Base), baseColour);
    }
    QCOMPARE(barOf(&station)->value(), 200);
    QVERIFY(!station.isWorking());
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reports.at(0).at(0).toString(), QStringLiteral("ttyUSB1"));
    QCOMPARE(reports.at(0).at(1).toInt(), result);
}

void tst_SerialFlashWidget::switchPort()
{
    PtyPair line;
    QVERIFY2(line.open(), qPrintable(line.errorString()));
    const QString path = line.slavePath();

    SerialFlashWidget station;
    QSignalSpy messages(&station, &SerialFlashWidget::sigReportMsg);
    station.setPortName(path);
    QRadioButton *button = switchOf(&station);

    button->click();
    QCOMPARE(station.serialState(), SerialFlashWidget::STATE_OPENED);
    QVERIFY(button->isChecked());
    // The station holds the line while it shows "Opened": nobody else gets it.
    QSerialPort intruder(path);
    QVERIFY(!intruder.open(QIODevice::ReadWrite));

    button->click();
    QCOMPARE(station.serialState(), SerialFlashWidget::STATE_CLOSED);
    QVERIFY(!button->isChecked());
    QVERIFY(!station.isWorking());
    QCOMPARE(messages.count(), 0);

    QSerialPort holder(path);
    QVERIFY(holder.open(QIODevice::ReadWrite));
    button->click();
    QCOMPARE(station.serialState(), SerialFlashWidget::STATE_NOT_OPNED);
    QVERIFY(!button->isChecked());
    QVERIFY(!station.isWorking());
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), path);
    QCOMPARE(messages.at(0).at(1).toString(), QString::fromLatin1(OPEN_FAILED_MSG));

    holder.close();
    button->click();
    QCOMPARE(station.serialState(), SerialFlashWidget::STATE_OPENED);
    // Rebinding lets the line go at once.
    station.setPortName(path);
    QVERIFY(holder.open(QIODevice::ReadWrite));
}

void tst_SerialFlashWidget::runPassesAndReusesThread()
{
    ChipSimProcess sim;
    QVERIFY(startSim(&sim));
    const QString link = sim.linkPath(0);

    SerialFlashWidget station;
    QSignalSpy reports(&station, &SerialFlashWidget::sigReportWorker);
    station.setPortName(QString());
    openStation(&station, link);
    const QSet<QString> threadsBefore = processThreads();

    QCOMPARE(startDownload(&station, configWithFiles({imageFile.fileName()})), 0);
    QCOMPARE(resultOf(&station)->text(), QStringLiteral("Downloading"));
    QVERIFY(station.isWorking());
    const QSet<QString> threadsRunning = processThreads();
    QCOMPARE(threadsRunning.size(), threadsBefore.size() + 1);

    QTRY_COMPARE_WITH_TIMEOUT(reports.count(), 1, RUN_TIMEOUT_MS);
    QCOMPARE(reports.at(0).at(0).toString(), link);
    QCOMPARE(reports.at(0).at(1).toInt(), 0);
    QCOMPARE(resultOf(&station)->text(), QStringLiteral("Pass"));
    QVERIFY(!station.isWorking());
    QCOMPARE(sim.image(0, IMAGE_ADDR), imageData);

    // The button text still says "Opened", so the next Start goes to this station again.
    QCOMPARE(station.serialState(), SerialFlashWidget::STATE_OPENED);
    QCOMPARE(startDownload(&station, configWithFiles({imageFile.fileName()})), 0);
    QVERIFY(station.isWorking());
    QTRY_COMPARE_WITH_TIMEOUT(reports.count(), 2, RUN_TIMEOUT_MS);
    QCOMPARE(reports.at(1).at(0).toString(), link);
    QCOMPARE(reports.at(1).at(1).toInt(), 0);
    QCOMPARE(resultOf(&station)->text(), QStringLiteral("Pass"));
    // The same worker thread served both runs: none started, none ended.
    QCOMPARE(processThreads(), threadsRunning);
}

// The window's answer to a result never stops a working station, but closing or a future
// caller might: the station must still run the next start to its result.
void tst_SerialFlashWidget::stopWorkerLeavesStationUsable()
{
    ChipSimProcess sim;
    QVERIFY(startSim(&sim));
    const QString link = sim.linkPath(0);

    SerialFlashWidget station;
    QSignalSpy reports(&station, &SerialFlashWidget::sigReportWorker);
    openStation(&station, link);
    const QSet<QString> threadsBefore = processThreads();

    QCOMPARE(startDownload(&station, configWithFiles({imageFile.fileName()})), 0);
    QVERIFY(station.isWorking());
    station.stopWorker();
    QVERIFY(!station.isWorking());

    QCOMPARE(startDownload(&station, configWithFiles({imageFile.fileName()})), 0);
    QVERIFY(station.isWorking());
    QTRY_VERIFY_WITH_TIMEOUT(!reports.isEmpty() && reports.last().at(1).toInt() == 0, RUN_TIMEOUT_MS);
    QCOMPARE(reports.last().at(0).toString(), link);
    QCOMPARE(resultOf(&station)->text(), QStringLiteral("Pass"));
    QCOMPARE(sim.image(0, IMAGE_ADDR), imageData);
    QTRY_COMPARE(processThreads().size(), threadsBefore.size() + 1);
}

// A chip that never answers keeps a continuous worker busy without results, so the order
// is certain: the adapter goes, the scan frees the station, and only then can the
// worker's failure reach it.
void tst_SerialFlashWidget::unpluggedPortFreesWorkingStation()
{
    ChipSimProcess sim;
    QVERIFY(startSim(&sim, {QStringLiteral("--fault"), QStringLiteral("0:silent")}));
    const QString link = sim.linkPath(0);

    SerialMonitor *monitor = SerialMonitor::instance();
    monitor->stopScan();
    QSignalSpy scans(monitor, &SerialMonitor::sigSerialScanResult);
    QList<SerialFlashWidget *> stations;
    std::unique_ptr<SerialFlashWidget> first(new SerialFlashWidget);
    std::unique_ptr<SerialFlashWidget> second(new SerialFlashWidget);
    stations << first.get() << second.get();
    auto scan = [&]() {
        QMetaObject::invokeMethod(monitor, "scantimeout");
        StationBinding::refreshStationPorts(stations, monitor->currentPortList());
    };

    qputenv("ZDZ_EXTRA_PORTS", QByteArray());
    QMetaObject::invokeMethod(monitor, "scantimeout");
    qputenv("ZDZ_EXTRA_PORTS", link.toLocal8Bit());
    scan();
    QCOMPARE(scans.last().at(0).value<SerialMonitor::SerialScanResult>(), SerialMonitor::SCAN_RESULT_ADDED);
    QCOMPARE(first->portName(), link);

    QSignalSpy reports(first.get(), &SerialFlashWidget::sigReportWorker);
    switchOf(first.get())->click();
    QCOMPARE(first->serialState(), SerialFlashWidget::STATE_OPENED);
    QCOMPARE(startDownload(first.get(), configWithFiles({imageFile.fileName()},
                                                        UserConfig::DOWNLOAD_MODE_CONTINUOUS)),
             0);
    QTRY_VERIFY_WITH_TIMEOUT(chipReceived(sim, QStringLiteral("version")), RUN_TIMEOUT_MS);
    QVERIFY(first->isWorking());
    QCOMPARE(reports.count(), 0);

    QVERIFY(sim.command(QStringLiteral("unplug 0")));
    scan();
    QCOMPARE(scans.last().at(0).value<SerialMonitor::SerialScanResult>(), SerialMonitor::SCAN_RESULT_REMOVED);
    QCOMPARE(first->portName(), QString());
    QCOMPARE(first->serialState(), SerialFlashWidget::STATE_NOT_OPNED);
    QCOMPARE(resultOf(first.get())->text(), QStringLiteral("Not Started"));
    QCOMPARE(barOf(first.get())->value(), 0);
    QVERIFY(!first->isWorking());
    QVERIFY(!switchOf(first.get())->isEnabled());

    QTRY_VERIFY_WITH_TIMEOUT(!reports.isEmpty(), RUN_TIMEOUT_MS);
    for (const QList<QVariant> &report : qAsConst(reports)) {
        QCOMPARE(report.at(0).toString(), QString());
        QVERIFY(report.at(1).toInt() != 0);
    }
    QCOMPARE(resultOf(first.get())->text(), QStringLiteral("Fail"));

    QVERIFY(sim.command(QStringLiteral("replug 0")));
    scan();
    QCOMPARE(scans.last().at(0).value<SerialMonitor::SerialScanResult>(), SerialMonitor::SCAN_RESULT_ADDED);
    QCOMPARE(first->portName(), link);

    qputenv("ZDZ_EXTRA_PORTS", QByteArray());
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

    ChipSimProcess sim;
    QVERIFY(startSim(&sim));
    const QSet<QString> threadsBefore = processThreads();

    auto station = std::make_unique<SerialFlashWidget>();
    QSignalSpy reports(station.get(), &SerialFlashWidget::sigReportWorker);
    openStation(station.get(), sim.linkPath(0));
    QCOMPARE(startDownload(station.get(), configWithFiles({imageFile.fileName()},
                                                          UserConfig::DOWNLOAD_MODE_CONTINUOUS)),
             0);
    QCOMPARE(processThreads().size(), threadsBefore.size() + 1);

    if (moment == QLatin1String("after result")) {
        QTRY_VERIFY_WITH_TIMEOUT(!reports.isEmpty(), RUN_TIMEOUT_MS);
        QCOMPARE(reports.at(0).at(1).toInt(), 0);
        QVERIFY(!station->isWorking());
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(chipReceived(sim, QStringLiteral("version")), RUN_TIMEOUT_MS);
        QVERIFY(station->isWorking());
    }
    if (moment == QLatin1String("stop first"))
        station->stopWorker();

    station.reset();
    // The kernel thread ends just after the wait for it returns.
    QTRY_COMPARE(processThreads(), threadsBefore);
}

QTEST_MAIN(tst_SerialFlashWidget)

#include "tst_serialflashwidget.moc"
