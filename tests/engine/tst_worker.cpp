#include "chipsimprocess.h"
#include "errorcodes.h"
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

    void run(const UserConfig &config, const QString &port, int mode = Worker::WORK_MODE_DOWNLOAD)
    {
        Worker *w = worker;
        const UserConfig copy(config);
        QMetaObject::invokeMethod(w, [w, copy, port, mode] {
            w->slotSetUserConfig(copy);
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
    void oneFileFollowsTheDialogue();
    void loaderCountDecidesWhatIsLeft();
    void romOrRamLoader_data();
    void romOrRamLoader();
    void silentChip_data();
    void silentChip();
    void faults_data();
    void faults();
    void eraseNeverConfirmedEndsAtTheBound();
    void continuousServesChipAfterChip();

private:
    UserConfig config(const QList<FileCfg> &files, quint32 baudrate = 921600,
                      quint32 mode = UserConfig::DOWNLOAD_MODE_SINGLESHOT) const;
    QString writeImage(const QString &name, const QByteArray &data);

    QTemporaryDir images;
};

void tst_Worker::initTestCase()
{
    registerUserConfigMetaType();
    registerWorkerMetaTypes();
    QVERIFY(images.isValid());
}

UserConfig tst_Worker::config(const QList<FileCfg> &files, quint32 baudrate, quint32 mode) const
{
    UserConfig cfg;
    cfg.setFileList(files);
    cfg.setBaudrate(baudrate);
    cfg.setDownloadMode(mode);
    return cfg;
}

QString tst_Worker::writeImage(const QString &name, const QByteArray &data)
{
    const QString path = images.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return QString();
    return path;
}

void tst_Worker::oneFileFollowsTheDialogue()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(1, { QStringLiteral("--families"), QStringLiteral("ZR740A") }));
    const QByteArray image = randomImage(20000, 1);
    const QString path = writeImage(QStringLiteral("app.bin"), image);

    WorkerRig rig;
    rig.run(config({ FileCfg{ path, 0x1000 } }), sim.linkPath(0));
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 1, 20000);
    QCOMPARE(rig.results.first(), ErrorCodes::RESULT_SUCCESS);
    QCOMPARE(rig.ready, QList<Worker::ChipCodeVerFlag>{ Worker::CodeInROM_ZR740A });

    const QStringList expected = {
        "version \r\n",         "download \r\n",           "\r\nfilecount\r\n",
        "baudrate 921600\r\n",  "\r\nstartaddr 0x00001000\r\n", "upgrade \r\n",
        "baudrate 115200\r\n",  "\r\nfilecount\r\n",       "\r\ndownloadsucess\r\n",
        "reboot \r\n",
    };
    // The result is reported as soon as "reboot" is written; give the chip time to read it.
    QTRY_COMPARE(sim.receivedLines(0).size(), expected.size());
    QCOMPARE(sim.receivedLines(0), expected);
    QCOMPARE(sim.image(0, 0x1000), image);

    QVERIFY(!rig.progress.isEmpty());
    for (const auto &report : qAsConst(rig.progress))
        QCOMPARE(report.first, 1);
    QCOMPARE(rig.progress.last().second, 100);

    // The host follows the loader's line speed: the image at the configured speed, the
    // file count back at 115200.
    QMap<QString, int> baudOfLine;
    int imageBaud = 0;
    for (const QJsonObject &event : sim.transcript(0)) {
        const QString ev = event.value("ev").toString();
        if (ev == QLatin1String("rx"))
            baudOfLine.insert(event.value("line").toString(), event.value("baud").toInt());
        else if (ev == QLatin1String("image") && event.value("kind").toString() == QLatin1String("image"))
            imageBaud = event.value("baud").toInt();
    }
    QCOMPARE(baudOfLine.value("\r\nstartaddr 0x00001000\r\n"), 921600);
    QCOMPARE(baudOfLine.value("upgrade \r\n"), 921600);
    QCOMPARE(imageBaud, 921600);
    QCOMPARE(baudOfLine.value("\r\nfilecount\r\n"), 115200);
    QCOMPARE(baudOfLine.value("reboot \r\n"), 115200);
}

// The file sent is chosen from the start of the list; the loader's count only says how
// many more follow.
void tst_Worker::loaderCountDecidesWhatIsLeft()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(1, { QStringLiteral("--set"), QStringLiteral("0:filecount-start=1") }));
    const QByteArray a = randomImage(3000, 2);
    const QByteArray b = randomImage(5000, 3);
    const QByteArray c = randomImage(700, 4);
    const QList<FileCfg> files = { FileCfg{ writeImage("a.bin", a), 0x1000 },
                                   FileCfg{ writeImage("b.bin", b), 0x20000 },
                                   FileCfg{ writeImage("c.bin", c), 0x40000 } };
    WorkerRig rig;
    rig.run(config(files, 460800), sim.linkPath(0));
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 1, 20000);
    QCOMPARE(rig.results.first(), 0);
    QCOMPARE(sim.image(0, 0x1000), a);
    QCOMPARE(sim.image(0, 0x20000), b);
    QVERIFY(sim.image(0, 0x40000).isEmpty());
    QCOMPARE(sim.receivedLines(0).filter("upgrade").size(), 2);
    QCOMPARE(rig.progress.first().first, 2);
    QCOMPARE(rig.progress.last(), qMakePair(3, 100));
}

void tst_Worker::romOrRamLoader_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QList<Worker::ChipCodeVerFlag>>("ready");
    QTest::addColumn<QString>("downloadLine");

    QTest::newRow("ZR740C ROM") << QStringList{ "--families", "ZR740C" }
                                << QList<Worker::ChipCodeVerFlag>{ Worker::CodeInROM_ZR740C }
                                << "download [rambin][0x20000000] [14176]\r\n";
    QTest::newRow("ZR610A ROM") << QStringList{ "--families", "ZR610A" }
                                << QList<Worker::ChipCodeVerFlag>{ Worker::CodeInROM_ZR610A }
                                << "download [rambin] [0x20008000] [11372]\r\n";
    QTest::newRow("RAM loader already running")
        << QStringList{ "--set", "0:ram=1" } << QList<Worker::ChipCodeVerFlag>() << QString();
}

void tst_Worker::romOrRamLoader()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QList<Worker::ChipCodeVerFlag>, ready);
    QFETCH(QString, downloadLine);

    ChipSimProcess sim;
    QVERIFY(sim.start(1, simArgs));
    const QByteArray image = randomImage(1500, 5);
    WorkerRig rig;
    rig.run(config({ FileCfg{ writeImage("r.bin", image), 0x8000 } }, 115200), sim.linkPath(0));
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 1, 20000);
    QCOMPARE(rig.results.first(), 0);
    QCOMPARE(rig.ready, ready);
    const QStringList lines = sim.receivedLines(0);
    QCOMPARE(lines.first(), QStringLiteral("version \r\n"));
    if (downloadLine.isEmpty())
        QVERIFY(lines.filter("download ").isEmpty());
    else
        QCOMPARE(lines.at(1), downloadLine);
    QCOMPARE(sim.image(0, 0x8000), image);
}

void tst_Worker::silentChip_data()
{
    QTest::addColumn<bool>("continuous");
    QTest::addColumn<bool>("strayFinish");

    QTest::newRow("single-shot") << false << false;
    QTest::newRow("single-shot, transfer status outside a transfer") << false << true;
    QTest::newRow("continuous") << true << false;
}

void tst_Worker::silentChip()
{
    QFETCH(bool, continuous);
    QFETCH(bool, strayFinish);

    ChipSimProcess sim;
    QVERIFY(sim.start(1, { QStringLiteral("--fault"), QStringLiteral("0:silent") }));
    const QString path = writeImage("s.bin", randomImage(100, 6));
    WorkerRig rig;
    rig.run(config({ FileCfg{ path, 0x1000 } }, 115200,
                   continuous ? UserConfig::DOWNLOAD_MODE_CONTINUOUS : UserConfig::DOWNLOAD_MODE_SINGLESHOT),
            sim.linkPath(0));
    if (strayFinish) {
        QTest::qWait(300);
        Worker *w = rig.worker;
        QMetaObject::invokeMethod(w, [w] {
            QMetaObject::invokeMethod(w, "slotTransmitStatus", Qt::DirectConnection,
                                      Q_ARG(YmodemFileTransmit::Status, YmodemFileTransmit::STATUS_FINISHED));
        });
    }
    if (continuous) {
        // No chip answers: the worker keeps polling without a report.
        QTRY_VERIFY_WITH_TIMEOUT(sim.receivedLines(0).size() > 6, 5000);
        QVERIFY(rig.results.isEmpty());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 1, 5000);
    QCOMPARE(rig.results.first(), ErrorCodes::RESULT_VERSION_READ_FAILED);
    QCOMPARE(sim.receivedLines(0), QStringList({ "version \r\n", "version \r\n", "version \r\n", "version \r\n", "version \r\n" }));
}

void tst_Worker::faults_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("missingFile");
    QTest::addColumn<bool>("absentPort");
    QTest::addColumn<int>("code");

    const int download = Worker::WORK_MODE_DOWNLOAD;
    const int erase = Worker::WORK_MODE_ERASE;
    QTest::newRow("NAK of a block is recovered") << QStringList{ "--fault", "0:nak=2" } << download << false
                                                 << false << 0;
    QTest::newRow("baudrate answer lost") << QStringList{ "--fault", "0:drop=baudrate" } << download << false
                                          << false << 0;
    QTest::newRow("startaddr refused") << QStringList{ "--fault", "0:ffff=startaddr" } << download << false << false
                                       << ErrorCodes::RESULT_STARTADDR_READ_FAILED;
    QTest::newRow("CAN during the image") << QStringList{ "--fault", "0:can=2" } << download << false << false
                                          << ErrorCodes::RESULT_FILE_SEND_FAILED;
    QTest::newRow("A during the image") << QStringList{ "--fault", "0:abort-a=1" } << download << false << false
                                        << ErrorCodes::RESULT_FILE_SEND_FAILED;
    QTest::newRow("unknown cmd before the receiver's C") << QStringList{ "--fault", "0:unknown-on-c" } << download
                                                         << false << false << 0;
    QTest::newRow("missing file") << QStringList() << download << true << false
                                  << ErrorCodes::RESULT_ARG_FILENAME_INVALID;
    QTest::newRow("missing file, erase") << QStringList() << erase << true << false
                                         << ErrorCodes::RESULT_ARG_FILENAME_INVALID;
    QTest::newRow("absent port") << QStringList() << download << false << true << ErrorCodes::RESULT_PORT_OPEN_FAILED;
    QTest::newRow("erase on a ROM chip") << QStringList() << erase << false << false << 0;
}

void tst_Worker::faults()
{
    QFETCH(QStringList, simArgs);
    QFETCH(int, mode);
    QFETCH(bool, missingFile);
    QFETCH(bool, absentPort);
    QFETCH(int, code);

    ChipSimProcess sim;
    QVERIFY(sim.start(1, simArgs));
    const QByteArray image = randomImage(4000, 7);
    QList<FileCfg> files = { FileCfg{ writeImage("f.bin", image), 0x3000 } };
    if (missingFile)
        files.append(FileCfg{ images.filePath("gone.bin"), 0x9000 });
    const QString port = absentPort ? images.filePath("ttyNONE") : sim.linkPath(0);

    WorkerRig rig;
    rig.run(config(files), port, mode);
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 1, 20000);
    QCOMPARE(rig.results.first(), code);
    QTest::qWait(100);
    QCOMPARE(rig.results.size(), 1);

    const QStringList lines = sim.receivedLines(0);
    if (missingFile || absentPort) {
        QVERIFY(lines.isEmpty());
        return;
    }
    if (mode == Worker::WORK_MODE_ERASE) {
        QCOMPARE(lines, QStringList({ "version \r\n", "download \r\n", "ferase_all \r\n" }));
        return;
    }
    if (code == 0)
        QCOMPARE(sim.image(0, 0x3000), image);
    if (QTest::currentDataTag() == QLatin1String("baudrate answer lost")) {
        // The re-sent line already goes out at the speed the loader switched to.
        QList<int> bauds;
        for (const QJsonObject &event : sim.transcript(0)) {
            if (event.value("ev").toString() == QLatin1String("rx")
                && event.value("line").toString() == QLatin1String("baudrate 921600\r\n"))
                bauds << event.value("baud").toInt();
        }
        QCOMPARE(bauds, QList<int>({ 115200, 921600 }));
    }
}

void tst_Worker::eraseNeverConfirmedEndsAtTheBound()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(1, { QStringLiteral("--fault"), QStringLiteral("0:ffff=ferase_all") }));
    WorkerRig rig;
    QElapsedTimer clock;
    clock.start();
    rig.run(config({ FileCfg{ writeImage("e.bin", "x"), 0 } }), sim.linkPath(0), Worker::WORK_MODE_ERASE);
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 1, 40000);
    QCOMPARE(rig.results.first(), ErrorCodes::RESULT_ERASE_ALL_READ_FAILED);
    QVERIFY(clock.elapsed() >= 29000);
}

void tst_Worker::continuousServesChipAfterChip()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(1));
    const QByteArray image = randomImage(2500, 8);
    WorkerRig rig;
    rig.run(config({ FileCfg{ writeImage("c.bin", image), 0x2000 } }, 921600,
                   UserConfig::DOWNLOAD_MODE_CONTINUOUS),
            sim.linkPath(0));

    // After "reboot" the simulator comes back as a fresh chip, as the next board on the line.
    QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 2, 30000);
    QCOMPARE(rig.results, QList<int>({ 0, 0 }));
    QCOMPARE(sim.receivedLines(0).filter("download ").size(), 2);
    QCOMPARE(sim.image(0, 0x2000), image);

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
