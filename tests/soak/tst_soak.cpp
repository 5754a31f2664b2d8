// A real worker in its thread against a simulated chip with a random fault per run: a run that
// reports 0 has every image byte-identical at its address, no run hangs, and the clean run after
// a faulty one passes. ZDZ_SOAK_RUNS sets the number of runs (default 40), ZDZ_SOAK_SEED the seed.

#include "chipsimprocess.h"
#include "testsupport.h"
#include "userconfig.h"
#include "worker.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

namespace {

constexpr int DEFAULT_RUNS = 40;
constexpr quint32 DEFAULT_SEED = 0x50A4C0DE;
// Far beyond the slowest failure (a loader transfer timing out after a delayed "download").
constexpr int RUN_BOUND_MS = 40000;
// A simulator lives for this many runs, so its transcript stays short to search.
constexpr int RUNS_PER_SIMULATOR = 25;
const QList<quint32> SPEEDS = { 115200, 230400, 460800, 921600, 1500000, 3000000 };

quint32 environmentNumber(const char *name, quint32 fallback)
{
    bool ok = false;
    const quint32 value = qEnvironmentVariable(name).toUInt(&ok, 0);
    return ok && value > 0 ? value : fallback;
}

struct Image { QString path; quint32 addr; QByteArray data; };

} // namespace

// Brings the worker's results into the test's thread, the way a station receives them.
class ResultRelay : public QObject
{
    Q_OBJECT

signals:
    void result(int result);
};

class tst_Soak : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        registerUserConfigMetaType();
        qRegisterMetaType<Worker::ChipCodeVerFlag>("ChipCodeVerFlag");
        QVERIFY(folder.isValid());
        worker = new Worker;
        worker->moveToThread(&thread);
        connect(&thread, &QThread::started, worker, &Worker::slotWorkerInit);
        connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
        connect(worker, &Worker::sigWorkerReportResult, &relay, &ResultRelay::result, Qt::QueuedConnection);
        thread.start();
    }

    void cleanupTestCase()
    {
        thread.quit();
        thread.wait();
    }

    void randomFaults()
    {
        const int runs = static_cast<int>(environmentNumber("ZDZ_SOAK_RUNS", DEFAULT_RUNS));
        const quint32 seed = environmentNumber("ZDZ_SOAK_SEED", DEFAULT_SEED);
        QRandomGenerator random(seed);
        QVERIFY(startSimulator());
        bool previousFaulty = false;
        for (int run = 1; run <= runs; ++run) {
            QVERIFY2(freshChip(&random), "the simulator does not take its commands");
            QList<Image> images;
            int largest = 0;
            for (int i = 1 + random.bounded(4); i > 0; --i) {
                const int size = random.bounded(10) == 0 ? 0 : 1 + random.bounded(12000);
                QVERIFY(addImage(&images, QStringLiteral("%1-%2.bin").arg(run).arg(images.size()), nextAddr, size, &random));
                nextAddr += 0x1000 * (1 + static_cast<quint32>(size) / 0x1000);
                largest = qMax(largest, size);
            }
            // After a faulty run comes a clean one; otherwise a fault most of the time.
            const QString fault = previousFaulty ? QString() : randomFault(&random, largest);
            QVERIFY2(fault.isEmpty() || sim.command("fault 0 " + fault), qPrintable(fault));
            // A result that comes in between runs is a second report of the run before.
            QCoreApplication::processEvents();
            const QString where = QStringLiteral("seed 0x%1 run %2 (%3): ").arg(seed, 0, 16).arg(run).arg(fault);
            QVERIFY2(results.isEmpty(), qPrintable(where + "stray result"));
            const int result = runOnce(images, SPEEDS.at(random.bounded(SPEEDS.size())));
            QString why;
            QVERIFY2(result >= 0, qPrintable(where + "hang"));
            QVERIFY2(result != 0 || imagesArrived(images, &why), qPrintable(where + "false pass: " + why));
            QVERIFY2(!previousFaulty || result == 0, qPrintable(where + "failed after a fault"));
            sim.command("clear 0");
            previousFaulty = !fault.isEmpty();
        }
    }

    // Start pressed again on a board whose second image was cancelled, without a power cycle:
    // its RAM loader still runs and counts the image it took. A pass must still mean every
    // image is on the chip. (A loader counting an image it lacks: tst_worker.)
    void retryOnTheSameBoard()
    {
        QVERIFY(sim.start(1, { "--fault", "0:can=2" }));
        QList<Image> images;
        QRandomGenerator random(7);
        QVERIFY(addImage(&images, "retry-700.bin", 0x1000, 700, &random));
        QVERIFY(addImage(&images, "retry-3000.bin", 0x8000, 3000, &random));
        const int first = runOnce(images, 115200);
        QVERIFY(first > 0);
        const int result = runOnce(images, 115200);
        QString why;
        QVERIFY(result >= 0);
        QVERIFY2(result != 0 || imagesArrived(images, &why), qPrintable("reported 0, but " + why));
    }

private:
    bool startSimulator()
    {
        simulatorRuns = 0;
        nextAddr = 0x1000;
        // Short C prompts and give-up keep the chip's side of a broken transfer brief.
        return sim.start(1, { "--c-interval-ms", "200", "--give-up-ms", "4000" });
    }

    // A fresh chip of a random family on a plugged link, now and then with its RAM loader running.
    bool freshChip(QRandomGenerator *random)
    {
        if ((simulatorRuns >= RUNS_PER_SIMULATOR || !sim.isRunning()) && !startSimulator())
            return false;
        ++simulatorRuns;
        static const QStringList families = { "ZR740A", "ZR740C", "ZR610A" };
        return sim.command("clear 0") && sim.command("set 0 family=" + families.at(random->bounded(families.size())))
            && sim.command(QStringLiteral("set 0 ram=%1").arg(random->bounded(8) == 0 ? 1 : 0))
            && (sim.command("reboot 0") || sim.command("replug 0"));
    }

    QString randomFault(QRandomGenerator *random, int largestImage) const
    {
        static const QStringList answered = { "version", "download", "baudrate", "startaddr", "upgrade", "filecount" };
        // B: a block of the largest image, so block faults mostly hit a transfer; A: an answer;
        // D: a delay. Two empty entries leave some runs without a fault.
        static const QStringList faults = { "nak=B",   "can=B",     "abort-a=B", "silent",       "unknown-on-c",
                                            "ffff=startaddr", "drop=A", "drop=A", "dropall=A", "delay=D",
                                            "disconnect=B", "disconnect=B", "", "" };
        const int block = 1 + random->bounded(qMax(1, (largestImage + 1023) / 1024));
        QString fault = faults.at(random->bounded(faults.size()));
        fault.replace('B', QString::number(block));
        if (fault.endsWith('A'))
            fault.replace(fault.size() - 1, 1, answered.at(random->bounded(answered.size())));
        else if (fault.endsWith('D'))
            fault.replace('D', QString::number(20 + random->bounded(600)));
        return fault;
    }

    // Each run's images go at fresh addresses, so one left over from before never passes.
    bool addImage(QList<Image> *images, const QString &name, quint32 addr, int size, QRandomGenerator *random)
    {
        QByteArray data(size, Qt::Uninitialized);
        for (char &c : data)
            c = static_cast<char>(random->bounded(256));
        images->append({ folder.filePath(name), addr, data });
        return writeFile(images->last().path, data);
    }

    // Queued, as a station reaches its worker; -1 when no result came within the bound.
    int runOnce(const QList<Image> &images, quint32 baudrate)
    {
        QList<FileCfg> files;
        for (const Image &image : images)
            files.append(FileCfg{ image.path, image.addr });
        UserConfig config;
        config.setFileList(files);
        config.setBaudrate(baudrate);
        config.setDownloadMode(UserConfig::DOWNLOAD_MODE_SINGLESHOT);
        QCoreApplication::processEvents();
        results.clear();
        QMetaObject::invokeMethod(worker, "slotSetUserConfig", Qt::QueuedConnection, Q_ARG(UserConfig, config));
        QMetaObject::invokeMethod(worker, "slotSetWorkerPortName", Qt::QueuedConnection, Q_ARG(QString, sim.linkPath(0)));
        QMetaObject::invokeMethod(worker, "slotSetWorkerMode", Qt::QueuedConnection, Q_ARG(int, Worker::WORK_MODE_DOWNLOAD));
        QMetaObject::invokeMethod(worker, "slotWorkerStart", Qt::QueuedConnection);
        return results.wait(RUN_BOUND_MS) ? results.takeFirst().at(0).toInt() : -1;
    }

    // An empty image must have arrived as well, not merely be absent.
    bool imagesArrived(const QList<Image> &images, QString *why) const
    {
        QMap<quint32, QString> stored;
        for (const QJsonObject &event : sim.transcript(0))
            if (event.value("ev").toString() == "image" && event.value("kind").toString() == "image")
                stored.insert(static_cast<quint32>(event.value("addr").toDouble()), event.value("path").toString());
        for (const Image &image : images) {
            const bool found = stored.contains(image.addr);
            const QByteArray data = found ? readFile(sim.outDir() + '/' + stored.value(image.addr)) : QByteArray();
            if (!found || data != image.data) {
                *why = QStringLiteral("image at 0x%1 %2").arg(image.addr, 0, 16).arg(found ? "differs" : "missing");
                return false;
            }
        }
        return true;
    }

    QTemporaryDir folder;
    ChipSimProcess sim;
    int simulatorRuns = 0;
    quint32 nextAddr = 0x1000;
    QThread thread;
    Worker *worker = nullptr;
    ResultRelay relay;
    QSignalSpy results{ &relay, &ResultRelay::result };
};

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
