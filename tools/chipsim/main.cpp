#include "chipfamily.h"
#include "chipfaults.h"
#include "chipoptions.h"
#include "chipsimulator.h"
#include "simchip.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMap>

#include <cstdio>

namespace {
constexpr int maxChips = 20;

const char helpText[] = R"(Usage: zdz-chipsim --chips N --dir DIR [options]

Simulates N chips (1 to 20), each on a pseudo-terminal whose slave is linked as
DIR/ttySIMn (n from 0). Prints "<n> <linkpath> <family>" per chip, then "READY",
and runs until SIGINT or SIGTERM; then it removes its links and exits 0.

Options:
  --chips N                 number of chips (1 to 20)
  --dir DIR                 folder for the links (created if missing)
  --families LIST           comma-separated families, cycled over the chips:
                            ZR740A, ZR740C, ZR610A (default ZR740A)
  --out DIR                 store every received loader and image there, and a
                            JSON-lines transcript chip<n>.jsonl per chip
  --throttle                pace each direction like a UART wire at the line
                            speed set on the port (8N1): a byte arrives ten bit
                            times after the later of its sending and the byte
                            before it; idle time earns nothing
  --fault N:SPEC            give chip N a fault (repeatable, see below)
  --set N:KEY=VALUE         set an option of chip N (repeatable, see below)
  --erase-ms MS             time "ferase_all" takes (default 300)
  --c-interval-ms MS        time between the YMODEM receiver's C (default 500)
  --give-up-ms MS           a YMODEM transfer without progress for this long is
                            given up (default 10000)
  -h, --help                this text

Each chip starts in the ROM loader of its family. It answers "version" with
its build and accepts only its family's exact "download" line, then receives
the RAM loader by YMODEM. The RAM loader answers "version" (RAMCODE),
"ferase_all", "baudrate N", "startaddr 0x...", "upgrade" (then one image by
YMODEM), "filecount", "downloadsucess" and "reboot"; anything else gives
"unknown cmd!". Lines the host sends at a speed other than the chip's are lost.

Control on standard input, one command per line, answered "OK <command>" or
"ERR <reason>" on standard output (the end of input does not stop the chips):
  unplug N                  remove the link and close the port (a pulled cable)
  replug N                  new port, link made again, a fresh chip
  reboot N                  a fresh chip on the same link
  fault N SPEC              add a fault to chip N
  clear N                   remove all faults of chip N
  set N KEY=VALUE           set an option of chip N

Fault SPECs:
  silent                    the chip never answers anything
  delay=MS                  every command is answered MS later
  drop=CMD                  the next answer to CMD is lost (the command still
                            takes effect); CMD is one of version, download,
                            ferase_all, baudrate, startaddr, upgrade, filecount.
                            For download the loader receiver waits without C;
                            for upgrade only the "upgrade" text is lost
  dropall=CMD               every answer to CMD is lost
  ffff=CMD                  "ffff" instead of "pppp" for startaddr or ferase_all
  nak=K                     NAK data block K once in every image transfer
  can=K                     CAN instead of ACK at data block K of the next image
                            transfer that reaches it
  abort-a=K                 the same with an 'A'
  unknown-on-c              "\r\nunknown cmd!\r\n" instead of the first C after
                            every "upgrade"
  disconnect=K              at data block K of an image transfer the link is
                            removed and the port closed
Data blocks count from 1 over the whole file.

Options for --set and set (they apply from the chip's next power-up: start,
replug, reboot, or the host's "reboot"):
  family=NAME               ZR740A, ZR740C or ZR610A
  ram=0|1                   1: the chip comes up with its RAM loader running
  filecount-start=N         file count of a freshly started RAM loader
  erase-ms=MS, c-interval-ms=MS, give-up-ms=MS   as the global options
)";

int fail(const QString &message)
{
    std::fprintf(stderr, "zdz-chipsim: %s\nTry 'zdz-chipsim --help'.\n", qPrintable(message));
    return 2;
}

// Splits "N:REST" for --fault and --set.
bool chipAndRest(const QString &value, int chips, int *chip, QString *rest)
{
    bool ok = false;
    *chip = value.section(QLatin1Char(':'), 0, 0).toInt(&ok);
    *rest = value.section(QLatin1Char(':'), 1);
    return ok && value.contains(QLatin1Char(':')) && *chip >= 0 && *chip < chips;
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption chipsOption(QStringLiteral("chips"), QString(), QStringLiteral("N"));
    const QCommandLineOption dirOption(QStringLiteral("dir"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption familiesOption(QStringLiteral("families"), QString(), QStringLiteral("LIST"));
    const QCommandLineOption outOption(QStringLiteral("out"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption throttleOption(QStringLiteral("throttle"));
    const QCommandLineOption faultOption(QStringLiteral("fault"), QString(), QStringLiteral("N:SPEC"));
    const QCommandLineOption setOption(QStringLiteral("set"), QString(), QStringLiteral("N:KEY=VALUE"));
    const QCommandLineOption eraseOption(QStringLiteral("erase-ms"), QString(), QStringLiteral("MS"));
    const QCommandLineOption cIntervalOption(QStringLiteral("c-interval-ms"), QString(), QStringLiteral("MS"));
    const QCommandLineOption giveUpOption(QStringLiteral("give-up-ms"), QString(), QStringLiteral("MS"));
    parser.addOptions({help, chipsOption, dirOption, familiesOption, outOption, throttleOption, faultOption, setOption,
                       eraseOption, cIntervalOption, giveUpOption});

    if (!parser.parse(app.arguments()))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        std::fputs(helpText, stdout);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    bool ok = false;
    const int chips = parser.value(chipsOption).toInt(&ok);
    if (!parser.isSet(chipsOption) || !ok || chips < 1 || chips > maxChips)
        return fail(QStringLiteral("--chips needs a number from 1 to %1").arg(maxChips));
    const QString dir = parser.value(dirOption);
    if (dir.isEmpty())
        return fail(QStringLiteral("--dir is required"));
    if (QFileInfo(dir).exists() && !QFileInfo(dir).isDir())
        return fail(QStringLiteral("--dir %1 is not a folder").arg(dir));
    const QString out = parser.value(outOption);
    if (parser.isSet(outOption) && (out.isEmpty() || (QFileInfo(out).exists() && !QFileInfo(out).isDir())))
        return fail(QStringLiteral("--out \"%1\" is not a folder").arg(out));

    QStringList families = parser.value(familiesOption).split(QLatin1Char(','), Qt::SkipEmptyParts);
    if (!parser.isSet(familiesOption))
        families = QStringList{QStringLiteral("ZR740A")};
    if (families.isEmpty())
        return fail(QStringLiteral("--families needs at least one family"));
    for (const QString &family : families) {
        if (!ChipFamily::find(family))
            return fail(QStringLiteral("unknown family \"%1\" (one of %2)").arg(family, ChipFamily::names().join(QLatin1Char(','))));
    }

    ChipOptions defaults;
    const QList<QPair<QCommandLineOption, QString>> globals = {
        {eraseOption, QStringLiteral("erase-ms")}, {cIntervalOption, QStringLiteral("c-interval-ms")}, {giveUpOption, QStringLiteral("give-up-ms")}};
    for (const auto &global : globals) {
        QString error;
        if (parser.isSet(global.first) && !defaults.set(global.second, parser.value(global.first), &error))
            return fail(QStringLiteral("--") + error);
    }

    QList<ChipOptions> options;
    QList<ChipFaults> faults;
    for (int n = 0; n < chips; ++n) {
        options.append(defaults);
        options.last().family = families.at(n % families.size());
        faults.append(ChipFaults());
    }
    for (const QString &value : parser.values(faultOption)) {
        int chip = 0;
        QString spec;
        QString error;
        if (!chipAndRest(value, chips, &chip, &spec))
            return fail(QStringLiteral("--fault \"%1\" is not N:SPEC with N from 0 to %2").arg(value).arg(chips - 1));
        if (!faults[chip].add(spec, &error))
            return fail(error);
    }
    for (const QString &value : parser.values(setOption)) {
        int chip = 0;
        QString assignment;
        QString error;
        if (!chipAndRest(value, chips, &chip, &assignment) || !assignment.contains(QLatin1Char('=')))
            return fail(QStringLiteral("--set \"%1\" is not N:KEY=VALUE with N from 0 to %2").arg(value).arg(chips - 1));
        if (!options[chip].set(assignment.section(QLatin1Char('='), 0, 0), assignment.section(QLatin1Char('='), 1), &error))
            return fail(error);
    }

    const QDir linkDir(QDir(dir).absolutePath());
    for (int n = 0; n < chips; ++n) {
        const QFileInfo link(linkDir.filePath(QStringLiteral("ttySIM%1").arg(n)));
        if ((link.exists() || link.isSymLink()) && !link.isSymLink())
            return fail(QStringLiteral("%1 exists and is not a link").arg(link.filePath()));
    }

    // Everything is checked: only now is anything created.
    const bool madeDir = !linkDir.exists();
    if (!QDir().mkpath(linkDir.path()))
        return fail(QStringLiteral("cannot create %1").arg(linkDir.path()));
    const QString outDir = out.isEmpty() ? QString() : QDir(out).absolutePath();
    if (!outDir.isEmpty() && !QDir().mkpath(outDir)) {
        if (madeDir)
            QDir().rmdir(linkDir.path());
        return fail(QStringLiteral("cannot create %1").arg(outDir));
    }

    ChipSimulator::installSignalHandlers();
    int status = 0;
    {
        ChipSimulator simulator;
        for (int n = 0; n < chips; ++n) {
            auto *chip = new SimChip(n, options.at(n), linkDir.filePath(QStringLiteral("ttySIM%1").arg(n)), outDir,
                                     parser.isSet(throttleOption));
            chip->faults() = faults.at(n);
            simulator.addChip(chip);
        }
        QString error;
        if (simulator.start(&error))
            status = app.exec();
        else {
            std::fprintf(stderr, "zdz-chipsim: %s\n", qPrintable(error));
            status = 1;
        }
        simulator.shutdown();
    }
    if (madeDir)
        QDir().rmdir(linkDir.path());
    return status;
}
