// Download throughput against simulated chips whose wire moves ten bits per byte at the line
// speed and gives no credit for idle time (zdz-chipsim --throttle), with lrzsz's sb sending the
// same image through the same simulator in the same run as the yardstick.
//
//   zdz-bench-worker [--size BYTES] [--ports N] [--baud B] [--cpu-seconds S]
//
// Without --ports/--baud it runs 1 and 20 ports at 115200, 921600 and 3000000.
//
// Every figure is a ratio to the wire limit, taken at the chip: the time the host's bytes of
// the data blocks after the first need on the wire (block + 5 bytes, ten bits each), divided by
// the time from the chip's ACK of the first data block to its ACK of the last. The gap to 1 is
// the turnaround of each block: the ACK's own byte, the simulator's hand-over and the sender's
// reaction.

#include "chipsimprocess.h"
#include "userconfig.h"
#include "worker.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr quint32 IMAGE_ADDRESS = 0x10000;
constexpr quint32 DIALOGUE_BAUD = 115200;

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds another process of ours (the simulator) has used so far; 0 if it cannot be read.
double processCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly))
        return 0;
    // The fields after the command name, whose parentheses may hold spaces: utime and stime
    // are the 12th and 13th of them.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() <= 12)
        return 0;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

// Ratio to the wire limit of the transfer the chip recorded last of the given kind; 0 if none.
double wireRatio(const ChipSimProcess &sim, int chip, const QString &kind, quint32 baud)
{
    QJsonObject found;
    for (const QJsonObject &event : sim.transcript(chip)) {
        if (event.value(QStringLiteral("ev")).toString() == QLatin1String("image")
            && event.value(QStringLiteral("kind")).toString() == kind)
            found = event;
    }
    const QJsonArray blocks = found.value(QStringLiteral("blocks")).toArray();
    const QJsonArray acks = found.value(QStringLiteral("acks_us")).toArray();
    if (blocks.size() < 2 || acks.size() != 2)
        return 0;
    double wireBytes = 0;
    for (int i = 1; i < blocks.size(); ++i)
        wireBytes += blocks.at(i).toInt() + 5;
    const double seconds = (acks.at(1).toDouble() - acks.at(0).toDouble()) / 1e6;
    return seconds > 0 ? wireBytes * 10.0 / baud / seconds : 0;
}

struct Port
{
    QThread thread;
    Worker *worker = nullptr;
    int result = -1;
};

// Starts one worker per link, first to first + count - 1; each runs until `stop` or its result.
std::vector<std::unique_ptr<Port>> startWorkers(const ChipSimProcess &sim, int first, int count, const UserConfig &config,
                                                QEventLoop *loop, int *pending)
{
    std::vector<std::unique_ptr<Port>> ports;
    for (int i = 0; i < count; ++i) {
        ports.push_back(std::make_unique<Port>());
        Port *port = ports.back().get();
        port->worker = new Worker;
        port->worker->moveToThread(&port->thread);
        QObject::connect(&port->thread, &QThread::started, port->worker, &Worker::slotWorkerInit);
        QObject::connect(&port->thread, &QThread::finished, port->worker, &QObject::deleteLater);
        QObject::connect(port->worker, &Worker::sigWorkerReportResult, loop, [loop, pending, port](int r) {
            port->result = r;
            if (--*pending == 0)
                loop->quit();
        });
        port->thread.start();
        Worker *w = port->worker;
        const QString name = sim.linkPath(first + i);
        QMetaObject::invokeMethod(w, [w, config, name] {
            w->slotSetUserConfig(config);
            w->slotSetWorkerPortName(name);
            w->slotSetWorkerMode(Worker::WORK_MODE_DOWNLOAD);
            w->slotWorkerStart();
        });
    }
    return ports;
}

void stopWorkers(std::vector<std::unique_ptr<Port>> &ports)
{
    for (auto &port : ports) {
        port->thread.quit();
        port->thread.wait();
    }
}

// The whole download run of the worker on `count` chips; the number of passes.
int runOurs(const ChipSimProcess &sim, int first, int count, const QString &image, quint32 baud)
{
    UserConfig config;
    config.setBaudrate(baud);
    config.setFileList({FileCfg{image, IMAGE_ADDRESS}});
    QEventLoop loop;
    int pending = count;
    auto ports = startWorkers(sim, first, count, config, &loop, &pending);
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    loop.exec();
    stopWorkers(ports);
    return int(std::count_if(ports.begin(), ports.end(), [](const auto &p) { return p->result == 0; }));
}

bool say(QSerialPort &port, const QByteArray &line, const QByteArray &answer)
{
    QByteArray got;
    port.write(line);
    port.waitForBytesWritten(1000);
    QElapsedTimer clock;
    clock.start();
    while (!got.contains(answer) && clock.elapsed() < 3000 && port.waitForReadyRead(200))
        got += port.readAll();
    return got.contains(answer);
}

// sb needs the line as its standard input and output. The bench holds the loader's text
// dialogue (the RAM loader's for an image at `baud`, the ROM loader's for the RAM loader),
// lets go of the port once the chip asks for the file with C, sets the line speed again (a
// closing port puts back the speed it found) and hands the link to sb. Returns the passes.
int runSb(const ChipSimProcess &sim, int first, int count, const QString &file, quint32 baud, bool loader)
{
    const QString sb = QStandardPaths::findExecutable(QStringLiteral("sb"));
    std::vector<std::unique_ptr<QProcess>> senders;
    for (int i = first; i < first + count; ++i) {
        QSerialPort port(sim.linkPath(i));
        port.setBaudRate(DIALOGUE_BAUD);
        if (!port.open(QIODevice::ReadWrite))
            continue;
        const QByteArray speed = "baudrate " + QByteArray::number(baud) + "\r\n";
        const bool asked = loader ? say(port, "download \r\n", "C")
                                  : say(port, speed, speed) && port.setBaudRate(qint32(baud))
                                          && say(port, "\r\nstartaddr 0x00010000\r\n", "pppp")
                                          && say(port, "upgrade \r\n", "C");
        port.close();
        if (!asked || QProcess::execute(QStringLiteral("stty"), {"-F", sim.linkPath(i), QString::number(baud)}) != 0)
            continue;
        senders.push_back(std::make_unique<QProcess>());
        senders.back()->setStandardInputFile(sim.linkPath(i));
        senders.back()->setStandardOutputFile(sim.linkPath(i));
        senders.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        senders.back()->start(sb, {QStringLiteral("--ymodem"), QStringLiteral("-k"), QStringLiteral("-q"), file});
    }
    int passes = 0;
    for (auto &sender : senders)
        passes += sender->waitForFinished(600000) && sender->exitStatus() == QProcess::NormalExit && sender->exitCode() == 0;
    return passes;
}

struct Spread
{
    double mean = 0, min = 0;
};

Spread spread(const std::vector<double> &values)
{
    if (values.empty())
        return {};
    double sum = 0;
    for (double v : values)
        sum += v;
    return {sum / double(values.size()), *std::min_element(values.begin(), values.end())};
}

// One line of the table: `ports` chips flashed by the worker, then as many by sb, each group in
// a simulator of its own with the same options (one simulator holds at most 20 chips).
void benchRow(const QString &image, quint32 baud, int ports, double *loneOurs, double *loaderOurs)
{
    ChipSimProcess sim, sbSim;
    QStringList sbArgs{QStringLiteral("--throttle")};
    for (int i = 0; i < ports; ++i)
        sbArgs << QStringLiteral("--set") << QStringLiteral("%1:ram=1").arg(i);
    if (!sim.start(ports, {QStringLiteral("--throttle")}) || !sbSim.start(ports, sbArgs)) {
        std::fprintf(stderr, "cannot start the simulator\n");
        return;
    }
    const double cpuBefore = cpuSeconds();
    const double simCpuBefore = processCpuSeconds(sim.processId());
    QElapsedTimer clock;
    clock.start();
    const int oursPassed = runOurs(sim, 0, ports, image, baud);
    const double wall = clock.elapsed() / 1000.0;
    const double cpu = cpuSeconds() - cpuBefore;
    const double simCpu = processCpuSeconds(sim.processId()) - simCpuBefore;
    const int sbPassed = runSb(sbSim, 0, ports, image, baud, false);

    std::vector<double> ours, theirs, loaders;
    for (int i = 0; i < ports; ++i) {
        ours.push_back(wireRatio(sim, i, QStringLiteral("image"), baud));
        loaders.push_back(wireRatio(sim, i, QStringLiteral("loader"), DIALOGUE_BAUD));
        theirs.push_back(wireRatio(sbSim, i, QStringLiteral("image"), baud));
    }
    const Spread o = spread(ours), s = spread(theirs);
    if (ports == 1)
        *loneOurs = o.mean;
    *loaderOurs = spread(loaders).mean;
    const QString lone = ports > 1 && *loneOurs > 0 ? QString::number(o.min / *loneOurs, 'f', 3) : QStringLiteral("-");
    std::printf("%8u %6d %11.3f %11.3f %11.3f %11.3f %8.3f %9s %8.2f %7.2f %7.2f %5d/%d %5d/%d\n", baud, ports, o.mean,
                o.min, s.mean, s.min, s.mean > 0 ? o.mean / s.mean : 0.0, qPrintable(lone), wall, cpu, simCpu,
                oursPassed, ports, sbPassed, ports);
    std::fflush(stdout);
}

// The RAM loader at 115200: the worker's upload (from the image runs) beside sb's.
void benchLoader(const QString &loaderFile, double loaderOurs)
{
    ChipSimProcess sim;
    double theirs = 0;
    if (sim.start(1, {QStringLiteral("--throttle")}) && runSb(sim, 0, 1, loaderFile, DIALOGUE_BAUD, true) == 1)
        theirs = wireRatio(sim, 0, QStringLiteral("loader"), DIALOGUE_BAUD);
    std::printf("\nRAM loader upload at %u: ours %.3f, sb %.3f, ours/sb %.3f\n", DIALOGUE_BAUD, loaderOurs, theirs,
                theirs > 0 ? loaderOurs / theirs : 0.0);
}

// Process CPU over `seconds`: idle, then with 20 continuous ports whose chips never answer.
void benchIdleCpu(const QString &image, int seconds)
{
    QEventLoop loop;
    double before = cpuSeconds();
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double idle = cpuSeconds() - before;

    const int ports = 20;
    ChipSimProcess sim;
    QStringList args{QStringLiteral("--throttle")};
    for (int i = 0; i < ports; ++i)
        args << QStringLiteral("--fault") << QStringLiteral("%1:silent").arg(i);
    if (!sim.start(ports, args))
        return;
    UserConfig config;
    config.setDownloadMode(UserConfig::DOWNLOAD_MODE_CONTINUOUS);
    config.setFileList({FileCfg{image, IMAGE_ADDRESS}});
    int pending = ports;
    auto workers = startWorkers(sim, 0, ports, config, &loop, &pending);
    before = cpuSeconds();
    QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
    loop.exec();
    const double busy = cpuSeconds() - before;
    stopWorkers(workers);
    std::printf("Process CPU over %d s: idle %.2f s, %d continuous ports with no chip answering %.2f s (%.1f %% of a core)\n",
                seconds, idle, ports, busy, busy * 100.0 / seconds);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerUserConfigMetaType();
    registerWorkerMetaTypes();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Download throughput against simulated chips, beside lrzsz's sb."));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("size"), QStringLiteral("Image size in bytes (default 262144)."),
                      QStringLiteral("bytes"), QStringLiteral("262144")});
    parser.addOption({QStringLiteral("ports"), QStringLiteral("Ports flashed at once."), QStringLiteral("n")});
    parser.addOption({QStringLiteral("baud"), QStringLiteral("Line speed for the image."), QStringLiteral("baud")});
    parser.addOption({QStringLiteral("cpu-seconds"), QStringLiteral("Length of each CPU measurement; 0 skips it (default 20)."),
                      QStringLiteral("s"), QStringLiteral("20")});
    parser.process(app);

    if (QStandardPaths::findExecutable(QStringLiteral("sb")).isEmpty()) {
        std::fprintf(stderr, "lrzsz's sb is missing (Debian package lrzsz)\n");
        return 2;
    }
    const qint64 size = parser.value(QStringLiteral("size")).toLongLong();
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("bench.bin"));
    const QString loader = dir.filePath(QStringLiteral("ramcode_zr740a.bin"));
    {
        QFile file(image);
        if (size <= 0 || !file.open(QIODevice::WriteOnly))
            return 2;
        QByteArray data(int(size), Qt::Uninitialized);
        QRandomGenerator gen(42);
        for (char &c : data)
            c = char(gen.bounded(256));
        file.write(data);
        // sb sends the very loader the worker uploads to a ZR740A.
        if (!QFile::copy(QStringLiteral(":/bootram_bins/ramcode_zr740a.bin"), loader))
            return 2;
    }

    QList<int> portCounts = {1, 20};
    QList<quint32> bauds = {115200, 921600, 3000000};
    if (parser.isSet(QStringLiteral("ports")))
        portCounts = {parser.value(QStringLiteral("ports")).toInt()};
    if (parser.isSet(QStringLiteral("baud")))
        bauds = {parser.value(QStringLiteral("baud")).toUInt()};

    std::printf("Ratio to the wire limit per port (mean, min) for the worker and for sb, ours/sb (means),\n"
                "the slowest of 20 ports against a lone port, the worker's wall and CPU seconds and the\n"
                "CPU seconds its simulator spent meanwhile.\n\n");
    std::printf("%8s %6s %11s %11s %11s %11s %8s %9s %8s %7s %7s %7s %7s\n", "baud", "ports", "ours mean", "ours min",
                "sb mean", "sb min", "ours/sb", "min/lone", "wall s", "cpu s", "sim s", "ours", "sb");
    double loaderOurs = 0;
    for (quint32 baud : bauds) {
        double loneOurs = 0;
        for (int ports : portCounts) {
            double loaderRow = 0;
            benchRow(image, baud, ports, &loneOurs, &loaderRow);
            if (ports == portCounts.first() && baud == bauds.first())
                loaderOurs = loaderRow;
        }
    }
    benchLoader(loader, loaderOurs);
    const int cpuSecondsEach = parser.value(QStringLiteral("cpu-seconds")).toInt();
    if (cpuSecondsEach > 0)
        benchIdleCpu(image, cpuSecondsEach);
    return 0;
}
