// A worker against a chip with a random fault per run: a pass has every image at its address, no run hangs, and
// the clean run after a faulty one passes. ZDZ_SOAK_RUNS sets the number of runs (default 40), ZDZ_SOAK_SEED the seed.

#include "chipsimprocess.h"
#include "workerrig.h"

#include <QtTest>

namespace {

constexpr int DEFAULT_RUNS = 40;
// Far beyond the slowest failure (a loader transfer timing out after a delayed "download").
constexpr int RUN_BOUND_MS = 40000;
// A simulator lives for this many runs, so its transcript stays short to search.
constexpr int RUNS_PER_SIMULATOR = 25;
const QList<quint32> SPEEDS = { 115200, 230400, 460800, 921600, 1500000, 3000000 };

quint32 environmentNumber(const char *name, quint32 fallback)
{
    const quint32 value = qEnvironmentVariable(name).toUInt(nullptr, 0);
    return value > 0 ? value : fallback;
}

} // namespace

class tst_Soak : public QObject
{
    Q_OBJECT

private slots:
    void randomFaults()
    {
        const int runs = static_cast<int>(environmentNumber("ZDZ_SOAK_RUNS", DEFAULT_RUNS));
        const quint32 seed = environmentNumber("ZDZ_SOAK_SEED", 0x50A4C0DE);
        QRandomGenerator random(seed);
        quint32 nextAddr = 0x1000;
        QString fault;
        bool keepBoard = false;
        int passes = 0, retries = 0, reported = 0;
        for (int run = 1; run <= runs; ++run) {
            // Now and then a board whose second image was cancelled stays for Start again, its RAM loader counting
            // the first image: a pass still means every image is on the chip. Both runs go at the loader's 115200.
            const bool sameBoard = keepBoard, previousFaulty = !fault.isEmpty();
            keepBoard = !previousFaulty && random.bounded(5) == 0;
            QVERIFY2(sameBoard || freshChip(&random, run), "the simulator does not take its commands");
            // Each run's images go at fresh addresses, so one left over from before never passes.
            QList<FileCfg> files;
            int largest = 0;
            for (int i = keepBoard ? 2 + random.bounded(3) : 1 + random.bounded(4); i > 0; --i) {
                int size = random.bounded(10) == 0 ? 0 : 1 + random.bounded(12000);
                if (keepBoard && files.size() < 2)
                    size = files.isEmpty() ? 1 + random.bounded(1024) : 1025 + random.bounded(11000);
                files << image(QStringLiteral("%1-%2.bin").arg(run).arg(files.size()), size, nextAddr);
                nextAddr += 0x1000 * (1 + static_cast<quint32>(size) / 0x1000);
                largest = qMax(largest, size);
            }
            // After a faulty run comes a clean one; otherwise a fault most of the time.
            fault = keepBoard ? "can=2" : previousFaulty ? QString() : randomFault(&random, largest);
            QVERIFY2(fault.isEmpty() || sim.command("fault 0 " + fault), qPrintable(fault));
            const QString where = QStringLiteral("seed 0x%1 run %2 (%3): ").arg(seed, 0, 16).arg(run).arg(fault);

            // Queued, as a station reaches its worker; a report in between runs is a second one.
            QCoreApplication::processEvents();
            QVERIFY2(rig.results.size() == reported, qPrintable(where + "stray result"));
            const quint32 speed = keepBoard || sameBoard ? 115200 : SPEEDS.at(random.bounded(SPEEDS.size()));
            rig.run(files, sim.linkPath(0), speed);
            const bool ended = QTest::qWaitFor([&] { return rig.results.size() > reported; }, RUN_BOUND_MS);
            QVERIFY2(ended, qPrintable(where + "hang"));
            const int result = rig.results.at(reported++);
            for (const FileCfg &file : files)
                QVERIFY2(result != 0 || arrived(file), qPrintable(where + "false pass: " + file.filePath));
            QVERIFY2(!previousFaulty || sameBoard || result == 0, qPrintable(where + "failed after a fault"));
            sim.command("clear 0");
            passes += result == 0;
            retries += sameBoard && result == 0;
        }
        // Reaching here means no false pass, no hang and no failed recovery in any run.
        qInfo("soak: %d runs, %d passes (%d on a board kept after a fault), %d fails, 0 false passes, 0 hangs,"
              " seed 0x%x", runs, passes, retries, runs - passes, seed);
    }

private:
    // A fresh chip of a random family, now and then in its RAM loader; short C prompts and give-up keep faults brief.
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
        // B: a block of the largest image, so most hit a transfer; A: an answer; D: a delay; "": no fault.
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

    // An empty image must have arrived as well, not merely be absent.
    bool arrived(const FileCfg &file) const
    {
        const QString stored = QStringLiteral("-0x%1.bin").arg(file.startAddr, 8, 16, QChar('0'));
        return sim.image(0, file.startAddr) == readFile(file.filePath)
               && !sim.fields(0, "image", "path").filter(stored).isEmpty();
    }

    ChipSimProcess sim;
    WorkerRig rig;
};

int main(int argc, char *argv[])
{
    // The test's watchdog grows with the runs asked for, each bounded by RUN_BOUND_MS.
    const qint64 runs = environmentNumber("ZDZ_SOAK_RUNS", DEFAULT_RUNS);
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", QByteArray::number(qMax<qint64>(300000, runs * RUN_BOUND_MS + 60000)));
    QCoreApplication app(argc, argv);
    tst_Soak test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_soak.moc"
