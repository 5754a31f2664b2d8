#include "chipsimprocess.h"
#include "testsupport.h"
#include "ymodempacket.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QStandardPaths>
#include <QtTest>

namespace {

const QStringList upgrade = {"send:\r\nstartaddr 0x00001000\r\n", "expect:pppp\r\n", "send:upgrade \r\n", "expect:C"};
const QStringList header3k = {"header:3072", "reply:ack", "reply:C", "block:1", "reply:ack"};
// EOT twice, then the empty end-of-batch block.
const QStringList fileEnd = {"eot", "reply:nak", "eot", "reply:ack", "reply:C", "end", "reply:ack"};
const QStringList countZero = {"send:\r\nfilecount\r\n", "expect:\r\nfc:0\r\n"};
const QStringList fast = {"send:baudrate 921600\r\n", "expect:baudrate 921600\r\n", "baud:921600"};
const QString ram = QStringLiteral(" --set 0:ram=1");
// Every fault option shows on the line as the host would meet it, and so does what the loaders refuse.
void addFaultRows()
{
    const auto row = [](const char *name, const QString &args, const QStringList &steps) {
        QTest::newRow(name) << args + QStringLiteral(" --give-up-ms 600 --erase-ms 100") << steps;
    };
    const QStringList block2 = upgrade + header3k + QStringList{"block:2"};
    row("delay", "--fault 0:delay=500", {"send:version \r\n", "silence:300", "expect:Jun 19 2019/21:01:04\r\n"});
    row("drop version always", "--fault 0:dropall=version", {"send:version \r\n", "silence:300", "send:version \r\n", "silence:300"});
    row("nak", "--fault 0:nak=2" + ram, block2 + QStringList{"reply:nak", "block:2", "reply:ack", "block:3", "reply:ack"} + fileEnd);
    row("can", "--fault 0:can=2" + ram, block2 + QStringList{"reply:can", "reply:can"} + countZero);
    row("abort with A", "--fault 0:abort-a=2" + ram, block2 + QStringList{"reply:A"} + countZero);
    row("unknown cmd instead of C", "--fault 0:unknown-on-c" + ram,
        {"send:\r\nstartaddr 0x00001000\r\n", "expect:pppp\r\n", "send:upgrade \r\n", "expect:\r\nupgrade\r\n\r\nunknown cmd!\r\nC"});
    row("disconnect", "--fault 0:disconnect=2" + ram, block2 + QStringList{"reply:none", "gone"});

    row("ZR740C refuses the ZR610A line and stays in ROM", "--families ZR740C",
        {"send:download [rambin] [0x20008000] [3001]\r\n", "silence:400", "violation:download line", "send:version \r\n", "expect:Mar 14"});
    row("loader size differs from the line", "--families ZR740C",
        {"send:download [rambin][0x20000000] [100]\r\n", "expect:C", "header:200", "reply:can", "reply:can", "violation:differs"});
    // After "baudrate" only the new speed is heard, whatever the host asks for.
    row("baud mismatch", ram, {"send:baudrate 250000\r\n", "expect:\r\nbaudrate 250000\r\n", "send:\r\nfilecount\r\n", "silence:400",
                               "violation:baud mismatch", "baud:250000", countZero.at(0), countZero.at(1)});
    row("bad CRC is refused", ram, upgrade + QStringList{"header:2048", "reply:ack", "reply:C", "block:1:crc", "reply:nak", "block:1", "reply:ack"});
    // No credit for idle time: a block after a pause takes its full 11.165 ms at 921600 baud, a run of them in turn.
    row("throttled wire time", "--throttle" + ram, fast + upgrade + QStringList{"header:110000", "reply:ack",
        "reply:C", "silence:100", "blocks:1:1:11", "blocks:2:100:1116"});
    row("short file is not counted", ram,
        upgrade + header3k + QStringList{"eot", "reply:nak", "eot", "reply:can", "reply:can", "violation:ended after 1024 of 3072"} + countZero);
}

} // namespace

class tst_ChipSim : public QObject
{
    Q_OBJECT

    QTemporaryDir files;
    QByteArray loader = patternBytes(3001);
    QByteArray image = patternBytes(20 * 1024 + 77);
    QSerialPort port; // the host end of the link under test
    QByteArray rx;

    bool open(const QString &path, qint32 baud = 115200)
    {
        port.close();
        port.setPortName(path);
        port.setBaudRate(baud);
        return port.open(QIODevice::ReadWrite);
    }

    // Steps "verb:argument": send:TEXT (collects the chip's bytes anew), expect:TEXT (3 s), silence:MS, baud:N (host),
    // header:SIZE, block:N[:crc], eot, end (empty batch block), blocks:FIRST:COUNT:MS (back to back, all ACKed, not
    // before MS), reply:ack|nak|can|C|A|none (1 s), violation:TEXT, gone (no link), sb:1K|128:FILE (lrzsz sends FILE).
    void runScript(ChipSimProcess &sim, const QStringList &steps)
    {
        const auto waitFor = [this](auto done, int ms) {
            const auto more = [&] {
                rx += port.readAll();
                return done();
            };
            return waitForSignal(&port, &QSerialPort::readyRead, more, ms);
        };
        const auto send = [this](const QByteArray &bytes) { rx.clear(); port.write(bytes); port.waitForBytesWritten(1000); };
        const auto violations = [&] { return sim.fields(0, "violation", "what"); };
        for (const QString &step : steps) {
            const QString verb = step.section(QLatin1Char(':'), 0, 0);
            const QString argument = step.section(QLatin1Char(':'), 1);
            const QByteArray bytes = argument.toLatin1();
            const QByteArray where = step.toLatin1().replace("\r", "\\r").replace("\n", "\\n") + " got: ";
            if (verb == "send") {
                send(bytes);
            } else if (verb == "expect") {
                QVERIFY2(waitFor([&] { return rx.contains(bytes); }, 3000), where + rx.toPercentEncoding());
            } else if (verb == "silence") {
                waitFor([] { return false; }, argument.toInt());
                QVERIFY2(rx.isEmpty(), where + rx.toPercentEncoding());
            } else if (verb == "baud") {
                port.setBaudRate(argument.toInt());
            } else if (verb == "header" || verb == "end" || verb == "eot") {
                const QByteArray name = verb == "end" ? QByteArray() : QByteArray("app.bin", 8) + bytes + '\0';
                send(verb == "eot" ? QByteArray("\x04") : ymodemPacket(0, name));
            } else if (verb == "block") {
                const int n = argument.section(QLatin1Char(':'), 0, 0).toInt();
                send(ymodemPacket(quint8(n), QByteArray(1024, char(n)), 0, argument.endsWith("crc")));
            } else if (verb == "blocks") {
                const QStringList at = argument.split(QLatin1Char(':'));
                const int first = at.value(0).toInt(), count = at.value(1).toInt();
                QByteArray line;
                for (int n = first; n < first + count; ++n)
                    line += ymodemPacket(quint8(n), QByteArray(1024, char(n)));
                QElapsedTimer clock;
                clock.start();
                send(line);
                waitFor([&] { return rx.count('\x06') >= count; }, 3000);
                QVERIFY2(rx == QByteArray(count, '\x06'), where + rx.toPercentEncoding());
                const double ms = clock.nsecsElapsed() / 1e6;
                QVERIFY2(ms >= at.value(2).toDouble(), where + QByteArray::number(ms));
            } else if (verb == "reply") {
                waitFor([&] { return !rx.isEmpty(); }, argument == "none" ? 1000 : 3000);
                const char c = rx.isEmpty() ? '\0' : rx.at(0);
                const QString got = rx.isEmpty() ? "none" : c == 6 ? "ack" : c == 0x15 ? "nak" : c == 0x18 ? "can" : QString(QLatin1Char(c));
                rx.remove(0, 1);
                QCOMPARE(got, argument);
            } else if (verb == "violation") {
                QVERIFY2(QTest::qWaitFor([&] { return !violations().filter(argument).isEmpty(); }, 3000), qPrintable(violations().join(" | ")));
            } else if (verb == "gone") {
                QVERIFY(QTest::qWaitFor([&] { return !QFileInfo(sim.linkPath(0)).isSymLink(); }, 3000));
            } else if (verb == "sb") {
                // lrzsz drives the line itself; a plain close would put back the speed the port found, so it is set again.
                const qint32 speed = port.baudRate();
                port.close();
                QCOMPARE(QProcess::execute("stty", {"-F", port.portName(), QString::number(speed)}), 0);
                QStringList args{"--ymodem", files.filePath(argument.section(QLatin1Char(':'), 1))};
                QProcess sb;
                sb.setStandardInputFile(port.portName());
                sb.setStandardOutputFile(port.portName());
                sb.start("sb", argument.startsWith("1K") ? QStringList("-k") + args : args);
                QVERIFY2(sb.waitForFinished(30000) && sb.exitStatus() == QProcess::NormalExit && sb.exitCode() == 0, sb.readAllStandardError());
                QVERIFY(open(port.portName(), speed));
            } else {
                QFAIL(qPrintable("unknown step " + step));
            }
        }
    }

private slots:
    void cleanup() { port.close(); }

    void initTestCase()
    {
        QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("sb")).isEmpty(), "lrzsz's sb is missing: install lrzsz");
        QVERIFY(writeFile(files.filePath(QStringLiteral("ramcode.bin")), loader) && writeFile(files.filePath(QStringLiteral("app.bin")), image));
    }

    // One download on a throttled line, lrzsz's sb sending the loader in 128-byte and the image in 1K blocks.
    void dialogue_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<QStringList>("steps");
        const QStringList rom = {"send:version \r\n", "expect:Mar 14 2021/00:23:32\r\n",
                                 "send:download [rambin][0x20000000] [3001]\r\n", "expect:C", "sb:128:ramcode.bin"};
        const QStringList back = {"send:baudrate 115200\r\n", "expect:baudrate 115200\r\n", "baud:115200",
                                  "send:\r\nfilecount\r\n", "expect:\r\nfc:1\r\n", "send:\r\ndownloadsucess\r\n",
                                  "send:reboot \r\n", "send:version \r\n", "expect:Mar 14"};
        QTest::newRow("ZR740C, lrzsz, throttled 921600") << "--families ZR740C --throttle"
                << rom + countZero + fast + upgrade + QStringList("sb:1K:app.bin") + back;
        addFaultRows();
    }

    void dialogue()
    {
        QFETCH(QString, args);
        QFETCH(QStringList, steps);
        ChipSimProcess sim;
        QVERIFY(sim.start(1, args.split(QLatin1Char(' '), Qt::SkipEmptyParts)) && open(sim.linkPath(0)));
        runScript(sim, steps);
        if (QTest::currentTestFailed() || steps.filter(QStringLiteral("sb:")).isEmpty())
            return;
        QCOMPARE(sim.image(0, 0x1000), image);
        QCOMPARE(readFile(QDir(sim.outDir()).filePath(QStringLiteral("chip0-boot1-loader-ramcode.bin"))), loader);
        QCOMPARE(sim.fields(0, "image", "path"), (QStringList{"chip0-boot1-loader-ramcode.bin", "chip0-boot1-file1-0x00001000.bin"}));
        QCOMPARE(sim.fields(0, "violation", "what"), QStringList());
        QCOMPARE(sim.fields(0, "state", "what"), (QStringList{"rom", "ram", "rom"}));
        QCOMPARE(sim.fields(0, "state", "boot"), (QStringList{"1", "1", "2"}));
    }

    // Twenty chips of the families in turn; the first is unplugged and replugged through the control input.
    void linksAndLifecycle()
    {
        ChipSimProcess sim;
        QVERIFY(sim.start(20, {"--families", "ZR740A,ZR740C,ZR610A", "--set", "0:ram=1"}));
        const QString link = sim.linkPath(0);
        const QDir linkDir = QFileInfo(link).dir();
        const QDir::Filters all = QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot;
        QCOMPARE(linkDir.entryList(all).size(), 20);
        const QStringList oneFile = upgrade + QStringList{"header:1024", "reply:ack", "reply:C", "block:1", "reply:ack"} + fileEnd;
        QVERIFY(QFileInfo(link).isSymLink() && open(link));
        runScript(sim, oneFile);
        QVERIFY(sim.command("unplug 0") && !sim.command("unplug 0") && !sim.command("reboot 0"));
        QVERIFY(!QFileInfo(link).isSymLink() && !QFileInfo::exists(link) && QFileInfo::exists(sim.linkPath(1)));

        // A fresh chip of a second boot: its images never overwrite those of the first.
        QVERIFY(sim.command(QStringLiteral("replug 0")) && open(link));
        runScript(sim, countZero + oneFile);
        QCOMPARE(sim.fields(0, "image", "path"), (QStringList{"chip0-boot1-file1-0x00001000.bin", "chip0-boot2-file1-0x00001000.bin"}));
        QVERIFY(QFileInfo::exists(QDir(sim.outDir()).filePath(QStringLiteral("chip0-boot1-file1-0x00001000.bin"))));
        QCOMPARE(sim.image(0, 0x1000), QByteArray(1024, '\x01'));
        QCOMPARE(sim.fields(0, "state", "what"), (QStringList{"ram", "unplug", "replug", "ram"}));

        // The end of the control input leaves the chips running.
        sim.closeControl();
        QTest::qWait(300);
        QVERIFY(sim.isRunning());
        // The families go round the chips: the sixth is a ZR610A.
        QVERIFY(open(sim.linkPath(5)));
        runScript(sim, {"send:version \r\n", "expect:Jan"});
        // SIGTERM ends them and removes the links.
        sim.stop();
        QCOMPARE(sim.exitCode(), 0);
        QVERIFY(linkDir.exists());
        QCOMPARE(linkDir.entryList(all), QStringList());
    }

    // An unknown family, a fault for a missing chip, an unknown option: refused with code 2 and leaving nothing behind.
    void badArguments()
    {
        for (const QString args : {"--families ZR740A,ZR999", "--fault 2:silent", "--colour"}) {
            QTemporaryDir dir;
            QProcess process;
            process.start(ZDZ_CHIPSIM_BIN, args.split(' ') + QStringList{"--chips", "2", "--dir", dir.path(), "--out", dir.filePath("out")});
            QVERIFY(process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit);
            QVERIFY2(process.exitCode() == 2 && !process.readAllStandardError().trimmed().isEmpty() && process.readAllStandardOutput().isEmpty(), qPrintable(args));
            QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList());
        }
    }
};

QTEST_GUILESS_MAIN(tst_ChipSim)
#include "tst_chipsim.moc"
