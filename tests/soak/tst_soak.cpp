// A real worker in its thread against a simulated chip with a random fault per run: a run that
// reports 0 has every image byte-identical at its address, no run hangs, and the clean run after
// a faulty one passes. ZDZ_SOAK_RUNS sets the number of runs (default 40), ZDZ_SOAK_SEED the seed.

#include "chipsimprocess.h"
#include "workerrig.h"

#include <QJsonObject>
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

} // namespace

class tst_Soak : public QObject
{
    Q_OBJECT

private slots:
    void randomFaults()
    {
        const int runs = static_cast<int>(environmentNumber("ZDZ_SOAK_RUNS", DEFAULT_RUNS));
        const quint32 seed = environmentNumber("ZDZ_SOAK_SEED", DEFAULT_SEED);
        QRandomGenerator random(seed);
        quint32 nextAddr = 0x1000;
        bool previousFaulty = false;
        int passes = 0;
        for (int run = 1; run <= runs; ++run) {
            QVERIFY2(freshChip(&random, run), "the simulator does not take its commands");
            // Each run's images go at fresh addresses, so one left over from before never passes.
            QList<FileCfg> files;
            int largest = 0;
            for (int i = 1 + random.bounded(4); i > 0; --i) {
                const int size = random.bounded(10) == 0 ? 0 : 1 + random.bounded(12000);
                files << image(QStringLiteral("%1-%2.bin").arg(run).arg(files.size()), size, nextAddr);
                nextAddr += 0x1000 * (1 + static_cast<quint32>(size) / 0x1000);
                largest = qMax(largest, size);
            }
            // After a faulty run comes a clean one; otherwise a fault most of the time.
            const QString fault = previousFaulty ? QString() : randomFault(&random, largest);
            QVERIFY2(fault.isEmpty() || sim.command("fault 0 " + fault), qPrintable(fault));
            const QString where = QStringLiteral("seed 0x%1 run %2 (%3): ").arg(seed, 0, 16).arg(run).arg(fault);
            const int result = runOnce(files, SPEEDS.at(random.bounded(SPEEDS.size())));
            QString why;
            QVERIFY2(result >= 0, qPrintable(where + (result == -1 ? "hang" : "stray result")));
            QVERIFY2(result != 0 || imagesArrived(files, &why), qPrintable(where + "false pass: " + why));
            QVERIFY2(!previousFaulty || result == 0, qPrintable(where + "failed after a fault"));
            sim.command("clear 0");
            previousFaulty = !fault.isEmpty();
            passes += result == 0;
        }
        // Reaching here means no false pass, no hang and no failed recovery in any run.
        qInfo("soak: %d runs, %d passes, %d fails, 0 false passes, 0 hangs, seed 0x%x", runs, passes, runs - passes, seed);
    }

    // Start pressed again on a board whose second image was cancelled, without a power cycle:
    // its RAM loader still runs and counts the image it took. A pass must still mean every
    // image is on the chip. (A loader counting an image it lacks: tst_worker.)
    void retryOnTheSameBoard()
    {
        QVERIFY(sim.start(1, { "--fault", "0:can=2" }));
        const QList<FileCfg> files{ image("retry-700.bin", 700, 0x1000), image("retry-3000.bin", 3000, 0x8000) };
        QVERIFY(runOnce(files, 115200) > 0);
        const int result = runOnce(files, 115200);
        QString why;
        QVERIFY(result >= 0);
        QVERIFY2(result != 0 || imagesArrived(files, &why), qPrintable("reported 0, but " + why));
    }

private:
    // A fresh chip of a random family on a plugged link, now and then with its RAM loader running.
    // Short C prompts and give-up keep the chip's side of a broken transfer brief.
    bool freshChip(QRandomGenerator *random, int run)
    {
        if ((run % RUNS_PER_SIMULATOR == 1 || !sim.isRunning())
            && !sim.start(1, { "--c-interval-ms", "200", "--give-up-ms", "4000" }))
            return false;
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

    // Queued, as a station reaches its worker; -1 when no result came within the bound, -2 when
    // one came in between runs (a second report of the run before).
    int runOnce(const QList<FileCfg> &files, quint32 baudrate)
    {
        QCoreApplication::processEvents();
        if (rig.results.size() != reported)
            return -2;
        rig.run(files, sim.linkPath(0), baudrate);
        return QTest::qWaitFor([&] { return rig.results.size() > reported; }, RUN_BOUND_MS) ? rig.results.at(reported++) : -1;
    }

    // An empty image must have arrived as well, not merely be absent.
    bool imagesArrived(const QList<FileCfg> &files, QString *why) const
    {
        QMap<quint32, QString> stored;
        for (const QJsonObject &event : sim.transcript(0))
            if (event.value("ev").toString() == "image" && event.value("kind").toString() == "image")
                stored.insert(static_cast<quint32>(event.value("addr").toDouble()), event.value("path").toString());
        for (const FileCfg &file : files) {
            const bool found = stored.contains(file.startAddr);
            if (!found || readFile(sim.outDir() + '/' + stored.value(file.startAddr)) != readFile(file.filePath)) {
                *why = QStringLiteral("image at 0x%1 %2").arg(file.startAddr, 0, 16).arg(found ? "differs" : "missing");
                return false;
            }
        }
        return true;
    }

    ChipSimProcess sim;
    WorkerRig rig;
    int reported = 0;
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
