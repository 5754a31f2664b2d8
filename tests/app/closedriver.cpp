// zdz-close-driver transfer|cycling STATIONS: plays the operator up to continuous production, closes
// the window inside the first run (transfer) or once every worker is on its next chip (cycling),
// prints "CLOSING <working stations> <worker threads>", then "THREADS_LEFT <n>" after the event
// loop; exits with the loop's code, or 3 when the line never reached the wanted state.

#include "mainwindow.h"
#include "serialflashwidget.h"
#include "worker.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QProgressBar>
#include <QSet>
#include <QThread>

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
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&]() {
        if (started.isEmpty()) {
            for (SerialFlashWidget *station : window->findChildren<SerialFlashWidget *>()) {
                if (!station->portName().isEmpty() && started.size() < wanted)
                    started << station;
            }
            if (started.size() < wanted) {
                started.clear();
                return;
            }
            for (SerialFlashWidget *station : qAsConst(started))
                station->findChild<QAbstractButton *>(QStringLiteral("rdbtnOpenClose"))->click();
            window->findChild<QAbstractButton *>(QStringLiteral("btnStart"))->click();
            return;
        }
        int working = 0;
        bool ready = true;
        for (SerialFlashWidget *station : qAsConst(started)) {
            const QString result = station->findChild<QLineEdit *>(QStringLiteral("leditResult"))->text();
            working += station->isWorking() ? 1 : 0;
            if (result == QLatin1String("Pass"))
                passedOnce.insert(station);
            // The next chip is on its way once the row shows its download again.
            ready = ready && (closeWhileCycling ? passedOnce.contains(station) && result == QLatin1String("Downloading")
                                                : station->isWorking()
                                                      && station->findChild<QProgressBar *>(QStringLiteral("prgbarFlash"))->value() > 0);
        }
        if (!ready)
            return;
        driver.stop();
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
    window.reset();
    // QThread::wait() returns once the thread has finished its work, but a detached thread
    // still shows in /proc until it has unwound; a thread nobody joined stays there for good.
    int left = workerThreadsAlive();
    for (const QDeadlineTimer unwinding(3000); left > 0 && !unwinding.hasExpired(); left = workerThreadsAlive())
        QThread::msleep(10);
    std::printf("THREADS_LEFT %d\n", left);
    return code;
}
