// Plays the operator up to continuous production on every simulated port, closes the window
// as its close button does and reports what is left once the event loop has returned:
//   zdz-close-driver transfer|cycling STATIONS
// transfer: close while the stations are inside their first run (each still working);
// cycling:  close after every station has passed one chip and its worker is on the next.
// Prints "CLOSING <working stations> <worker threads>" and then "THREADS_LEFT <n>"; exits with
// the event loop's code, or 3 when the line never reached the wanted state.

#include "mainwindow.h"
#include "serialflashwidget.h"
#include "worker.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QProgressBar>
#include <QSet>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <memory>

// A QThread without a name runs under its class name; the toolkit's own threads have names.
static int workerThreadsAlive()
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

int main(int argc, char *argv[])
{
    registerWorkerMetaTypes();
    QApplication app(argc, argv);
    const bool closeWhileCycling = app.arguments().value(1) == QLatin1String("cycling");
    const int wanted = app.arguments().value(2).toInt();
    auto window = std::make_unique<MainWindow>();
    window->show();

    QList<SerialFlashWidget *> started;
    QSet<SerialFlashWidget *> passedOnce;
    bool closing = false;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&]() {
        if (closing)
            return;
        if (started.isEmpty()) {
            QList<SerialFlashWidget *> bound;
            for (SerialFlashWidget *station : window->findChildren<SerialFlashWidget *>()) {
                if (!station->portName().isEmpty())
                    bound << station;
            }
            if (bound.size() < wanted)
                return;
            started = bound.mid(0, wanted);
            for (SerialFlashWidget *station : qAsConst(started))
                station->findChild<QAbstractButton *>(QStringLiteral("rdbtnOpenClose"))->click();
            window->findChild<QAbstractButton *>(QStringLiteral("btnStart"))->click();
            return;
        }
        int working = 0;
        bool ready = true;
        for (SerialFlashWidget *station : qAsConst(started)) {
            const QString result = station->findChild<QLineEdit *>(QStringLiteral("leditResult"))->text();
            const int progress = station->findChild<QProgressBar *>(QStringLiteral("prgbarFlash"))->value();
            working += station->isWorking() ? 1 : 0;
            if (result == QLatin1String("Pass"))
                passedOnce.insert(station);
            // The next chip is on its way once the row shows its download again.
            ready = ready && (closeWhileCycling ? passedOnce.contains(station) && result == QLatin1String("Downloading")
                                                : station->isWorking() && progress > 0);
        }
        if (!ready)
            return;
        closing = true;
        std::printf("CLOSING %d %d\n", working, workerThreadsAlive());
        std::fflush(stdout);
        window->close();
    });
    driver.start(5);
    QTimer::singleShot(40000, [&]() {
        std::printf("DRIVER_GAVE_UP\n");
        QCoreApplication::exit(3);
    });

    const int code = app.exec();
    driver.stop();
    window.reset();
    // QThread::wait() returns once the thread has finished its work, but a detached thread
    // still shows in /proc until it has unwound; a thread nobody joined stays there for good.
    QElapsedTimer unwinding;
    unwinding.start();
    int left = workerThreadsAlive();
    while (left > 0 && unwinding.elapsed() < 3000) {
        QThread::msleep(10);
        left = workerThreadsAlive();
    }
    std::printf("THREADS_LEFT %d\n", left);
    return code;
}
