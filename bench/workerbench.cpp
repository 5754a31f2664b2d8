// Throughput of the whole download run against simulated chips that deliver bytes at the
// pace of the line speed the host set, as a physical wire would.
//
//   zdz-bench-worker [--size BYTES] [--ports N] [--baud B]
//
// Without --ports/--baud it runs 1 and 20 ports at 115200 and 921600.

#include "chipsimprocess.h"
#include "userconfig.h"
#include "worker.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Bytes the host puts on the wire for one image: 1029-byte packets, header, two EOT, end block.
qint64 wireBytes(qint64 payload)
{
    const qint64 blocks = (payload + 1023) / 1024;
    return blocks * 1029 + 133 + 2 + 133;
}

struct Port
{
    QThread thread;
    Worker *worker = nullptr;
    int result = -1;
    qint64 firstProgressMs = -1;
    qint64 lastProgressMs = -1;
};

struct Figures
{
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double payloadPerPort = 0;
    double wireRatio = 0;
    int passes = 0;
};

Figures runOnce(const QString &image, qint64 size, int ports, quint32 baud)
{
    Figures figures;
    ChipSimProcess sim;
    if (!sim.start(ports, { QStringLiteral("--throttle") })) {
        std::fprintf(stderr, "cannot start the simulator\n");
        return figures;
    }

    UserConfig config;
    config.setBaudrate(baud);
    config.setFileList({ FileCfg{ image, 0x10000 } });

    QElapsedTimer clock;
    std::vector<std::unique_ptr<Port>> lines;
    int pending = ports;
    QEventLoop loop;
    for (int i = 0; i < ports; ++i) {
        lines.push_back(std::make_unique<Port>());
        Port *port = lines.back().get();
        port->worker = new Worker;
        port->worker->moveToThread(&port->thread);
        QObject::connect(&port->thread, &QThread::started, port->worker, &Worker::slotWorkerInit);
        QObject::connect(&port->thread, &QThread::finished, port->worker, &QObject::deleteLater);
        QObject::connect(port->worker, &Worker::sigWorkerReportYmodemProgress, &loop, [&clock, port](int, int p) {
            if (port->firstProgressMs < 0)
                port->firstProgressMs = clock.elapsed();
            if (p == 100)
                port->lastProgressMs = clock.elapsed();
        });
        QObject::connect(port->worker, &Worker::sigWorkerReportResult, &loop, [&pending, &loop, port](int r) {
            port->result = r;
            if (--pending == 0)
                loop.quit();
        });
        port->thread.start();
    }

    const double cpuBefore = cpuSeconds();
    clock.start();
    for (int i = 0; i < ports; ++i) {
        Worker *w = lines[size_t(i)]->worker;
        const QString name = sim.linkPath(i);
        QMetaObject::invokeMethod(w, [w, config, name] {
            w->slotSetUserConfig(config);
            w->slotSetWorkerPortName(name);
            w->slotSetWorkerMode(Worker::WORK_MODE_DOWNLOAD);
            w->slotWorkerStart();
        });
    }
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    loop.exec();
    figures.wallSeconds = clock.elapsed() / 1000.0;
    figures.cpuSeconds = cpuSeconds() - cpuBefore;

    double payloadSum = 0;
    for (const auto &port : lines) {
        if (port->result == 0)
            ++figures.passes;
        // Progress is reported as each block is read, before it goes out: the window from
        // the first report to 100 % covers every block but the last.
        if (port->lastProgressMs > port->firstProgressMs && port->firstProgressMs >= 0)
            payloadSum += (size - qMin<qint64>(size, 1024)) / ((port->lastProgressMs - port->firstProgressMs) / 1000.0);
        port->thread.quit();
        port->thread.wait();
    }
    figures.payloadPerPort = payloadSum / ports;
    const double wireLimit = size / (wireBytes(size) * 10.0 / baud);
    figures.wireRatio = figures.payloadPerPort / wireLimit;
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerUserConfigMetaType();
    registerWorkerMetaTypes();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Download throughput against throttled simulated chips."));
    parser.addHelpOption();
    parser.addOption({ QStringLiteral("size"), QStringLiteral("Image size in bytes (default 262144)."),
                       QStringLiteral("bytes"), QStringLiteral("262144") });
    parser.addOption({ QStringLiteral("ports"), QStringLiteral("Ports flashed at once."), QStringLiteral("n") });
    parser.addOption({ QStringLiteral("baud"), QStringLiteral("Line speed for the image."), QStringLiteral("baud") });
    parser.process(app);

    const qint64 size = parser.value(QStringLiteral("size")).toLongLong();
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("bench.bin"));
    {
        QFile file(image);
        if (size <= 0 || !file.open(QIODevice::WriteOnly))
            return 2;
        QByteArray data(int(size), Qt::Uninitialized);
        QRandomGenerator gen(42);
        for (char &c : data)
            c = char(gen.bounded(256));
        file.write(data);
    }

    QList<int> portCounts = { 1, 20 };
    QList<quint32> bauds = { 115200, 921600 };
    if (parser.isSet(QStringLiteral("ports")))
        portCounts = { parser.value(QStringLiteral("ports")).toInt() };
    if (parser.isSet(QStringLiteral("baud")))
        bauds = { parser.value(QStringLiteral("baud")).toUInt() };

    std::printf("%8s %6s %10s %16s %12s %10s %7s\n", "baud", "ports", "wall s", "payload B/s/port", "wire ratio",
                "cpu s", "passes");
    for (quint32 baud : bauds) {
        for (int ports : portCounts) {
            const Figures f = runOnce(image, size, ports, baud);
            std::printf("%8u %6d %10.2f %16.0f %12.3f %10.2f %4d/%d\n", baud, ports, f.wallSeconds,
                        f.payloadPerPort, f.wireRatio, f.cpuSeconds, f.passes, ports);
            std::fflush(stdout);
        }
    }
    return 0;
}
