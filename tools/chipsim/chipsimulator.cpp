#include "chipsimulator.h"

#include "simchip.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

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

bool ChipSimulator::start(QString *error)
{
    for (SimChip *chip : chips) {
        if (!chip->prepare(error) || !chip->plug(error))
            return false;
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
        if (chip->isPlugged())
            chip->unplug(QStringLiteral("exit"));
    }
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

    if (command == QLatin1String("unplug")) {
        if (!chip->isPlugged())
            return QStringLiteral("ERR chip %1 is not plugged").arg(chip->index());
        chip->unplug(QStringLiteral("unplug command"));
    } else if (command == QLatin1String("replug")) {
        if (chip->isPlugged())
            chip->unplug(QStringLiteral("replug command"));
        if (!chip->plug(&error))
            return QStringLiteral("ERR ") + error;
    } else if (command == QLatin1String("reboot")) {
        if (!chip->isPlugged())
            return QStringLiteral("ERR chip %1 is not plugged").arg(chip->index());
        chip->reboot();
    } else if (command == QLatin1String("clear")) {
        chip->faults().clear();
    } else if (command == QLatin1String("fault")) {
        if (!chip->faults().add(words.at(2), &error))
            return QStringLiteral("ERR ") + error;
    } else if (command == QLatin1String("set")) {
        const QString assignment = words.at(2);
        if (!assignment.contains(QLatin1Char('=')))
            return QStringLiteral("ERR \"%1\" is not KEY=VALUE").arg(assignment);
        if (!chip->nextOptions().set(assignment.section(QLatin1Char('='), 0, 0), assignment.section(QLatin1Char('='), 1), &error))
            return QStringLiteral("ERR ") + error;
    }
    return QStringLiteral("OK ") + line;
}
