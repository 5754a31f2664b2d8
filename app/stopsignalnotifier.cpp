#include "stopsignalnotifier.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int pipeFds[2] = {-1, -1};
const int StopSignals[] = {SIGINT, SIGTERM};

} // namespace

StopSignalNotifier::StopSignalNotifier(QObject *parent)
    : QObject(parent)
{
}

StopSignalNotifier::~StopSignalNotifier()
{
    if (pipeFds[0] < 0)
        return;
    for (const int signalNumber : StopSignals)
        std::signal(signalNumber, SIG_DFL);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

bool StopSignalNotifier::install()
{
    if (pipeFds[0] >= 0)
        return false;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipeFds) != 0)
        return false;
    // A burst of signals must never block the handler: surplus bytes are simply dropped.
    ::fcntl(pipeFds[1], F_SETFL, ::fcntl(pipeFds[1], F_GETFL) | O_NONBLOCK);
    ::fcntl(pipeFds[0], F_SETFL, ::fcntl(pipeFds[0], F_GETFL) | O_NONBLOCK);

    notifier = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignalNotifier::slotReadSignal);

    struct sigaction action = {};
    action.sa_handler = &StopSignalNotifier::handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : StopSignals) {
        if (::sigaction(signalNumber, &action, nullptr) != 0)
            return false;
    }
    return true;
}

void StopSignalNotifier::handleSignal(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = static_cast<char>(signalNumber);
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &byte, 1);
    errno = savedErrno;
}

void StopSignalNotifier::slotReadSignal()
{
    char bytes[16];
    ssize_t count = 0;
    while ((count = ::read(pipeFds[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            emit sigStopRequested(bytes[i]);
    }
}
