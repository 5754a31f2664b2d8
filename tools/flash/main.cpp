#include "errorcodes.h"
#include "flashoptions.h"
#include "flashsession.h"
#include "ramloader.h"
#include "stopsignalnotifier.h"
#include "userconfig.h"
#include "worker.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

constexpr int EXIT_ARGUMENTS = 2;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zdz-flash"));

    FlashOptions options;
    if (!options.parse(QCoreApplication::arguments())) {
        options.printError();
        return EXIT_ARGUMENTS;
    }
    if (options.helpRequested()) {
        std::fputs(FlashOptions::helpText().toLocal8Bit().constData(), stdout);
        return 0;
    }

    if (RamLoader::placeholderInUse(options.loaderDir()))
        std::fprintf(stderr, "%s\n", qUtf8Printable(RamLoader::placeholderWarning()));

    // A reader that goes away must not kill the process while chips are half written.
    std::signal(SIGPIPE, SIG_IGN);

    registerUserConfigMetaType();
    registerWorkerMetaTypes();

    StopSignalNotifier stopSignals;
    if (!stopSignals.install()) {
        std::perror("zdz-flash: cannot watch SIGINT and SIGTERM");
        return 1;
    }

    FlashSession session(options);
    QObject::connect(&stopSignals, &StopSignalNotifier::sigStopRequested, &session, &FlashSession::slotStop);
    QObject::connect(&session, &FlashSession::sigSessionFinished, &app, [](int exitCode) {
        QCoreApplication::exit(exitCode);
    });
    session.start();
    return QCoreApplication::exec();
}
