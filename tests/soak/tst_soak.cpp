// Many download runs of a real worker in its own thread against a simulated chip that
// misbehaves in a way chosen at random for each run. Whatever happens on the line:
// - a run that reports 0 has every configured image byte-identical at its address;
// - every run ends with one result within its bound;
// - the clean run that follows each faulty one passes.
// ZDZ_SOAK_RUNS sets the number of worker runs (default 40), ZDZ_SOAK_SEED the seed.

#include "chipsimprocess.h"
#include "errorcodes.h"
#include "userconfig.h"
#include "worker.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

namespace {

constexpr int DEFAULT_RUNS = 40;
constexpr quint32 DEFAULT_SEED = 0x50A4C0DE;
// Far beyond the slowest failure a worker may take (a loader transfer that times out after
// a delayed "download" answer stays well under 10 s).
constexpr int RUN_BOUND_MS = 40000;
// A simulator lives for this many runs, so its transcript stays short to search.
constexpr int RUNS_PER_SIMULATOR = 25;

const QStringList FAMILIES = { QStringLiteral("ZR740A"), QStringLiteral("ZR740C"), QStringLiteral("ZR610A") };
const QList<quint32> SPEEDS = { 115200, 230400, 460800, 921600, 1500000, 3000000 };

int environmentNumber(const char *name, int fallback)
{
    bool ok = false;
    const int value = qEnvironmentVariable(name).toInt(&ok, 0);
    return ok && value > 0 ? value : fallback;
}

} // namespace

// Collects the worker's results in the test's thread, the way a station receives them.
class ResultInbox : public QObject
{
    Q_OBJECT

public:
    QList<int> results;

    // Waits until a result is in or the bound has passed; false on the bound.
    bool wait(int ms)
    {
        if (!results.isEmpty())
            return true;
        QEventLoop loop;
        QTimer bound;
        bound.setSingleShot(true);
        connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
        connect(this, &ResultInbox::arrived, &loop, &QEventLoop::quit);
        bound.start(ms);
        loop.exec();
        return !results.isEmpty();
    }

signals:
    void arrived();

public slots:
    void take(int result)
    {
        results << result;
        emit arrived();
    }
};

class tst_Soak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void randomFaults();
    void retryOnTheSameBoard_data();
    void retryOnTheSameBoard();

private:
    struct Image {
        QString path;
        quint32 addr;
        QByteArray data;
    };

    bool startSimulator();
    bool freshChip(QRandomGenerator *random);
    QString randomFault(QRandomGenerator *random, int largestImage) const;
    QList<Image> makeImages(QRandomGenerator *random, int run);
    void startRun(const QList<Image> &images, quint32 baudrate);
    int runOnce(const QList<Image> &images);
    bool imagesArrived(const QList<Image> &images, QString *why) const;

    QTemporaryDir folder;
    ChipSimProcess sim;
    int simulatorRuns = 0;
    quint32 nextAddr = 0x1000;
    QThread thread;
    Worker *worker = nullptr;
    ResultInbox inbox;
};

void tst_Soak::initTestCase()
{
    registerUserConfigMetaType();
    qRegisterMetaType<Worker::ChipCodeVerFlag>("ChipCodeVerFlag");
    QVERIFY(folder.isValid());

    worker = new Worker;
    worker->moveToThread(&thread);
    connect(&thread, &QThread::started, worker, &Worker::slotWorkerInit);
    connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    connect(worker, &Worker::sigWorkerReportResult, &inbox, &ResultInbox::take, Qt::QueuedConnection);
    thread.start();
}

void tst_Soak::cleanupTestCase()
{
    thread.quit();
    thread.wait();
    sim.stop();
}

bool tst_Soak::startSimulator()
{
    simulatorRuns = 0;
    nextAddr = 0x1000;
    // Short C prompts and give-up keep the chip's side of a broken transfer brief.
    return sim.start(1, { QStringLiteral("--c-interval-ms"), QStringLiteral("200"), QStringLiteral("--give-up-ms"),
                          QStringLiteral("4000") });
}

// A chip of a random family, fresh in its ROM loader (now and then with its RAM loader
// already running), on a plugged link.
bool tst_Soak::freshChip(QRandomGenerator *random)
{
    if (simulatorRuns++ >= RUNS_PER_SIMULATOR || !sim.isRunning()) {
        if (!startSimulator())
            return false;
        simulatorRuns = 1;
    }
    const QString family = FAMILIES.at(random->bounded(FAMILIES.size()));
    const bool ram = random->bounded(8) == 0;
    if (!sim.command(QStringLiteral("clear 0")) || !sim.command(QStringLiteral("set 0 family=") + family)
        || !sim.command(QStringLiteral("set 0 ram=%1").arg(ram ? 1 : 0)))
        return false;
    return sim.command(QStringLiteral("reboot 0")) || sim.command(QStringLiteral("replug 0"));
}

QString tst_Soak::randomFault(QRandomGenerator *random, int largestImage) const
{
    static const QStringList answered = { QStringLiteral("version"),  QStringLiteral("download"),
                                          QStringLiteral("baudrate"), QStringLiteral("startaddr"),
                                          QStringLiteral("upgrade"),  QStringLiteral("filecount") };
    // Blocks of the largest image, so block faults mostly hit a transfer.
    const int blocks = qMax(1, (largestImage + 1023) / 1024);
    const int block = 1 + random->bounded(blocks);
    switch (random->bounded(14)) {
    case 0:
        return QStringLiteral("nak=%1").arg(block);
    case 1:
        return QStringLiteral("can=%1").arg(block);
    case 2:
        return QStringLiteral("abort-a=%1").arg(block);
    case 3:
        return QStringLiteral("silent");
    case 4:
        return QStringLiteral("unknown-on-c");
    case 5:
        return QStringLiteral("ffff=startaddr");
    case 6:
    case 7:
        return QStringLiteral("drop=") + answered.at(random->bounded(answered.size()));
    case 8:
        return QStringLiteral("dropall=") + answered.at(random->bounded(answered.size()));
    case 9:
        return QStringLiteral("delay=%1").arg(20 + random->bounded(600));
    case 10:
    case 11:
        return QStringLiteral("disconnect=%1").arg(block);
    default:
        return QString();
    }
}

// One to four images of random sizes (an empty one now and then), each at an address no
// earlier run used, so an image left over from before can never pass for this run's.
QList<tst_Soak::Image> tst_Soak::makeImages(QRandomGenerator *random, int run)
{
    QList<Image> images;
    const int count = 1 + random->bounded(4);
    for (int i = 0; i < count; ++i) {
        const int size = random->bounded(10) == 0 ? 0 : 1 + random->bounded(12000);
        QByteArray data(size, Qt::Uninitialized);
        for (char &c : data)
            c = static_cast<char>(random->bounded(256));
        const QString path = folder.filePath(QStringLiteral("run%1-image%2.bin").arg(run).arg(i));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
            return {};
        images.append({ path, nextAddr, data });
        nextAddr += 0x1000 * (1 + static_cast<quint32>(size) / 0x1000);
    }
    return images;
}

void tst_Soak::startRun(const QList<Image> &images, quint32 baudrate)
{
    QList<FileCfg> files;
    for (const Image &image : images)
        files.append(FileCfg{ image.path, image.addr });
    UserConfig config;
    config.setFileList(files);
    config.setBaudrate(baudrate);
    config.setDownloadMode(UserConfig::DOWNLOAD_MODE_SINGLESHOT);

    // Queued, as a station reaches its worker.
    QMetaObject::invokeMethod(worker, "slotSetUserConfig", Qt::QueuedConnection, Q_ARG(UserConfig, config));
    QMetaObject::invokeMethod(worker, "slotSetWorkerPortName", Qt::QueuedConnection,
                              Q_ARG(QString, sim.linkPath(0)));
    QMetaObject::invokeMethod(worker, "slotSetWorkerMode", Qt::QueuedConnection,
                              Q_ARG(int, Worker::WORK_MODE_DOWNLOAD));
    QMetaObject::invokeMethod(worker, "slotWorkerStart", Qt::QueuedConnection);
}

int tst_Soak::runOnce(const QList<Image> &images)
{
    QCoreApplication::processEvents();
    inbox.results.clear();
    startRun(images, 115200);
    return inbox.wait(RUN_BOUND_MS) ? inbox.results.takeFirst() : -1;
}

// Looks for each image among the chip's stored images by its address; an empty image must
// have arrived as well, not merely be absent.
bool tst_Soak::imagesArrived(const QList<Image> &images, QString *why) const
{
    QMap<quint32, QString> stored;
    for (const QJsonObject &event : sim.transcript(0)) {
        if (event.value(QStringLiteral("ev")).toString() == QLatin1String("image")
            && event.value(QStringLiteral("kind")).toString() == QLatin1String("image"))
            stored.insert(static_cast<quint32>(event.value(QStringLiteral("addr")).toDouble()),
                          event.value(QStringLiteral("path")).toString());
    }
    for (const Image &image : images) {
        const QString addr = QStringLiteral("0x%1").arg(image.addr, 8, 16, QLatin1Char('0'));
        if (!stored.contains(image.addr)) {
            *why = QStringLiteral("no image at %1").arg(addr);
            return false;
        }
        QFile file(QDir(sim.outDir()).filePath(stored.value(image.addr)));
        const QByteArray data = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        if (data != image.data) {
            *why = QStringLiteral("image at %1: %2 bytes on the chip differ from the %3 sent")
                       .arg(addr)
                       .arg(data.size())
                       .arg(image.data.size());
            return false;
        }
    }
    return true;
}

void tst_Soak::randomFaults()
{
    const int runs = environmentNumber("ZDZ_SOAK_RUNS", DEFAULT_RUNS);
    bool seedGiven = false;
    const quint32 givenSeed = qEnvironmentVariable("ZDZ_SOAK_SEED").toUInt(&seedGiven, 0);
    const quint32 seed = seedGiven ? givenSeed : DEFAULT_SEED;
    QRandomGenerator random(seed);
    qInfo("soak: seed 0x%08X, %d runs", seed, runs);
    QVERIFY(startSimulator());

    int done = 0;
    int passes = 0;
    int fails = 0;
    int falsePasses = 0;
    int hangs = 0;
    int strayResults = 0;
    int failedRecoveries = 0;
    bool previousFaulty = false;
    QElapsedTimer clock;
    clock.start();

    while (done < runs) {
        QVERIFY2(freshChip(&random), "the simulator does not take its commands");
        QList<Image> images = makeImages(&random, done);
        QVERIFY(!images.isEmpty());
        int largest = 0;
        for (const Image &image : qAsConst(images))
            largest = qMax(largest, image.data.size());

        // After a faulty run comes a clean one; otherwise a fault most of the time.
        const QString fault = previousFaulty ? QString() : randomFault(&random, largest);
        if (!fault.isEmpty())
            QVERIFY2(sim.command(QStringLiteral("fault 0 ") + fault), qPrintable(fault));
        const quint32 baudrate = SPEEDS.at(random.bounded(SPEEDS.size()));

        // A result that comes in between runs is a second report of the run before.
        QCoreApplication::processEvents();
        strayResults += inbox.results.size();
        inbox.results.clear();

        startRun(images, baudrate);
        const bool ended = inbox.wait(RUN_BOUND_MS);
        ++done;
        const QString what = fault.isEmpty() ? QStringLiteral("clean") : fault;
        if (!ended) {
            ++hangs;
            qWarning("run %d (%s): no result within %d ms", done, qPrintable(what), RUN_BOUND_MS);
        } else {
            const int result = inbox.results.takeFirst();
            QString why;
            if (result != ErrorCodes::RESULT_SUCCESS) {
                ++fails;
            } else if (imagesArrived(images, &why)) {
                ++passes;
            } else {
                ++falsePasses;
                qWarning("run %d (%s): false pass, %s", done, qPrintable(what), qPrintable(why));
            }
            if (previousFaulty && result != ErrorCodes::RESULT_SUCCESS) {
                ++failedRecoveries;
                qWarning("run %d: clean run after a fault ended with %d", done, result);
            }
        }
        sim.command(QStringLiteral("clear 0"));
        previousFaulty = !fault.isEmpty();
    }

    qInfo("soak: seed 0x%08X, runs %d, passes %d, fails %d, false passes %d, hangs %d, "
          "failed recoveries %d, stray results %d, %lld s",
          seed, done, passes, fails, falsePasses, hangs, failedRecoveries, strayResults, clock.elapsed() / 1000);
    QCOMPARE(falsePasses, 0);
    QCOMPARE(hangs, 0);
    QCOMPARE(failedRecoveries, 0);
    QCOMPARE(strayResults, 0);
}

// An operator presses Start again on a board whose run failed, without a power cycle: its
// RAM loader is still running and still counts the images it took in the failed run. Or a
// loader comes up counting an image it does not hold. Either way a pass must mean that
// every configured image is on the chip.
void tst_Soak::retryOnTheSameBoard_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<bool>("firstRunFails");

    // The second image is cancelled at its second block; the first one is complete.
    QTest::newRow("retry after a cancelled second image") << QStringList{ "--fault", "0:can=2" } << true;
    QTest::newRow("loader counting an image it does not hold")
        << QStringList{ "--set", "0:filecount-start=1" } << false;
}

void tst_Soak::retryOnTheSameBoard()
{
    QFETCH(QStringList, simArgs);
    QFETCH(bool, firstRunFails);

    QVERIFY(sim.start(1, simArgs));
    // One block, then three.
    QList<Image> images;
    QRandomGenerator random(7);
    for (const int size : { 700, 3000 }) {
        QByteArray data(size, Qt::Uninitialized);
        for (char &c : data)
            c = static_cast<char>(random.bounded(256));
        const QString path = folder.filePath(QStringLiteral("retry-%1.bin").arg(size));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == size);
        images.append({ path, images.isEmpty() ? 0x1000u : 0x8000u, data });
    }

    const int first = runOnce(images);
    QVERIFY(first >= 0);
    if (firstRunFails) {
        QVERIFY(first != ErrorCodes::RESULT_SUCCESS);
        const int retry = runOnce(images);
        QVERIFY(retry >= 0);
        if (retry != ErrorCodes::RESULT_SUCCESS)
            return;
    } else if (first != ErrorCodes::RESULT_SUCCESS) {
        return;
    }
    QString why;
    QVERIFY2(imagesArrived(images, &why), qPrintable(QStringLiteral("reported 0, but ") + why));
}

int main(int argc, char *argv[])
{
    // The test's watchdog grows with the runs asked for, each bounded by RUN_BOUND_MS.
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT")) {
        const qint64 runs = environmentNumber("ZDZ_SOAK_RUNS", DEFAULT_RUNS);
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(qMax<qint64>(300000, runs * RUN_BOUND_MS + 60000)));
    }
    QCoreApplication app(argc, argv);
    tst_Soak test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_soak.moc"
