#include "chipsimprocess.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QStandardPaths>
#include <QtTest>

#include <fcntl.h>
#include <functional>
#include <termios.h>
#include <unistd.h>

namespace {

// The host end of one link: a real serial port on the simulator's pseudo-terminal.
struct Host
{
    bool open(const QString &path, qint32 baud = 115200)
    {
        rx.clear();
        port.setPortName(path);
        port.setBaudRate(baud);
        return port.open(QIODevice::ReadWrite);
    }
    // Leaves the line at the port's speed for the next program; a plain close would restore the old one.
    bool closeAtSpeed()
    {
        const speed_t speed = port.baudRate() == 921600 ? B921600 : port.baudRate() == 460800 ? B460800 : B115200;
        port.close();
        const int fd = ::open(QFile::encodeName(port.portName()).constData(), O_RDWR | O_NOCTTY);
        termios tio;
        const bool ok = fd >= 0 && ::tcgetattr(fd, &tio) == 0 && ::cfsetspeed(&tio, speed) == 0 && ::tcsetattr(fd, TCSANOW, &tio) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }
    void send(const QByteArray &bytes)
    {
        rx.clear();
        port.write(bytes);
        port.waitForBytesWritten(1000);
    }
    bool waitFor(const std::function<bool()> &done, int ms = 3000)
    {
        return QTest::qWaitFor([&] { rx += port.readAll(); return done(); }, ms);
    }

    QSerialPort port;
    QByteArray rx;
};

quint16 crc16(const QByteArray &data)
{
    quint16 crc = 0;
    for (const char c : data) {
        crc ^= static_cast<quint16>(static_cast<quint8>(c) << 8);
        for (int i = 0; i < 8; ++i)
            crc = static_cast<quint16>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

QByteArray packet(quint8 number, const QByteArray &data, const QString &damage = QString())
{
    const quint16 crc = crc16(data) ^ (damage == QLatin1String("crc") ? 0x0101 : 0);
    return QByteArray(1, data.size() == 128 ? '\x01' : '\x02') + char(number)
           + char(damage == QLatin1String("cpl") ? number : ~number) + data + char(crc >> 8) + char(crc & 0xFF);
}

QByteArray blockData(int number)
{
    QByteArray data(1024, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(number * 7 + i);
    return data;
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, '\0');
    for (char &c : bytes)
        c = static_cast<char>(QRandomGenerator::global()->bounded(256));
    return bytes;
}

// The given field of every transcript event of one kind, as text.
QStringList fields(const ChipSimProcess &sim, const QString &ev, const QString &key)
{
    QStringList list;
    for (const QJsonObject &event : sim.transcript(0)) {
        if (event.value(QStringLiteral("ev")).toString() == ev)
            list.append(event.value(key).toVariant().toString());
    }
    return list;
}

QStringList violations(const ChipSimProcess &sim)
{
    return fields(sim, QStringLiteral("violation"), QStringLiteral("what"));
}

QStringList uploadTo(quint32 addr)
{
    return {QStringLiteral("send:\r\nstartaddr 0x%1\r\n").arg(QString::number(addr, 16).toUpper().rightJustified(8, QLatin1Char('0'))),
            "expect:pppp\r\n", "send:upgrade \r\n", "expect:C"};
}

QStringList header(int size)
{
    return {QStringLiteral("header:app.bin:%1").arg(size), "reply:ack", "reply:C"};
}

// EOT twice, then the empty end-of-batch block.
const QStringList fileEnd = {"eot", "reply:nak", "eot", "reply:ack", "reply:C", "end", "reply:ack"};
const QStringList countZero = {"send:\r\nfilecount\r\n", "expect:\r\nfc:0\r\n"};

// Scripted rows run with a short give-up and erase time.
void row(const char *name, const QString &args, const QStringList &steps)
{
    QTest::newRow(name) << args + QStringLiteral(" --give-up-ms 600 --erase-ms 100") << steps;
}
}

class tst_ChipSim : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void fullDownloadWithSb_data();
    void fullDownloadWithSb();
    void faults_data();
    void faults() { ChipSimProcess sim; scripted(sim); }
    void protocolChecks_data();
    void protocolChecks() { ChipSimProcess sim; scripted(sim); }
    void unplugAndReplug();
    void lifecycle();
    void badArguments_data();
    void badArguments();

private:
    void scripted(ChipSimProcess &sim);
    void runScript(ChipSimProcess &sim, Host &host, const QStringList &steps);
    bool runSb(Host &host, const QString &argument);

    QTemporaryDir files;
    QByteArray loader = randomBytes(3001);
    QByteArray image = randomBytes(20 * 1024 + 77);
    QStringList sent;
};

void tst_ChipSim::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("sb")).isEmpty(), "lrzsz's sb is missing: install lrzsz");
    for (const auto &file : {qMakePair(QStringLiteral("ramcode.bin"), loader), qMakePair(QStringLiteral("app.bin"), image)}) {
        QFile out(files.filePath(file.first));
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file.second) == file.second.size());
    }
}

// Hands the line to lrzsz's YMODEM sender, which reads and writes the port itself.
bool tst_ChipSim::runSb(Host &host, const QString &argument)
{
    const QString link = host.port.portName();
    const qint32 speed = host.port.baudRate();
    if (!host.closeAtSpeed())
        return false;
    QProcess sb;
    sb.setStandardInputFile(link);
    sb.setStandardOutputFile(link);
    const QStringList blocks = argument.startsWith(QLatin1String("1K:")) ? QStringList{QStringLiteral("-k")} : QStringList();
    sb.start(QStringLiteral("sb"), blocks + QStringList{QStringLiteral("--ymodem"), files.filePath(argument.section(QLatin1Char(':'), 1))});
    if (!sb.waitForFinished(30000))
        sb.kill();
    sb.waitForFinished();
    if (sb.exitStatus() != QProcess::NormalExit || sb.exitCode() != 0)
        qWarning("sb failed: %s", sb.readAllStandardError().constData());
    return sb.exitStatus() == QProcess::NormalExit && sb.exitCode() == 0 && host.open(link, speed);
}

// One step per entry, "verb:argument":
//   send:TEXT (collects the chip's bytes anew), expect:TEXT (within 3 s), silence:MS, absent:TEXT (since the
//   last send), baud:N (host side), header:NAME:SIZE, block:N[:crc|cpl], eot, end (empty batch block),
//   reply:TOKEN (ack, nak, can, C, A, or none within 1 s), violation:TEXT (in the transcript), gone (no link),
//   sb:1K|128:FILE (lrzsz sends FILE in blocks of that size), cmd:LINE and refused:LINE (control)
void tst_ChipSim::runScript(ChipSimProcess &sim, Host &host, const QStringList &steps)
{
    for (const QString &step : steps) {
        const QString verb = step.section(QLatin1Char(':'), 0, 0);
        const QString argument = step.section(QLatin1Char(':'), 1);
        const QString first = argument.section(QLatin1Char(':'), 0, 0);
        const QString second = argument.section(QLatin1Char(':'), 1);
        const QByteArray bytes = argument.toLatin1();
        const QByteArray where = step.toLatin1().replace("\r", "\\r").replace("\n", "\\n") + " got: ";
        if (verb == QLatin1String("send")) {
            host.send(bytes);
            sent << argument;
        } else if (verb == QLatin1String("expect")) {
            QVERIFY2(host.waitFor([&] { return host.rx.contains(bytes); }), where + host.rx.toPercentEncoding());
        } else if (verb == QLatin1String("silence") || verb == QLatin1String("absent")) {
            host.waitFor([] { return false; }, verb == QLatin1String("silence") ? argument.toInt() : 0);
            QVERIFY2(verb == QLatin1String("silence") ? host.rx.isEmpty() : !host.rx.contains(bytes), where + host.rx.toPercentEncoding());
        } else if (verb == QLatin1String("baud")) {
            host.port.setBaudRate(argument.toInt());
        } else if (verb == QLatin1String("header")) {
            host.send(packet(0, (first.toLatin1() + '\0' + second.toLatin1() + '\0').leftJustified(128, '\0')));
        } else if (verb == QLatin1String("block")) {
            host.send(packet(static_cast<quint8>(first.toInt()), blockData(first.toInt()), second));
        } else if (verb == QLatin1String("eot")) {
            host.send("\x04");
        } else if (verb == QLatin1String("end")) {
            host.send(packet(0, QByteArray(128, '\0')));
        } else if (verb == QLatin1String("reply")) {
            host.waitFor([&] { return !host.rx.isEmpty(); }, argument == QLatin1String("none") ? 1000 : 3000);
            const char c = host.rx.isEmpty() ? '\0' : host.rx.at(0);
            const QString got = host.rx.isEmpty() ? QStringLiteral("none") : c == '\x06' ? QStringLiteral("ack")
                                : c == '\x15' ? QStringLiteral("nak") : c == '\x18' ? QStringLiteral("can") : QString(QLatin1Char(c));
            host.rx.remove(0, 1);
            QCOMPARE(got, argument);
        } else if (verb == QLatin1String("violation")) {
            QVERIFY2(QTest::qWaitFor([&] { return !violations(sim).filter(argument).isEmpty(); }, 3000),
                     qPrintable(QStringLiteral("no \"%1\" in: %2").arg(argument, violations(sim).join(QLatin1String(" | ")))));
        } else if (verb == QLatin1String("gone")) {
            QVERIFY(QTest::qWaitFor([&] { return !QFileInfo(sim.linkPath(0)).isSymLink(); }, 3000));
        } else if (verb == QLatin1String("sb")) {
            QVERIFY(runSb(host, argument));
        } else if (verb == QLatin1String("cmd") || verb == QLatin1String("refused")) {
            QVERIFY2(sim.command(argument) == (verb == QLatin1String("cmd")), where);
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
        }
    }
}

void tst_ChipSim::scripted(ChipSimProcess &sim)
{
    QFETCH(QString, args);
    QFETCH(QStringList, steps);
    sent.clear();
    QVERIFY(sim.start(1, args.split(QLatin1Char(' '))));
    Host host;
    QVERIFY(host.open(sim.linkPath(0)));
    runScript(sim, host, steps);
}

// The whole dialogue of one download, with lrzsz as the host's YMODEM sender for the loader and the image.
void tst_ChipSim::fullDownloadWithSb_data()
{
    QTest::addColumn<QString>("args");
    QTest::addColumn<QStringList>("steps");
    auto add = [](const char *name, const QString &args, const QString &marker, const QString &download, const QString &sb, int speed) {
        const QString speedLine = QStringLiteral("baudrate %1\r\n").arg(speed);
        QTest::newRow(name) << args
                            << QStringList{"send:version \r\n", "expect:" + marker, "expect:\r\n", "send:" + download, "expect:C",
                                           "sb:" + sb + ":ramcode.bin", "send:\r\nfilecount\r\n", "expect:\r\nfc:0\r\n",
                                           "send:" + speedLine, "expect:" + speedLine, QStringLiteral("baud:%1").arg(speed)}
                                   + uploadTo(0x1000)
                                   + QStringList{"sb:" + sb + ":app.bin", "send:baudrate 115200\r\n", "expect:baudrate 115200\r\n",
                                                 "baud:115200", "send:\r\nfilecount\r\n", "expect:\r\nfc:1\r\n",
                                                 "send:\r\ndownloadsucess\r\n", "send:reboot \r\n", "send:version \r\n",
                                                 "expect:" + marker};
    };
    add("ZR740C, 1K blocks, 921600", "--families ZR740C", "Mar 14 2021/00:23:32", "download [rambin][0x20000000] [3001]\r\n", "1K", 921600);
    add("ZR610A, 128-byte blocks", "--families ZR610A", "Jan", "download [rambin] [0x20008000] [3001]\r\n", "128", 115200);
    add("ZR740A, 1K blocks, throttled 460800", "--families ZR740A --throttle", "Jun 19 2019/21:01:04", "download \r\n", "1K", 460800);
}

void tst_ChipSim::fullDownloadWithSb()
{
    QFETCH(QStringList, steps);
    ChipSimProcess sim;
    scripted(sim);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(sim.image(0, 0x1000), image);
    QFile storedLoader(QDir(sim.outDir()).filePath(QStringLiteral("chip0-boot1-loader-ramcode.bin")));
    QVERIFY(storedLoader.open(QIODevice::ReadOnly));
    QCOMPARE(storedLoader.readAll(), loader);
    QCOMPARE(fields(sim, QStringLiteral("image"), QStringLiteral("path")),
             (QStringList{"chip0-boot1-loader-ramcode.bin", "chip0-boot1-file1-0x00001000.bin"}));
    QTRY_COMPARE(sim.receivedLines(0), sent);
    QVERIFY2(violations(sim).isEmpty(), qPrintable(violations(sim).join(QLatin1String(" | "))));
    QCOMPARE(fields(sim, QStringLiteral("state"), QStringLiteral("what")), (QStringList{"rom", "ram", "rom"}));
    QCOMPARE(fields(sim, QStringLiteral("state"), QStringLiteral("boot")), (QStringList{"1", "1", "2"}));
    // The start address went out at the new speed, and the chip heard it at that speed.
    const QString speed = steps.filter(QStringLiteral("baud:")).first().mid(5);
    const int at = fields(sim, QStringLiteral("rx"), QStringLiteral("line")).indexOf(QStringLiteral("\r\nstartaddr 0x00001000\r\n"));
    QCOMPARE(fields(sim, QStringLiteral("rx"), QStringLiteral("baud")).value(at), speed);
    QCOMPARE(fields(sim, QStringLiteral("rx"), QStringLiteral("chipbaud")).value(at), speed);
}

// Every fault option shows on the line as the host would meet it.
void tst_ChipSim::faults_data()
{
    QTest::addColumn<QString>("args");
    QTest::addColumn<QStringList>("steps");
    const QStringList blocks12 = uploadTo(0x2000) + header(3072) + QStringList{"block:1", "reply:ack", "block:2"};
    const QString ram = QStringLiteral(" --set 0:ram=1");

    row("silent", "--fault 0:silent", {"send:version \r\n", "silence:300"});
    row("delay", "--fault 0:delay=500", {"send:version \r\n", "silence:300", "expect:Jun 19 2019/21:01:04\r\n"});
    row("drop version once", "--fault 0:drop=version",
        {"send:version \r\n", "silence:300", "send:version \r\n", "expect:Jun 19 2019/21:01:04\r\n"});
    row("drop version always", "--fault 0:dropall=version", {"send:version \r\n", "silence:300", "send:version \r\n", "silence:300"});
    row("drop download", "--fault 0:drop=download", {"send:download \r\n", "silence:700", "violation:given up"});
    row("drop baudrate still switches", "--fault 0:drop=baudrate" + ram,
        {"send:baudrate 921600\r\n", "silence:300", "baud:921600", "send:baudrate 921600\r\n", "expect:\r\nbaudrate 921600\r\n"});
    row("ffff startaddr", "--fault 0:ffff=startaddr" + ram,
        {"send:\r\nstartaddr 0x00001000\r\n", "expect:\r\nstartaddr 0x00001000\r\n\r\nffff\r\n", "absent:pppp"});
    row("ffff ferase_all", "--fault 0:ffff=ferase_all" + ram, {"send:ferase_all \r\n", "expect:\r\nffff\r\n", "absent:pppp"});
    row("nak", "--fault 0:nak=2" + ram, blocks12 + QStringList{"reply:nak", "block:2", "reply:ack", "block:3", "reply:ack"} + fileEnd);
    row("can", "--fault 0:can=2" + ram, blocks12 + QStringList{"reply:can", "reply:can"} + countZero);
    row("abort with A", "--fault 0:abort-a=2" + ram, blocks12 + QStringList{"reply:A"} + countZero);
    row("unknown cmd instead of C", "--fault 0:unknown-on-c" + ram,
        {"send:\r\nstartaddr 0x00001000\r\n", "expect:pppp\r\n", "send:upgrade \r\n", "expect:\r\nupgrade\r\n\r\nunknown cmd!\r\nC"});
    row("disconnect", "--fault 0:disconnect=2" + ram, blocks12 + QStringList{"reply:none", "gone"});
}

// What the ROM and RAM loaders accept and refuse.
void tst_ChipSim::protocolChecks_data()
{
    QTest::addColumn<QString>("args");
    QTest::addColumn<QStringList>("steps");
    const QStringList upload = uploadTo(0x3000) + header(2048);
    const QString ram = QStringLiteral("--set 0:ram=1");

    row("ZR740C refuses the ZR610A line", "--families ZR740C",
        {"send:download [rambin] [0x20008000] [3001]\r\n", "silence:400", "violation:download line", "send:version \r\n",
         "expect:Mar 14 2021"});
    row("ZR740A refuses a line without the blank", "--families ZR740A", {"send:download\r\n", "silence:400", "violation:download line"});
    row("loader size differs from the line", "--families ZR740C",
        {"send:download [rambin][0x20000000] [100]\r\n", "expect:C", "header:ramcode.bin:200", "reply:can", "reply:can",
         "violation:differs", "send:version \r\n", "expect:Mar 14 2021"});
    // A host at the wrong speed is not heard; after "baudrate" only the new speed is, whatever the host asks for.
    row("baud mismatch", ram,
        {"baud:9600", "send:version \r\n", "silence:400", "violation:baud mismatch", "baud:115200", "send:baudrate 250000\r\n",
         "expect:\r\nbaudrate 250000\r\n", "send:\r\nfilecount\r\n", "silence:400", "baud:250000", "send:\r\nfilecount\r\n",
         "expect:\r\nfc:0\r\n"});
    row("control: fault, clear, set, reboot", "--families ZR740C",
        {"send:version \r\n", "expect:Mar 14 2021", "cmd:fault 0 dropall=version", "send:version \r\n", "silence:400", "cmd:clear 0",
         "send:version \r\n", "expect:Mar 14 2021", "refused:fault 0 nonsense", "refused:set 0 colour=blue", "cmd:set 0 ram=1",
         "cmd:reboot 0", "send:version \r\n", "expect:\r\nRAMCODE\r\n"});
    row("unknown RAM command", ram, {"send:flash_all \r\n", "expect:\r\nunknown cmd!\r\n", "violation:unknown command"});
    row("bad CRC is refused", ram, upload + QStringList{"block:1:crc", "reply:nak", "violation:bad CRC", "block:1", "reply:ack"});
    row("bad complement is refused", ram, upload + QStringList{"block:1:cpl", "reply:nak", "violation:complement", "block:1", "reply:ack"});
    row("repeated block acknowledged", ram, upload + QStringList{"block:1", "reply:ack", "block:1", "reply:ack", "block:2", "reply:ack"});
    row("skipped block cancels", ram, upload + QStringList{"block:2", "reply:can", "violation:block 2 where block 1"});
    row("header without size cancels", ram, uploadTo(0x3000) + QStringList{"header:app.bin:", "reply:can", "violation:no decimal size"});
    row("host cancels", ram, upload + QStringList{"block:1", "reply:ack", "send:\x18\x18", "violation:cancelled by the host"} + countZero);
    row("silent host is given up", ram, uploadTo(0x3000) + QStringList{"violation:given up"} + countZero);
    row("short file is not counted", ram,
        uploadTo(0x3000) + header(5000)
            + QStringList{"block:1", "reply:ack", "eot", "reply:nak", "eot", "reply:can", "reply:can", "violation:ended after 1024 of 5000"}
            + countZero);
}

void tst_ChipSim::unplugAndReplug()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(2, {QStringLiteral("--set"), QStringLiteral("0:ram=1")}));
    const QString link = sim.linkPath(0);
    QVERIFY(QFileInfo(link).isSymLink() && QFileInfo(link).exists());
    Host host;
    QVERIFY(host.open(link));
    runScript(sim, host, uploadTo(0x1000) + header(1024) + QStringList{"block:1", "reply:ack"} + fileEnd + QStringList{"cmd:unplug 0"});
    QVERIFY(!QFileInfo(link).isSymLink() && !QFileInfo(link).exists());
    QVERIFY(QFileInfo(sim.linkPath(1)).exists());
    runScript(sim, host, {"refused:unplug 0", "refused:reboot 0"});
    host.port.close();
    QVERIFY(!Host().open(link));

    // A fresh chip of a second boot: its images never overwrite those of the first.
    QVERIFY(sim.command(QStringLiteral("replug 0")) && QFileInfo(link).exists() && host.open(link));
    runScript(sim, host, countZero + uploadTo(0x1000) + header(1024) + QStringList{"block:2", "reply:can"} + uploadTo(0x1000) + header(1024)
                             + QStringList{"block:1", "reply:ack"} + fileEnd);
    QCOMPARE(fields(sim, QStringLiteral("image"), QStringLiteral("path")),
             (QStringList{"chip0-boot1-file1-0x00001000.bin", "chip0-boot2-file1-0x00001000.bin"}));
    QVERIFY(QFileInfo::exists(QDir(sim.outDir()).filePath(QStringLiteral("chip0-boot1-file1-0x00001000.bin"))));
    QCOMPARE(sim.image(0, 0x1000), blockData(1));
    QCOMPARE(fields(sim, QStringLiteral("state"), QStringLiteral("what")), (QStringList{"ram", "unplug", "replug", "ram"}));
}

void tst_ChipSim::lifecycle()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(20, {"--families", "ZR740A,ZR740C,ZR610A", "--fault", "19:silent"}));
    for (int n = 0; n < 20; ++n)
        QVERIFY(QFileInfo(sim.linkPath(n)).exists());
    const QString linkDir = QFileInfo(sim.linkPath(0)).path();

    // The families go round the chips, and the end of the control input leaves them running.
    sim.closeControl();
    QTest::qWait(300);
    QVERIFY(sim.isRunning());
    const QStringList markers{"Jun 19 2019/21:01:04", "Mar 14 2021/00:23:32", "Jan"};
    for (int n = 0; n < markers.size(); ++n) {
        Host host;
        QVERIFY(host.open(sim.linkPath(n)));
        runScript(sim, host, {"send:version \r\n", "expect:" + markers.at(n)});
    }
    // SIGTERM ends them and removes the links.
    sim.stop();
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(QDir(linkDir).exists());
    QCOMPARE(QDir(linkDir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList());
}

void tst_ChipSim::badArguments_data()
{
    QTest::addColumn<QString>("args");
    QTest::newRow("no chips") << "--chips 0";
    QTest::newRow("too many chips") << "--chips 21";
    QTest::newRow("unknown family") << "--chips 2 --families ZR740A,ZR999";
    QTest::newRow("fault for a missing chip") << "--chips 2 --fault 2:silent";
    QTest::newRow("unknown fault") << "--chips 2 --fault 0:explode";
    QTest::newRow("drop of a command without answer") << "--chips 2 --fault 0:drop=reboot";
    QTest::newRow("ffff for a command without pppp") << "--chips 2 --fault 0:ffff=version";
    QTest::newRow("block zero") << "--chips 2 --fault 0:nak=0";
    QTest::newRow("unknown option key") << "--chips 2 --set 1:colour=blue";
    QTest::newRow("negative erase time") << "--chips 2 --erase-ms -5";
    QTest::newRow("unknown option") << "--chips 2 --colour";
    QTest::newRow("stray argument") << "--chips 2 extra";
}

void tst_ChipSim::badArguments()
{
    QFETCH(QString, args);
    QTemporaryDir dir;
    QProcess process;
    process.start(QStringLiteral(ZDZ_CHIPSIM_BIN),
                  args.split(QLatin1Char(' ')) + QStringList{"--dir", dir.path(), "--out", dir.filePath(QStringLiteral("out"))});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(!process.readAllStandardError().trimmed().isEmpty());
    QVERIFY(process.readAllStandardOutput().isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList());
}

QTEST_GUILESS_MAIN(tst_ChipSim)
#include "tst_chipsim.moc"
