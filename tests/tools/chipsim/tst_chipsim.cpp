#include "chipsimprocess.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSerialPort>
#include <QStandardPaths>
#include <QtTest>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {
const char SOH = 0x01;
const char STX = 0x02;
const char EOT = 0x04;

// The host end of one link: a real serial port on the simulator's pseudo-terminal.
class Host
{
public:
    bool open(const QString &path, qint32 baud = 115200)
    {
        rx.clear();
        port.setPortName(path);
        port.setBaudRate(baud);
        return port.open(QIODevice::ReadWrite);
    }
    // Closes the port and leaves the line at the given speed for the next program,
    // where the port itself would restore the speed it found.
    bool closeAtSpeed(const QString &path, speed_t speed)
    {
        port.close();
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
        termios tio;
        const bool ok = fd >= 0 && ::tcgetattr(fd, &tio) == 0 && ::cfsetspeed(&tio, speed) == 0 && ::tcsetattr(fd, TCSANOW, &tio) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }
    void setBaud(qint32 baud) { port.setBaudRate(baud); }
    void send(const QByteArray &bytes)
    {
        rx.clear();
        port.write(bytes);
        port.waitForBytesWritten(1000);
    }
    void pump() { rx += port.readAll(); }
    bool waitFor(const QByteArray &needle, int ms = 3000)
    {
        return QTest::qWaitFor([&] {
            pump();
            return rx.contains(needle);
        }, ms);
    }
    // The next byte from the chip, or -1 when none comes in time.
    int nextByte(int ms)
    {
        if (!QTest::qWaitFor([&] {
                pump();
                return !rx.isEmpty();
            }, ms))
            return -1;
        const int byte = static_cast<quint8>(rx.at(0));
        rx.remove(0, 1);
        return byte;
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
    QByteArray p;
    p.append(data.size() == 128 ? SOH : STX);
    p.append(static_cast<char>(number));
    p.append(static_cast<char>(damage == QLatin1String("cpl") ? number : ~number));
    p.append(data);
    quint16 crc = crc16(data);
    if (damage == QLatin1String("crc"))
        crc ^= 0x0101;
    p.append(static_cast<char>(crc >> 8));
    p.append(static_cast<char>(crc & 0xFF));
    return p;
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

QString token(int byte)
{
    switch (byte) {
    case -1:
        return QStringLiteral("none");
    case 0x06:
        return QStringLiteral("ack");
    case 0x15:
        return QStringLiteral("nak");
    case 0x18:
        return QStringLiteral("can");
    default:
        return QString(QChar(byte));
    }
}

QList<QJsonObject> events(const ChipSimProcess &sim, const QString &ev)
{
    QList<QJsonObject> list;
    for (const QJsonObject &event : sim.transcript(0)) {
        if (event.value(QStringLiteral("ev")).toString() == ev)
            list.append(event);
    }
    return list;
}

bool hasViolation(const ChipSimProcess &sim, const QString &what)
{
    for (const QJsonObject &event : events(sim, QStringLiteral("violation"))) {
        if (event.value(QStringLiteral("what")).toString().contains(what))
            return true;
    }
    return false;
}

QStringList violations(const ChipSimProcess &sim)
{
    QStringList list;
    for (const QJsonObject &event : events(sim, QStringLiteral("violation")))
        list.append(event.value(QStringLiteral("what")).toString());
    return list;
}

// Hands the line to lrzsz's YMODEM sender, which reads and writes the port itself.
bool runSb(const QStringList &options, const QString &link, const QString &file)
{
    QProcess sb;
    sb.setStandardInputFile(link);
    sb.setStandardOutputFile(link);
    sb.start(QStringLiteral("sb"), options + QStringList{QStringLiteral("--ymodem"), file});
    if (!sb.waitForFinished(30000)) {
        sb.kill();
        sb.waitForFinished();
        qWarning("sb did not finish");
        return false;
    }
    if (sb.exitStatus() != QProcess::NormalExit || sb.exitCode() != 0) {
        qWarning("sb failed: %s", sb.readAllStandardError().constData());
        return false;
    }
    return true;
}

QStringList uploadTo(quint32 addr)
{
    return {QStringLiteral("send:\r\nstartaddr 0x%1\r\n").arg(QString::number(addr, 16).rightJustified(8, QLatin1Char('0')).toUpper()),
            QStringLiteral("expect:pppp\r\n"), QStringLiteral("send:upgrade \r\n"), QStringLiteral("expect:C")};
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
    void faults();
    void protocolChecks_data();
    void protocolChecks();
    void baudMismatch();
    void unplugAndReplug();
    void lifecycle();
    void badArguments_data();
    void badArguments();

private:
    void runScript(ChipSimProcess &sim, Host &host, const QStringList &steps);
};

void tst_ChipSim::initTestCase()
{
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("sb")).isEmpty(), "lrzsz's sb is missing: install lrzsz");
}

// One script step per entry, "verb:argument":
//   send:TEXT        write TEXT; what the chip sends from here on is collected anew
//   expect:TEXT      TEXT arrives within 3 s
//   silence:MS       nothing at all arrives for MS
//   absent:TEXT      TEXT is not among the bytes collected since the last send
//   baud:N           the host switches its port to N
//   header:NAME:SIZE a YMODEM header "NAME NUL SIZE NUL"
//   block:N[:crc|cpl] data block N, optionally with a bad CRC or complement
//   eot, end         an EOT, the empty end-of-batch block
//   reply:TOKEN      the next byte from the chip (ack, nak, can, C, A, or none within 1 s)
//   violation:TEXT   the transcript reports a violation containing TEXT
//   gone             the link has disappeared
void tst_ChipSim::runScript(ChipSimProcess &sim, Host &host, const QStringList &steps)
{
    for (const QString &step : steps) {
        const QString verb = step.section(QLatin1Char(':'), 0, 0);
        const QString argument = step.section(QLatin1Char(':'), 1);
        const QByteArray bytes = argument.toLatin1();
        const QByteArray where = step.toLatin1().replace("\r", "\\r").replace("\n", "\\n");
        if (verb == QLatin1String("send")) {
            host.send(bytes);
        } else if (verb == QLatin1String("expect")) {
            QVERIFY2(host.waitFor(bytes), where + " got: " + host.rx.toPercentEncoding());
        } else if (verb == QLatin1String("silence")) {
            QTest::qWait(argument.toInt());
            host.pump();
            QVERIFY2(host.rx.isEmpty(), where + " got: " + host.rx.toPercentEncoding());
        } else if (verb == QLatin1String("absent")) {
            host.pump();
            QVERIFY2(!host.rx.contains(bytes), where + " got: " + host.rx.toPercentEncoding());
        } else if (verb == QLatin1String("baud")) {
            host.setBaud(argument.toInt());
        } else if (verb == QLatin1String("header")) {
            QByteArray data = argument.section(QLatin1Char(':'), 0, 0).toLatin1() + '\0'
                              + argument.section(QLatin1Char(':'), 1).toLatin1() + '\0';
            data.resize(128);
            host.send(packet(0, data));
        } else if (verb == QLatin1String("block")) {
            const int n = argument.section(QLatin1Char(':'), 0, 0).toInt();
            host.send(packet(static_cast<quint8>(n), blockData(n), argument.section(QLatin1Char(':'), 1)));
        } else if (verb == QLatin1String("eot")) {
            host.send(QByteArray(1, EOT));
        } else if (verb == QLatin1String("end")) {
            host.send(packet(0, QByteArray(128, '\0')));
        } else if (verb == QLatin1String("reply")) {
            QCOMPARE(token(host.nextByte(argument == QLatin1String("none") ? 1000 : 3000)), argument);
        } else if (verb == QLatin1String("violation")) {
            QVERIFY2(QTest::qWaitFor([&] { return hasViolation(sim, argument); }, 3000),
                     qPrintable(QStringLiteral("no violation \"%1\" in %2").arg(argument, violations(sim).join(QLatin1String(" | ")))));
        } else if (verb == QLatin1String("gone")) {
            QVERIFY(QTest::qWaitFor([&] { return !QFileInfo(sim.linkPath(0)).isSymLink(); }, 3000));
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown step ") + step));
        }
    }
}

void tst_ChipSim::fullDownloadWithSb_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<QByteArray>("marker");
    QTest::addColumn<QStringList>("sbOptions");
    QTest::addColumn<int>("speed");
    QTest::addColumn<bool>("throttle");

    QTest::newRow("ZR740C, 1K blocks, 921600") << "ZR740C" << QByteArray("Mar 14 2021/00:23:32") << QStringList{"-k"} << 921600 << false;
    QTest::newRow("ZR610A, 128-byte blocks") << "ZR610A" << QByteArray("Jan") << QStringList() << 115200 << false;
    QTest::newRow("ZR740A, 1K blocks, throttled 460800") << "ZR740A" << QByteArray("Jun 19 2019/21:01:04") << QStringList{"-k"} << 460800 << true;
}

void tst_ChipSim::fullDownloadWithSb()
{
    QFETCH(QString, family);
    QFETCH(QByteArray, marker);
    QFETCH(QStringList, sbOptions);
    QFETCH(int, speed);
    QFETCH(bool, throttle);

    ChipSimProcess sim;
    QStringList args{QStringLiteral("--families"), family};
    if (throttle)
        args << QStringLiteral("--throttle");
    QVERIFY(sim.start(1, args));
    const QString link = sim.linkPath(0);

    QTemporaryDir files;
    const QByteArray loader = randomBytes(3001);
    const QByteArray image = randomBytes(20 * 1024 + 77);
    const QString loaderPath = files.filePath(QStringLiteral("ramcode.bin"));
    const QString imagePath = files.filePath(QStringLiteral("app.bin"));
    for (const auto &file : {qMakePair(loaderPath, loader), qMakePair(imagePath, image)}) {
        QFile out(file.first);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file.second) == file.second.size());
    }

    Host host;
    QStringList sent;
    auto say = [&](const QByteArray &line) {
        host.send(line);
        sent << QString::fromLatin1(line);
    };
    QByteArray downloadLine = "download \r\n";
    if (family == QLatin1String("ZR740C"))
        downloadLine = "download [rambin][0x20000000] [3001]\r\n";
    else if (family == QLatin1String("ZR610A"))
        downloadLine = "download [rambin] [0x20008000] [3001]\r\n";

    QVERIFY(host.open(link));
    say("version \r\n");
    QVERIFY(host.waitFor(marker));
    QVERIFY(host.waitFor("\r\n"));
    say(downloadLine);
    QVERIFY(host.waitFor("C"));
    host.port.close();
    QVERIFY(runSb(sbOptions, link, loaderPath));

    QVERIFY(host.open(link));
    say("\r\nfilecount\r\n");
    QVERIFY(host.waitFor("\r\nfc:0\r\n"));
    say("baudrate " + QByteArray::number(speed) + "\r\n");
    QVERIFY(host.waitFor("baudrate " + QByteArray::number(speed) + "\r\n"));
    host.setBaud(speed);
    say("\r\nstartaddr 0x00001000\r\n");
    QVERIFY(host.waitFor("\r\nstartaddr 0x00001000\r\n"));
    QVERIFY(host.waitFor("\r\npppp\r\n"));
    say("upgrade \r\n");
    QVERIFY(host.waitFor("upgrade"));
    QVERIFY(host.waitFor("C"));
    QVERIFY(host.closeAtSpeed(link, speed == 921600 ? B921600 : speed == 460800 ? B460800 : B115200));
    QVERIFY(runSb(sbOptions, link, imagePath));

    QVERIFY(host.open(link, speed));
    say("baudrate 115200\r\n");
    QVERIFY(host.waitFor("baudrate 115200\r\n"));
    host.setBaud(115200);
    say("\r\nfilecount\r\n");
    QVERIFY(host.waitFor("\r\nfc:1\r\n"));
    say("\r\ndownloadsucess\r\n");
    say("reboot \r\n");
    say("version \r\n");
    QVERIFY(host.waitFor(marker));

    QCOMPARE(sim.image(0, 0x1000), image);
    const QList<QJsonObject> images = events(sim, QStringLiteral("image"));
    QCOMPARE(images.size(), 2);
    QCOMPARE(images.at(0).value(QStringLiteral("kind")).toString(), QStringLiteral("loader"));
    QCOMPARE(images.at(0).value(QStringLiteral("size")).toInt(), loader.size());
    QCOMPARE(images.at(0).value(QStringLiteral("sha256")).toString().toLatin1(), QCryptographicHash::hash(loader, QCryptographicHash::Sha256).toHex());
    QFile storedLoader(QDir(sim.outDir()).filePath(QStringLiteral("chip0-boot1-loader-ramcode.bin")));
    QVERIFY(storedLoader.open(QIODevice::ReadOnly));
    QCOMPARE(storedLoader.readAll(), loader);
    QCOMPARE(images.at(1).value(QStringLiteral("path")).toString(), QStringLiteral("chip0-boot1-file1-0x00001000.bin"));
    QCOMPARE(images.at(1).value(QStringLiteral("file")).toInt(), 1);
    const QJsonArray blocks = images.at(1).value(QStringLiteral("blocks")).toArray();
    QCOMPARE(blocks.first().toInt(), sbOptions.contains(QStringLiteral("-k")) ? 1024 : 128);
    int total = 0;
    for (const QJsonValue &block : blocks)
        total += block.toInt();
    QVERIFY(total >= image.size() && total - image.size() < 1024);

    QTRY_COMPARE(sim.receivedLines(0), sent);
    QVERIFY2(violations(sim).isEmpty(), qPrintable(violations(sim).join(QLatin1String(" | "))));
    QStringList states;
    for (const QJsonObject &event : events(sim, QStringLiteral("state")))
        states << event.value(QStringLiteral("what")).toString() + QString::number(event.value(QStringLiteral("boot")).toInt());
    QCOMPARE(states, (QStringList{"rom1", "ram1", "rom2"}));
    for (const QJsonObject &event : sim.transcript(0)) {
        QVERIFY(event.contains(QStringLiteral("t")) && event.contains(QStringLiteral("baud")) && event.contains(QStringLiteral("chipbaud")));
        if (event.value(QStringLiteral("ev")).toString() == QLatin1String("rx")
            && event.value(QStringLiteral("line")).toString() == QLatin1String("\r\nstartaddr 0x00001000\r\n")) {
            QCOMPARE(event.value(QStringLiteral("baud")).toInt(), speed);
            QCOMPARE(event.value(QStringLiteral("chipbaud")).toInt(), speed);
        }
    }
}

void tst_ChipSim::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("ram");
    QTest::addColumn<QStringList>("steps");

    const QStringList header = {"header:app.bin:3072", "reply:ack", "reply:C"};

    QTest::newRow("silent") << "silent" << false << QStringList{"send:version \r\n", "silence:300", "send:version \r\n", "silence:300"};
    QTest::newRow("delay") << "delay=500" << false << QStringList{"send:version \r\n", "silence:300", "expect:Jun 19 2019/21:01:04\r\n"};
    QTest::newRow("drop version once") << "drop=version" << false
                                       << QStringList{"send:version \r\n", "silence:300", "send:version \r\n", "expect:Jun 19 2019/21:01:04\r\n"};
    QTest::newRow("drop version always") << "dropall=version" << false
                                         << QStringList{"send:version \r\n", "silence:300", "send:version \r\n", "silence:300"};
    QTest::newRow("drop download") << "drop=download" << false << QStringList{"send:download \r\n", "silence:700", "violation:given up"};
    QTest::newRow("drop ferase_all") << "drop=ferase_all" << true
                                     << QStringList{"send:ferase_all \r\n", "silence:300", "send:ferase_all \r\n", "expect:\r\npppp\r\n"};
    QTest::newRow("drop baudrate still switches") << "drop=baudrate" << true
                                                  << QStringList{"send:baudrate 921600\r\n", "silence:300", "baud:921600",
                                                                 "send:baudrate 921600\r\n", "expect:\r\nbaudrate 921600\r\n"};
    QTest::newRow("drop startaddr") << "drop=startaddr" << true
                                    << QStringList{"send:\r\nstartaddr 0x00001000\r\n", "silence:300", "send:\r\nstartaddr 0x00001000\r\n",
                                                   "expect:\r\nstartaddr 0x00001000\r\n\r\npppp\r\n"};
    QTest::newRow("drop upgrade") << "drop=upgrade" << true << (uploadTo(0x1000) + QStringList{"absent:upgrade"});
    QTest::newRow("drop filecount") << "drop=filecount" << true
                                    << QStringList{"send:\r\nfilecount\r\n", "silence:300", "send:\r\nfilecount\r\n", "expect:\r\nfc:0\r\n"};
    QTest::newRow("drop filecount always") << "dropall=filecount" << true
                                           << QStringList{"send:\r\nfilecount\r\n", "silence:300", "send:\r\nfilecount\r\n", "silence:300"};
    QTest::newRow("ffff startaddr") << "ffff=startaddr" << true
                                    << QStringList{"send:\r\nstartaddr 0x00001000\r\n", "expect:\r\nstartaddr 0x00001000\r\n\r\nffff\r\n", "absent:pppp"};
    QTest::newRow("ffff ferase_all") << "ffff=ferase_all" << true << QStringList{"send:ferase_all \r\n", "expect:\r\nffff\r\n", "absent:pppp"};
    QTest::newRow("nak") << "nak=2" << true
                         << (uploadTo(0x2000) + header
                             + QStringList{"block:1", "reply:ack", "block:2", "reply:nak", "block:2", "reply:ack", "block:3", "reply:ack",
                                           "eot", "reply:nak", "eot", "reply:ack", "reply:C", "end", "reply:ack"});
    QTest::newRow("can") << "can=2" << true
                         << (uploadTo(0x2000) + header
                             + QStringList{"block:1", "reply:ack", "block:2", "reply:can", "reply:can", "send:\r\nfilecount\r\n", "expect:fc:0"});
    QTest::newRow("abort with A") << "abort-a=2" << true
                                  << (uploadTo(0x2000) + header
                                      + QStringList{"block:1", "reply:ack", "block:2", "reply:A", "send:\r\nfilecount\r\n", "expect:fc:0"});
    QTest::newRow("unknown cmd instead of C") << "unknown-on-c" << true
                                              << QStringList{"send:\r\nstartaddr 0x00001000\r\n", "expect:pppp\r\n", "send:upgrade \r\n",
                                                             "expect:\r\nupgrade\r\n\r\nunknown cmd!\r\nC"};
    QTest::newRow("disconnect") << "disconnect=2" << true
                                << (uploadTo(0x2000) + header + QStringList{"block:1", "reply:ack", "block:2", "reply:none", "gone"});
}

void tst_ChipSim::faults()
{
    QFETCH(QString, fault);
    QFETCH(bool, ram);
    QFETCH(QStringList, steps);

    ChipSimProcess sim;
    QStringList args{QStringLiteral("--fault"), QStringLiteral("0:") + fault, QStringLiteral("--give-up-ms"), QStringLiteral("600"),
                      QStringLiteral("--erase-ms"), QStringLiteral("100")};
    if (ram)
        args << QStringLiteral("--set") << QStringLiteral("0:ram=1");
    QVERIFY(sim.start(1, args));
    Host host;
    QVERIFY(host.open(sim.linkPath(0)));
    runScript(sim, host, steps);
}

void tst_ChipSim::protocolChecks_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<bool>("ram");
    QTest::addColumn<QStringList>("steps");

    const QStringList header = {"header:app.bin:2048", "reply:ack", "reply:C"};

    QTest::newRow("ZR740C line accepted") << "ZR740C" << false << QStringList{"send:download [rambin][0x20000000] [3001]\r\n", "expect:C"};
    QTest::newRow("ZR610A line accepted") << "ZR610A" << false << QStringList{"send:download [rambin] [0x20008000] [3001]\r\n", "expect:C"};
    QTest::newRow("ZR740C refuses the ZR610A line")
        << "ZR740C" << false
        << QStringList{"send:download [rambin] [0x20008000] [3001]\r\n", "silence:400", "violation:download line",
                       "send:version \r\n", "expect:Mar 14 2021/00:23:32"};
    QTest::newRow("ZR610A refuses the ZR740C line") << "ZR610A" << false
                                                    << QStringList{"send:download [rambin][0x20000000] [3001]\r\n", "silence:400", "violation:download line"};
    QTest::newRow("ZR740A refuses a line without the blank") << "ZR740A" << false
                                                             << QStringList{"send:download\r\n", "silence:400", "violation:download line"};
    QTest::newRow("loader size differs from the line")
        << "ZR740C" << false
        << QStringList{"send:download [rambin][0x20000000] [100]\r\n", "expect:C", "header:ramcode.bin:200", "reply:can", "reply:can",
                       "violation:differs", "send:version \r\n", "expect:Mar 14 2021/00:23:32"};
    QTest::newRow("unknown RAM command") << "ZR740A" << true
                                         << QStringList{"send:flash_all \r\n", "expect:\r\nunknown cmd!\r\n", "violation:unknown command"};
    QTest::newRow("version in RAM") << "ZR740A" << true << QStringList{"send:version \r\n", "expect:\r\nRAMCODE\r\n"};
    QTest::newRow("bad CRC is refused")
        << "ZR740A" << true << (uploadTo(0x3000) + header + QStringList{"block:1:crc", "reply:nak", "violation:bad CRC", "block:1", "reply:ack"});
    QTest::newRow("bad complement is refused")
        << "ZR740A" << true << (uploadTo(0x3000) + header + QStringList{"block:1:cpl", "reply:nak", "violation:complement", "block:1", "reply:ack"});
    QTest::newRow("repeated block acknowledged")
        << "ZR740A" << true << (uploadTo(0x3000) + header + QStringList{"block:1", "reply:ack", "block:1", "reply:ack", "block:2", "reply:ack"});
    QTest::newRow("skipped block cancels")
        << "ZR740A" << true << (uploadTo(0x3000) + header + QStringList{"block:2", "reply:can", "violation:block 2 where block 1"});
    QTest::newRow("header without size cancels")
        << "ZR740A" << true << (uploadTo(0x3000) + QStringList{"header:app.bin:", "reply:can", "violation:no decimal size"});
    QTest::newRow("host cancels")
        << "ZR740A" << true
        << (uploadTo(0x3000) + header + QStringList{"block:1", "reply:ack", "send:\x18\x18", "violation:cancelled by the host",
                                                    "send:\r\nfilecount\r\n", "expect:\r\nfc:0\r\n"});
    QTest::newRow("silent host is given up")
        << "ZR740A" << true
        << (uploadTo(0x3000) + QStringList{"violation:given up", "send:\r\nfilecount\r\n", "expect:\r\nfc:0\r\n"});
    QTest::newRow("short file is not counted")
        << "ZR740A" << true
        << (uploadTo(0x3000) + QStringList{"header:app.bin:5000", "reply:ack", "reply:C", "block:1", "reply:ack", "eot", "reply:nak",
                                           "eot", "reply:can", "reply:can", "violation:ended after 1024 of 5000", "send:\r\nfilecount\r\n", "expect:fc:0"});
    QTest::newRow("whole file is counted")
        << "ZR740A" << true
        << (uploadTo(0x3000) + header
            + QStringList{"block:1", "reply:ack", "block:2", "reply:ack", "eot", "reply:nak", "eot", "reply:ack", "reply:C", "end",
                          "reply:ack", "send:\r\nfilecount\r\n", "expect:\r\nfc:1\r\n"});
}

void tst_ChipSim::protocolChecks()
{
    QFETCH(QString, family);
    QFETCH(bool, ram);
    QFETCH(QStringList, steps);

    ChipSimProcess sim;
    QStringList args{QStringLiteral("--families"), family, QStringLiteral("--give-up-ms"), QStringLiteral("600")};
    if (ram)
        args << QStringLiteral("--set") << QStringLiteral("0:ram=1");
    QVERIFY(sim.start(1, args));
    Host host;
    QVERIFY(host.open(sim.linkPath(0)));
    runScript(sim, host, steps);
}

void tst_ChipSim::baudMismatch()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(1, {QStringLiteral("--set"), QStringLiteral("0:ram=1")}));
    Host host;

    // A host at the wrong speed is not heard.
    QVERIFY(host.open(sim.linkPath(0), 9600));
    runScript(sim, host, {"send:version \r\n", "silence:400", "violation:baud mismatch"});

    // After "baudrate" only the new speed is understood, whatever speed the host asks for.
    host.setBaud(115200);
    runScript(sim, host, {"send:baudrate 250000\r\n", "expect:\r\nbaudrate 250000\r\n", "send:\r\nfilecount\r\n", "silence:400",
                          "baud:250000", "send:\r\nfilecount\r\n", "expect:\r\nfc:0\r\n"});
    const QList<QJsonObject> rx = events(sim, QStringLiteral("rx"));
    QVERIFY(!rx.isEmpty());
    QCOMPARE(rx.last().value(QStringLiteral("baud")).toInt(), 250000);
    QCOMPARE(rx.last().value(QStringLiteral("chipbaud")).toInt(), 250000);
    int mismatches = 0;
    for (const QJsonObject &event : events(sim, QStringLiteral("violation")))
        mismatches += event.value(QStringLiteral("what")).toString() == QLatin1String("baud mismatch");
    QVERIFY(mismatches >= 2);
}

void tst_ChipSim::unplugAndReplug()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(2, {QStringLiteral("--set"), QStringLiteral("0:ram=1")}));
    const QString link = sim.linkPath(0);
    QVERIFY(QFileInfo(link).isSymLink());
    QVERIFY(QFileInfo(link).exists());

    Host host;
    QVERIFY(host.open(link));
    runScript(sim, host, uploadTo(0x1000) + QStringList{"header:a.bin:1024", "reply:ack", "reply:C", "block:1", "reply:ack", "eot",
                                                        "reply:nak", "eot", "reply:ack", "reply:C", "end", "reply:ack"});

    QVERIFY(sim.command(QStringLiteral("unplug 0")));
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(!QFileInfo(link).exists());
    QVERIFY(QFileInfo(sim.linkPath(1)).exists());
    QVERIFY(!sim.command(QStringLiteral("unplug 0")));
    QVERIFY(!sim.command(QStringLiteral("reboot 0")));
    host.port.close();
    Host stale;
    QVERIFY(!stale.open(link));

    // A fresh chip of a second boot: its images never overwrite those of the first.
    QVERIFY(sim.command(QStringLiteral("replug 0")));
    QVERIFY(QFileInfo(link).exists());
    QVERIFY(host.open(link));
    runScript(sim, host, {"send:\r\nfilecount\r\n", "expect:\r\nfc:0\r\n"});
    runScript(sim, host, uploadTo(0x1000) + QStringList{"header:b.bin:1024", "reply:ack", "reply:C", "block:2", "reply:can"});
    runScript(sim, host, uploadTo(0x1000) + QStringList{"header:b.bin:1024", "reply:ack", "reply:C", "block:1", "reply:ack", "eot",
                                                        "reply:nak", "eot", "reply:ack", "reply:C", "end", "reply:ack"});
    QVERIFY(QFileInfo::exists(QDir(sim.outDir()).filePath(QStringLiteral("chip0-boot1-file1-0x00001000.bin"))));
    QVERIFY(QFileInfo::exists(QDir(sim.outDir()).filePath(QStringLiteral("chip0-boot2-file1-0x00001000.bin"))));
    QCOMPARE(sim.image(0, 0x1000), blockData(1));

    QStringList states;
    for (const QJsonObject &event : events(sim, QStringLiteral("state")))
        states << event.value(QStringLiteral("what")).toString();
    QCOMPARE(states, (QStringList{"ram", "unplug", "replug", "ram"}));
}

void tst_ChipSim::lifecycle()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(20, {QStringLiteral("--families"), QStringLiteral("ZR740A,ZR740C,ZR610A"), QStringLiteral("--fault"),
                           QStringLiteral("19:silent")}));
    QStringList links;
    for (int n = 0; n < 20; ++n) {
        links << sim.linkPath(n);
        QVERIFY(QFileInfo(links.last()).exists());
    }
    QCOMPARE(QFileInfo(links.at(7)).fileName(), QStringLiteral("ttySIM7"));

    Host host;
    QVERIFY(host.open(links.at(1)));
    runScript(sim, host, {"send:version \r\n", "expect:Mar 14 2021/00:23:32"});
    QVERIFY(!host.rx.contains("Jan"));
    QVERIFY(sim.command(QStringLiteral("fault 1 dropall=version")));
    runScript(sim, host, {"send:version \r\n", "silence:400"});
    QVERIFY(sim.command(QStringLiteral("clear 1")));
    runScript(sim, host, {"send:version \r\n", "expect:Mar 14 2021/00:23:32"});
    QVERIFY(!sim.command(QStringLiteral("fault 1 nonsense")));
    QVERIFY(!sim.command(QStringLiteral("set 1 colour=blue")));
    QVERIFY(sim.command(QStringLiteral("set 1 ram=1")));
    QVERIFY(sim.command(QStringLiteral("reboot 1")));
    runScript(sim, host, {"send:version \r\n", "expect:\r\nRAMCODE\r\n"});
    host.port.close();

    Host second;
    QVERIFY(second.open(links.at(2)));
    second.send("version \r\n");
    QVERIFY(second.waitFor("Jan"));
    second.port.close();

    // The end of the control input leaves the chips running; SIGTERM ends them tidily.
    QVERIFY(sim.command(QStringLiteral("reboot 0")));
    const QString linkDir = QFileInfo(links.at(0)).path();
    QVERIFY(QDir(linkDir).exists());
    sim.closeControl();
    QTest::qWait(300);
    QVERIFY(sim.isRunning());
    QVERIFY(host.open(links.at(0)));
    runScript(sim, host, {"send:version \r\n", "expect:Jun 19 2019/21:01:04"});
    host.port.close();
    sim.stop();
    QCOMPARE(sim.exitCode(), 0);
    QCOMPARE(QDir(linkDir).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList());
}

void tst_ChipSim::badArguments_data()
{
    QTest::addColumn<QStringList>("args");

    QTest::newRow("no chips") << QStringList{"--chips", "0"};
    QTest::newRow("too many chips") << QStringList{"--chips", "21"};
    QTest::newRow("chips not a number") << QStringList{"--chips", "four"};
    QTest::newRow("unknown family") << QStringList{"--chips", "2", "--families", "ZR740A,ZR999"};
    QTest::newRow("fault for a missing chip") << QStringList{"--chips", "2", "--fault", "2:silent"};
    QTest::newRow("unknown fault") << QStringList{"--chips", "2", "--fault", "0:explode"};
    QTest::newRow("drop of a command without answer") << QStringList{"--chips", "2", "--fault", "0:drop=reboot"};
    QTest::newRow("ffff for a command without pppp") << QStringList{"--chips", "2", "--fault", "0:ffff=version"};
    QTest::newRow("block zero") << QStringList{"--chips", "2", "--fault", "0:nak=0"};
    QTest::newRow("unknown option key") << QStringList{"--chips", "2", "--set", "1:colour=blue"};
    QTest::newRow("set without chip") << QStringList{"--chips", "2", "--set", "ram=1"};
    QTest::newRow("negative erase time") << QStringList{"--chips", "2", "--erase-ms", "-5"};
    QTest::newRow("unknown option") << QStringList{"--chips", "2", "--colour"};
    QTest::newRow("stray argument") << QStringList{"--chips", "2", "extra"};
}

void tst_ChipSim::badArguments()
{
    QFETCH(QStringList, args);

    QTemporaryDir dir;
    QProcess process;
    process.start(QStringLiteral(ZDZ_CHIPSIM_BIN), args + QStringList{QStringLiteral("--dir"), dir.path(), QStringLiteral("--out"), dir.filePath(QStringLiteral("out"))});
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 2);
    QVERIFY(!process.readAllStandardError().trimmed().isEmpty());
    QVERIFY(process.readAllStandardOutput().isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList());
}

QTEST_GUILESS_MAIN(tst_ChipSim)
#include "tst_chipsim.moc"
