// Starts the application as its entry point does, plays the operator up to continuous
// production on every simulated port, closes the window the way its close button does and
// reports what is left once the event loop has returned and the window is gone.
//   zdz-close-driver transfer|cycling STATIONS
// transfer: close while the stations are inside their first run (each still working);
// cycling:  close after every station has passed one chip and its worker is on the next.
// Prints "CLOSING <working stations> <worker threads>", then "THREADS_LEFT <n>" (worker threads
// still alive) and "CLOSE_TO_EXIT_MS <ms>"; exits with the event loop's code, or 3 when the line
// never reached the wanted state.

#include "mainwindow.h"
#include "serialflashwidget.h"
#include "worker.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QMetaType>
#include <QProgressBar>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

constexpr int GIVE_UP_MS = 40000;

// A QThread without a name runs under its class name; the toolkit's own threads have names.
int workerThreadsAlive()
{
    int count = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "QThread")
            ++count;
    }
    return count;
}

QString resultText(SerialFlashWidget *station)
{
    auto *result = station->findChild<QLineEdit *>(QStringLiteral("leditResult"));
    return result ? result->text() : QString();
}

int progress(SerialFlashWidget *station)
{
    auto *bar = station->findChild<QProgressBar *>(QStringLiteral("prgbarFlash"));
    return bar ? bar->value() : 0;
}

} // namespace

int main(int argc, char *argv[])
{
    registerWorkerMetaTypes();
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);

    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const bool closeWhileCycling = args.value(1) == QLatin1String("cycling");
    const int wanted = args.value(2).toInt();
    if (wanted < 1) {
        std::fprintf(stderr, "usage: zdz-close-driver transfer|cycling STATIONS\n");
        return 2;
    }

    auto window = std::make_unique<MainWindow>();
    window->show();

    enum class Stage { Binding, Running, Closed };
    Stage stage = Stage::Binding;
    QList<SerialFlashWidget *> started;
    QList<bool> passedOnce;
    QElapsedTimer sinceClose;
    QElapsedTimer sinceStart;
    sinceStart.start();

    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&]() {
        if (sinceStart.elapsed() > GIVE_UP_MS) {
            std::printf("DRIVER_GAVE_UP\n");
            std::fflush(stdout);
            QCoreApplication::exit(3);
            return;
        }
        if (stage == Stage::Binding) {
            QList<SerialFlashWidget *> bound;
            for (SerialFlashWidget *station : window->findChildren<SerialFlashWidget *>()) {
                if (!station->portName().isEmpty())
                    bound << station;
            }
            if (bound.size() < wanted)
                return;
            for (SerialFlashWidget *station : bound.mid(0, wanted)) {
                station->findChild<QAbstractButton *>(QStringLiteral("rdbtnOpenClose"))->click();
                if (station->serialState() != SerialFlashWidget::STATE_OPENED)
                    return;
                started << station;
                passedOnce << false;
            }
            window->findChild<QAbstractButton *>(QStringLiteral("btnStart"))->click();
            stage = Stage::Running;
            return;
        }
        if (stage != Stage::Running)
            return;

        int working = 0;
        bool ready = true;
        for (int i = 0; i < started.size(); ++i) {
            SerialFlashWidget *station = started.at(i);
            if (station->isWorking())
                ++working;
            if (closeWhileCycling) {
                if (resultText(station) == QLatin1String("Pass"))
                    passedOnce[i] = true;
                // The next chip is on its way once the row shows its download again.
                ready = ready && passedOnce.at(i) && resultText(station) == QLatin1String("Downloading");
            } else {
                ready = ready && station->isWorking() && progress(station) > 0;
            }
        }
        if (!ready)
            return;
        stage = Stage::Closed;
        std::printf("CLOSING %d %d\n", working, workerThreadsAlive());
        std::fflush(stdout);
        sinceClose.start();
        window->close();
    });
    driver.start(5);

    const int code = app.exec();
    driver.stop();
    window.reset();
    std::printf("THREADS_LEFT %d\n", workerThreadsAlive());
    std::printf("CLOSE_TO_EXIT_MS %lld\n", sinceClose.isValid() ? static_cast<long long>(sinceClose.elapsed()) : -1LL);
    std::fflush(stdout);
    return code;
}
