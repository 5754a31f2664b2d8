#include "chipsimprocess.h"
#include "errorcodes.h"
#include "testsupport.h"
#include "userconfig.h"
#include "worker.h"

#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

QByteArray randomImage(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    for (char &c : data)
        c = static_cast<char>(gen.bounded(256));
    return data;
}

// What the chip received in order, each with the host's line speed at that moment:
// "line@baud" for a command line, "loader@baud" or "image@baud" for a whole transfer.
QStringList linesWithBaud(const ChipSimProcess &sim)
{
    QStringList lines;
    for (const QJsonObject &event : sim.transcript(0)) {
        const QString ev = event.value("ev").toString();
        const QString what = ev == QLatin1String("rx") ? event.value("line").toString()
                             : ev == QLatin1String("image") ? event.value("kind").toString() : QString();
        if (!what.isEmpty())
            lines << what + '@' + QString::number(event.value("baud").toInt());
    }
    return lines;
}

} // namespace

// One worker in its own thread, driven the way a station drives it: queued calls in,
// queued signals out.
class WorkerRig : public QObject
{
    Q_OBJECT

public:
    WorkerRig()
    {
        worker = new Worker;
        worker->moveToThread(&thread);
        connect(&thread, &QThread::started, worker, &Worker::slotWorkerInit);
        connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        connect(worker, &Worker::sigWorkerReportResult, this, [this](int r) { results << r; });
        connect(worker, &Worker::sigWorkerReadyToWork, this, [this](Worker::ChipCodeVerFlag c) { ready << c; });
        connect(worker, &Worker::sigWorkerReportYmodemProgress, this,
                [this](int fileID, int p) { progress << qMakePair(fileID, p); });
        thread.start();
    }
    ~WorkerRig() override
    {
        thread.quit();
        thread.wait();
    }

    void run(const QList<FileCfg> &files, const QString &port, quint32 baudrate = 921600,
             quint32 downloadMode = UserConfig::DOWNLOAD_MODE_SINGLESHOT, int mode = Worker::WORK_MODE_DOWNLOAD)
    {
        UserConfig config;
        config.setFileList(files);
        config.setBaudrate(baudrate);
        config.setDownloadMode(downloadMode);
        Worker *w = worker;
        QMetaObject::invokeMethod(w, [w, config, port, mode] {
            w->slotSetUserConfig(config);
            w->slotSetWorkerPortName(port);
            w->slotSetWorkerMode(mode);
            w->slotWorkerStart();
        });
    }

    QThread thread;
    Worker *worker = nullptr;
    QList<int> results;
    QList<Worker::ChipCodeVerFlag> ready;
    QList<QPair<int, int>> progress;
};

class tst_Worker : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void oneFile_data();
    void oneFile();
    void staleLoaderCountStillWritesEveryImage();
    void silentChipInContinuousMode();
    void faults_data();
    void faults();
    void continuousServesChipAfterChip();

private:
    FileCfg image(const QString &name, const QByteArray &data, quint32 addr)
    {
        const QString path = images.filePath(name);
        return FileCfg{ writeFile(path, data) ? path : QString(), addr };
    }

    QTemporaryDir images;
};

void tst_Worker::initTestCase()
{
    registerUserConfigMetaType();
    registerWorkerMetaTypes();
    QVERIFY(images.isValid());
}

void tst_Worker::oneFile_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QList<Worker::ChipCodeVerFlag>>("ready");
    QTest::addColumn<QString>("downloadLine");

    QTest::newRow("ZR740A ROM") << QStringList{ "--families", "ZR740A" }
                                << QList<Worker::ChipCodeVerFlag>{ Worker::CodeInROM_ZR740A } << "download \r\n";
    QTest::newRow("ZR740C ROM") << QStringList{ "--families", "ZR740C" }
                                << QList<Worker::ChipCodeVerFlag>{ Worker::CodeInROM_ZR740C }
                                << "download [rambin][0x20000000] [14176]\r\n";
    QTest::newRow("ZR610A ROM") << QStringList{ "--families", "ZR610A" }
                                << QList<Worker::ChipCodeVerFlag>{ Worker::CodeInROM_ZR610A }
                                << "download [rambin] [0x20008000] [11372]\r\n";
    QTest::newRow("RAM loader already running")
        << QStringList{ "--set", "0:ram=1" } << QList<Worker::ChipCodeVerFlag>() << QString();
}

void tst_Worker::oneFile()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QList<Worker::ChipCodeVerFlag>, ready);
    QFETCH(QString, downloadLine);

    ChipSimProcess sim;
    QVERIFY(sim.start(1, simArgs));
    const QByteArray data = randomImage(20000, 1);
    WorkerRig rig;
    rig.run({ image("app.bin", data, 0x1000) }, sim.linkPath(0));
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 1, 20000);
    QCOMPARE(rig.results.first(), ErrorCodes::RESULT_SUCCESS);
    QCOMPARE(rig.ready, ready);

    // The host follows the loader's line speed: the file's lines at the configured speed,
    // the file count and the reboot back at 115200. A RAM loader needs no upload.
    QStringList expected = {
        "version \r\n@115200",         downloadLine + "@115200",          "loader@115200",
        "\r\nfilecount\r\n@115200",    "baudrate 921600\r\n@115200",     "\r\nstartaddr 0x00001000\r\n@921600",
        "upgrade \r\n@921600",         "image@921600",                    "baudrate 115200\r\n@921600",
        "\r\nfilecount\r\n@115200",    "\r\ndownloadsucess\r\n@115200", "reboot \r\n@115200",
    };
    if (downloadLine.isEmpty())
        expected.erase(expected.begin() + 1, expected.begin() + 3);
    // The result is reported as soon as "reboot" is written; give the chip time to read it.
    QTRY_COMPARE(linesWithBaud(sim).size(), expected.size());
    QCOMPARE(linesWithBaud(sim), expected);
    QCOMPARE(sim.image(0, 0x1000), data);

    QVERIFY(!rig.progress.isEmpty());
    for (const auto &report : qAsConst(rig.progress))
        QCOMPARE(report.first, 1);
    QCOMPARE(rig.progress.last().second, 100);
}

// The file sent is chosen from the start of the list; the loader's count only says how
// many more follow.
// A loader that already counts an image (an earlier run on the same board) must not make
// the run skip one: every configured image is written and confirmed in this run.
void tst_Worker::staleLoaderCountStillWritesEveryImage()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(1, { "--set", "0:filecount-start=1" }));
    const QByteArray a = randomImage(3000, 2);
    const QByteArray b = randomImage(5000, 3);
    const QByteArray c = randomImage(700, 4);
    WorkerRig rig;
    rig.run({ image("a.bin", a, 0x1000), image("b.bin", b, 0x20000), image("c.bin", c, 0x40000) },
            sim.linkPath(0), 460800);
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 1, 20000);
    QCOMPARE(rig.results.first(), 0);
    QCOMPARE(sim.image(0, 0x1000), a);
    QCOMPARE(sim.image(0, 0x20000), b);
    QCOMPARE(sim.image(0, 0x40000), c);
    QCOMPARE(sim.receivedLines(0).filter("upgrade").size(), 3);
    QCOMPARE(rig.progress.first().first, 1);
    QCOMPARE(rig.progress.last(), qMakePair(3, 100));
}

// No chip answers: the worker keeps polling without a report.
void tst_Worker::silentChipInContinuousMode()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(1, { "--fault", "0:silent" }));
    WorkerRig rig;
    rig.run({ image("s.bin", "s", 0x1000) }, sim.linkPath(0), 115200, UserConfig::DOWNLOAD_MODE_CONTINUOUS);
    QTRY_VERIFY_WITH_TIMEOUT(sim.receivedLines(0).size() > 6, 5000);
    QVERIFY(rig.results.isEmpty());
}

void tst_Worker::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("extraFile");
    QTest::addColumn<bool>("absentPort");
    QTest::addColumn<int>("code");

    const int download = Worker::WORK_MODE_DOWNLOAD;
    const int erase = Worker::WORK_MODE_ERASE;
    // A transfer status arriving outside any transfer must change nothing.
    QTest::newRow("silent chip, stray transfer status") << "silent" << download << "" << false
                                                        << ErrorCodes::RESULT_VERSION_READ_FAILED;
    QTest::newRow("NAK of a block is recovered") << "nak=2" << download << "" << false << 0;
    QTest::newRow("baudrate answer lost") << "drop=baudrate" << download << "" << false << 0;
    QTest::newRow("startaddr refused") << "ffff=startaddr" << download << "" << false
                                       << ErrorCodes::RESULT_STARTADDR_READ_FAILED;
    QTest::newRow("CAN during the image") << "can=2" << download << "" << false << ErrorCodes::RESULT_FILE_SEND_FAILED;
    QTest::newRow("A during the image") << "abort-a=1" << download << "" << false
                                        << ErrorCodes::RESULT_FILE_SEND_FAILED;
    QTest::newRow("unknown cmd before the receiver's C") << "unknown-on-c" << download << "" << false << 0;
    QTest::newRow("missing file") << "" << download << "gone.bin" << false << ErrorCodes::RESULT_ARG_FILENAME_INVALID;
    QTest::newRow("missing file, erase") << "" << erase << "gone.bin" << false
                                         << ErrorCodes::RESULT_ARG_FILENAME_INVALID;
    QTest::newRow("absent port") << "" << download << "" << true << ErrorCodes::RESULT_PORT_OPEN_FAILED;
    QTest::newRow("erase on a ROM chip") << "" << erase << "" << false << 0;
    // Only the 30 s bound ends the wait for the erase.
    QTest::newRow("erase never confirmed") << "ffff=ferase_all" << erase << "" << false
                                           << ErrorCodes::RESULT_ERASE_ALL_READ_FAILED;
}

void tst_Worker::faults()
{
    QFETCH(QString, fault);
    QFETCH(int, mode);
    QFETCH(QString, extraFile);
    QFETCH(bool, absentPort);
    QFETCH(int, code);

    ChipSimProcess sim;
    QVERIFY(sim.start(1, fault.isEmpty() ? QStringList() : QStringList{ "--fault", "0:" + fault }));
    const QByteArray data = randomImage(4000, 7);
    QList<FileCfg> files = { image("f.bin", data, 0x3000) };
    if (!extraFile.isEmpty())
        files.append(FileCfg{ images.filePath(extraFile), 0x9000 });
    WorkerRig rig;
    QElapsedTimer clock;
    clock.start();
    rig.run(files, absentPort ? images.filePath("ttyNONE") : sim.linkPath(0), 921600,
            UserConfig::DOWNLOAD_MODE_SINGLESHOT, mode);
    if (fault == QLatin1String("silent")) {
        QTest::qWait(300);
        Worker *w = rig.worker;
        QMetaObject::invokeMethod(w, [w] {
            QMetaObject::invokeMethod(w, "slotTransmitStatus", Qt::DirectConnection,
                                      Q_ARG(YmodemFileTransmit::Status, YmodemFileTransmit::STATUS_FINISHED));
        });
    }
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 1, 40000);
    QCOMPARE(rig.results.first(), code);
    if (code == ErrorCodes::RESULT_ERASE_ALL_READ_FAILED)
        QVERIFY(clock.elapsed() >= 29000);
    QTest::qWait(100);
    QCOMPARE(rig.results.size(), 1);

    const QStringList lines = sim.receivedLines(0);
    if (!extraFile.isEmpty() || absentPort)
        QVERIFY(lines.isEmpty());
    else if (mode == Worker::WORK_MODE_ERASE)
        QCOMPARE(lines, QStringList({ "version \r\n", "download \r\n", "ferase_all \r\n" }));
    else if (fault == QLatin1String("silent"))
        QCOMPARE(lines.join(""), QString("version \r\n").repeated(5));
    else if (code == 0)
        QCOMPARE(sim.image(0, 0x3000), data);
    // The re-sent line already goes out at the speed the loader switched to.
    if (fault == QLatin1String("drop=baudrate"))
        QCOMPARE(linesWithBaud(sim).filter("baudrate 921600"),
                 QStringList({ "baudrate 921600\r\n@115200", "baudrate 921600\r\n@921600" }));
}

void tst_Worker::continuousServesChipAfterChip()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(1));
    const QByteArray data = randomImage(2500, 8);
    WorkerRig rig;
    rig.run({ image("c.bin", data, 0x2000) }, sim.linkPath(0), 921600, UserConfig::DOWNLOAD_MODE_CONTINUOUS);

    // After "reboot" the simulator comes back as a fresh chip, as the next board on the line.
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 2, 30000);
    QCOMPARE(rig.results, QList<int>({ 0, 0 }));
    QCOMPARE(sim.receivedLines(0).filter("download ").size(), 2);
    QCOMPARE(sim.image(0, 0x2000), data);

    // An adapter pulled out: one report, calm retries, and production resumes on replug.
    QVERIFY(sim.command(QStringLiteral("unplug 0")));
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 3, 10000);
    QTest::qWait(2500);
    QCOMPARE(rig.results, QList<int>({ 0, 0, ErrorCodes::RESULT_PORT_OPEN_FAILED }));
    QVERIFY(sim.command(QStringLiteral("replug 0")));
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 4, 30000);
    QCOMPARE(rig.results.last(), 0);
}

QTEST_GUILESS_MAIN(tst_Worker)
#include "tst_worker.moc"
