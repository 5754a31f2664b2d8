#include "apptranslator.h"
#include "mainwindow.h"
#include "stopsignalnotifier.h"
#include "worker.h"

#include <QApplication>
#include <QMetaType>

int main(int argc, char *argv[])
{
    // The chip code travels from the worker threads to the stations in queued signals.
    registerWorkerMetaTypes();

    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);

    QApplication app(argc, argv);

    // Logging out, or a service manager that stops the station PC, sends SIGTERM:
    // the window closes as if the operator closed it, so work in progress stops cleanly.
    StopSignalNotifier stopSignals;
    const bool watchingStop = stopSignals.install();

    AppTranslator translator;

    MainWindow window;
    if (watchingStop)
        QObject::connect(&stopSignals, &StopSignalNotifier::sigStopRequested, &window, &QWidget::close);
    window.show();

    return app.exec();
}
