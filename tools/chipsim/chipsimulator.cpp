#include "chipsimulator.h"

#include "simchip.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <utility>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace {
int signalSockets[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    const ssize_t ignored = ::write(signalSockets[0], &byte, 1);
    (void)ignored;
}

void printLine(const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

// One control command on one chip, in the chip's own thread.
bool carryOut(SimChip *chip, const QString &command, const QString &argument, QString *error)
{
    const bool needsPlug = command == QLatin1String("unplug") || command == QLatin1String("reboot");
    if (needsPlug && !chip->isPlugged()) {
        *error = QStringLiteral("chip %1 is not plugged").arg(chip->index());
        return false;
    }
    if (command == QLatin1String("unplug")) {
        chip->unplug(QStringLiteral("unplug command"));
    } else if (command == QLatin1String("replug")) {
        if (chip->isPlugged())
            chip->unplug(QStringLiteral("replug command"));
        return chip->plug(error);
    } else if (command == QLatin1String("reboot")) {
        chip->reboot();
    } else if (command == QLatin1String("clear")) {
        chip->faults().clear();
    } else if (command == QLatin1String("fault")) {
        return chip->faults().add(argument, error);
    } else if (command == QLatin1String("set")) {
        if (!argument.contains(QLatin1Char('='))) {
            *error = QStringLiteral("\"%1\" is not KEY=VALUE").arg(argument);
            return false;
        }
        return chip->nextOptions().set(argument.section(QLatin1Char('='), 0, 0), argument.section(QLatin1Char('='), 1), error);
    }
    return true;
}

// Qt's blocking hand-over waits on a futex the thread sanitizer cannot see; these two tell it
// what the hand-over guarantees: the caller's writes come before the call, the chip's after.
void handOver(void *token)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_release(token);
#else
    Q_UNUSED(token);
#endif
}

void takeOver(void *token)
{
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(token);
#else
    Q_UNUSED(token);
#endif
}

// Runs `work` in the chip's thread, waits for it and returns what it returned: a chip's state
// belongs to its thread. Nothing of the caller's stack crosses; the result comes back on the heap.
template<typename Work>
auto inChipThread(SimChip *chip, Work work)
{
    const auto result = std::make_shared<decltype(work())>();
    handOver(result.get());
    QMetaObject::invokeMethod(chip, [work, result] {
        takeOver(result.get());
        *result = work();
        handOver(result.get());
    }, Qt::BlockingQueuedConnection);
    takeOver(result.get());
    return *result;
}

// A failure's reason, or none.
using Failure = std::pair<bool, QString>;
}

ChipSimulator::ChipSimulator(QObject *parent)
    : QObject(parent)
{
}

ChipSimulator::~ChipSimulator()
{
    shutdown();
}

bool ChipSimulator::installSignalHandlers()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    // A reader that went away must not kill the chips mid-dialogue.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void ChipSimulator::addChip(SimChip *chip)
{
    auto *thread = new QThread(this);
    // The wire's timers must not be deferred by the kernel's default 50 us slack, which is
    // set per thread.
    connect(thread, &QThread::started, [] { ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); });
    connect(thread, &QThread::finished, chip, &QObject::deleteLater);
    chip->moveToThread(thread);
    chips.append(chip);
    threads.append(thread);
    thread->start();
}

bool ChipSimulator::start(QString *error)
{
    for (SimChip *chip : chips) {
        const Failure failure = inChipThread(chip, [chip] {
            QString reason;
            return Failure(!chip->prepare(&reason) || !chip->plug(&reason), reason);
        });
        if (failure.first) {
            *error = failure.second;
            return false;
        }
    }
    for (SimChip *chip : chips)
        printLine(QStringLiteral("%1 %2 %3").arg(chip->index()).arg(chip->linkPath(), chip->familyName()));
    printLine(QStringLiteral("READY"));

    if (signalSockets[1] >= 0) {
        signalNotifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, this);
        connect(signalNotifier, &QSocketNotifier::activated, this, [] { QCoreApplication::quit(); });
    }
    ::fcntl(STDIN_FILENO, F_SETFL, ::fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    controlNotifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(controlNotifier, &QSocketNotifier::activated, this, &ChipSimulator::readControl);
    return true;
}

void ChipSimulator::shutdown()
{
    for (SimChip *chip : chips) {
        inChipThread(chip, [chip] {
            if (chip->isPlugged())
                chip->unplug(QStringLiteral("exit"));
            return true;
        });
    }
    chips.clear();
    // Each chip is deleted in its thread as the thread ends.
    for (QThread *thread : threads) {
        thread->quit();
        thread->wait();
    }
    qDeleteAll(threads);
    threads.clear();
}

void ChipSimulator::readControl()
{
    char buffer[1024];
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        // The end of the control input is not the end of the chips.
        controlNotifier->setEnabled(false);
        return;
    }
    if (got < 0)
        return;
    controlBuffer.append(buffer, static_cast<int>(got));
    int lf;
    while ((lf = controlBuffer.indexOf('\n')) >= 0) {
        const QString line = QString::fromLocal8Bit(controlBuffer.left(lf)).trimmed();
        controlBuffer.remove(0, lf + 1);
        if (!line.isEmpty())
            printLine(execute(line));
    }
}

SimChip *ChipSimulator::chipArgument(const QStringList &words, QString *error) const
{
    bool ok = false;
    const int n = words.value(1).toInt(&ok);
    if (words.size() < 2 || !ok || n < 0 || n >= chips.size()) {
        *error = QStringLiteral("no chip \"%1\" (0 to %2)").arg(words.value(1)).arg(chips.size() - 1);
        return nullptr;
    }
    return chips.at(n);
}

QString ChipSimulator::execute(const QString &line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString command = words.value(0);
    static const QStringList withArgument = {QStringLiteral("fault"), QStringLiteral("set")};
    static const QStringList plain = {QStringLiteral("unplug"), QStringLiteral("replug"), QStringLiteral("reboot"), QStringLiteral("clear")};
    if (!withArgument.contains(command) && !plain.contains(command))
        return QStringLiteral("ERR unknown command \"%1\"").arg(command);
    if (words.size() != (withArgument.contains(command) ? 3 : 2))
        return QStringLiteral("ERR wrong number of arguments for \"%1\"").arg(command);

    QString error;
    SimChip *chip = chipArgument(words, &error);
    if (!chip)
        return QStringLiteral("ERR ") + error;

    const QString argument = words.value(2);
    const Failure failure = inChipThread(chip, [chip, command, argument] {
        QString reason;
        return Failure(!carryOut(chip, command, argument, &reason), reason);
    });
    return failure.first ? QStringLiteral("ERR ") + failure.second : QStringLiteral("OK ") + line;
}
