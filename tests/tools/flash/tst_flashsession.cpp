#include "chipsimprocess.h"
#include "errorcodes.h"
#include "flashoptions.h"
#include "preparedrecords.h"
#include "ptypair.h"
#include "testsupport.h"

#include <QtTest>

#include <sys/stat.h>

static QByteArray json(const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

// zdz-flash against simulated chips: what a line script sees on stdout and stderr, its status, its record.
class TestFlashSession : public QObject
{
    Q_OBJECT

    QTemporaryDir files;
    QString startDir = QDir::currentPath();
    // One chip shared by every refused command line: none of them may ever reach it.
    ChipSimProcess idleSim;
    QString pathA = files.filePath(QStringLiteral("a.bin"));

    // "{d}" is the test folder, "{a}" an existing image, "{port}" the idle chip's line.
    QStringList expand(QString args) const
    {
        args.replace("{d}", files.path()).replace("{a}", pathA).replace("{port}", idleSim.linkPath(0));
        return args.split(QLatin1Char(' '));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(writeFile(pathA, patternBytes(5000)) && writeFile(files.filePath("b.bin"), patternBytes(40123)));
        QVERIFY(idleSim.start(1) && QDir(files.path()).mkpath("sub") && QDir(files.path()).mkpath("v2@rel"));
        for (const char *name : {"c.bin", "d.bin", "e.bin", "v2@rel/app.bin", "plain.txt"})
            QVERIFY(writeFile(files.filePath(name), "image"));
    }
    void cleanup() { QDir::setCurrent(startDir); }

    // Every wrong argument is refused with its own code and the argument named, before a line is touched.
    void refusesWrongArguments_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<int>("code");
        using E = ErrorCodes;
        const int parse = E::RESULT_ARGS_PARSE_FAILED, port = E::RESULT_ARG_PORT_INVALID;
        const int speed = E::RESULT_ARG_BAUDRATE_INVALID, file = E::RESULT_ARG_FILENAME_INVALID;
        const int address = E::RESULT_ARG_START_ADDR_INVALID;
        const QString a = QStringLiteral(" --file {a}@0x1000"), p = QStringLiteral("--port {port} ");
        QTest::newRow("unknown option") << p + "--file {a}@0 --verify" << parse;
        QTest::newRow("no file") << "--port {port}" << int(E::RESULT_ARGS_MISSING);
        QTest::newRow("five files") << p + "--file {a}@1000 --file {d}/b.bin@2000 --file {d}/c.bin@3000"
                                           " --file {d}/d.bin@4000 --file {d}/e.bin@5000" << parse;
        QTest::newRow("second port missing") << p + "--port {port}-gone" + a << port;
        QTest::newRow("port is a plain file") << "--port {d}/plain.txt" + a << port;
        QTest::newRow("same port by name and path") << "--port null --port /dev/null" + a << port;
        QTest::newRow("speed above range") << p + "--baudrate 3000001" + a << speed;
        QTest::newRow("speed 2^32 + 115200") << p + "--baudrate 4295082496" + a << speed;
        QTest::newRow("file missing") << p + "--file {a}.gone@0" << file;
        QTest::newRow("same file twice") << p + "--file {d}/sub/../a.bin@2000" + a << file;
        QTest::newRow("address not aligned") << p + "--file {a}@0x1800" << address;
        QTest::newRow("address over 32 bits") << p + "--file {a}@0x100001000" << address;
        QTest::newRow("same address twice") << p + "--file {d}/b.bin@1000" + a << address;
        QTest::newRow("loader folder twice") << p + "--loader-dir {d} --loader-dir {d}/sub" + a << parse;
        QTest::newRow("two record files") << p + "--record {d}/r1 --record {d}/r2" + a << parse;
        QTest::newRow("record file without a name") << p + "--record=" + a << parse;
        // The password must not reach the operator's screen or a log.
        QTest::newRow("server URL without database") << p + "--record postgresql://u:s3cret@db/" + a << parse;
        QTest::newRow("local record without a server") << p + "--record {d}/r1 --local-record {d}/r2" + a << parse;
        QTest::newRow("empty host name") << p + "--host=" + a << parse;
    }

    void refusesWrongArguments()
    {
        QFETCH(QString, args);
        QFETCH(int, code);
        FlashProcess flash(expand(args));
        QVERIFY(flash.finishesWith(2, 20000) && flash.lines.isEmpty());
        const QString message = code == ErrorCodes::RESULT_ARG_BAUDRATE_INVALID
                                    ? QStringLiteral("Invalid: baudrate must be set and in range [115200, 3000000].")
                                    : ErrorCodes::errorString(code);
        const QStringList err = flash.err.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(err.size() == 2 && !err.at(1).trimmed().isEmpty() && !flash.err.contains("s3cret"),
                 qPrintable(flash.err));
        QCOMPARE(err.at(0), QStringLiteral("error 0x%1: %2").arg(code, 4, 16, QLatin1Char('0')).arg(message));
        // A wrong command line never reaches a chip: a stray "version" would already wake it.
        QTest::qWait(100);
        QCOMPARE(idleSim.receivedLines(0), QStringList());
    }

    // Every accepted argument reaches the worker unchanged.
    void acceptsArguments_data()
    {
        QTest::addColumn<QString>("args");
        // "devices | files | speed | mode | loader folder" as the worker gets them, paths relative to the test's.
        QTest::addColumn<QString>("parsed");
        QTest::newRow("system names, every address form, order kept, lowest speed")
            << "--port null --port zero --file {d}/d.bin@0x4000 --file {d}/b.bin@ABC000"
               " --file {d}/c.bin@0X000000000001F000 --file {a}@0 --baudrate 115200"
            << "/dev/null /dev/zero | d.bin@4000 b.bin@abc000 c.bin@1f000 a.bin@0 | 115200 | single | built-in";
        // Started in /, so the relative port must be resolved against the start folder, not /dev.
        QTest::newRow("relative port, top sector, path split at the last @, highest speed, continuous")
            << "--port ./dev/null --file {d}/v2@rel/app.bin@0xfffff000 --baudrate 3000000 --continuous"
               " --loader-dir {d}/sub/"
            << "/dev/null | v2@rel/app.bin@fffff000 | 3000000 | continuous | sub";
    }

    void acceptsArguments()
    {
        QFETCH(QString, args);
        QFETCH(QString, parsed);
        QVERIFY(QDir::setCurrent(QStringLiteral("/")));
        FlashOptions options;
        QVERIFY2(options.parse(QStringList("zdz-flash") + expand(args)) && options.errorCode() == 0,
                 qPrintable(options.errorDetail()));
        UserConfig config = options.userConfig();
        const QDir dir(files.path());
        QStringList images;
        for (const FileCfg &file : config.fileList())
            images << dir.relativeFilePath(file.filePath) + '@' + QString::number(file.startAddr, 16);
        const quint32 mode = config.downloadMode();
        const QStringList found{options.portDevices().join(' '), images.join(' '), QString::number(config.baudrate()),
                                mode == UserConfig::DOWNLOAD_MODE_CONTINUOUS   ? "continuous"
                                : mode == UserConfig::DOWNLOAD_MODE_SINGLESHOT ? "single" : "?",
                                config.loaderDir().isEmpty() ? "built-in" : dir.relativeFilePath(config.loaderDir())};
        QCOMPARE(found.join(" | "), parsed);
        QCOMPARE(int(config.validFileCount()), images.size());
    }

    // Chips with --json: every line an object of one port, its start first and its summary last; a signal
    // stops the flasher once two chips are done (continuous) or the run has begun.
    void jsonRun_data()
    {
        QTest::addColumn<int>("chips");
        QTest::addColumn<QString>("simArgs");
        QTest::addColumn<QString>("args");
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("results");
        const QString download = QStringLiteral("--baudrate 460800 --file {a}@0x8000");
        const int term = SIGTERM, fail = ErrorCodes::RESULT_STARTADDR_READ_FAILED;
        QTest::newRow("erase, ZR740C in ROM") << 1 << "--families ZR740C" << "--erase" << 0 << 0 << 0 << 1;
        QTest::newRow("download, progress") << 1 << "--families ZR740A" << "--progress " + download << 0 << 0 << 0 << 1;
        QTest::newRow("two families at once, two files") << 2 << "--families ZR740A,ZR610A"
            << "--baudrate 921600 --file {a}@0x8000 --file {d}/b.bin@20000" << 0 << 0 << 0 << 1;
        QTest::newRow("continuous, chip after chip, SIGTERM") << 1 << "--families ZR740A"
            << "--continuous " + download << term << 0 << 0 << 2;
        // Still at the first speed after a failure, the same simulated chip stands in for the next one.
        QTest::newRow("continuous, chips refusing their address, SIGINT") << 1 << "--fault 0:ffff=startaddr"
            << "--continuous --file {a}@0x8000" << int(SIGINT) << 1 << fail << 2;
        // A silent chip keeps a single run waiting for its "version" answer.
        QTest::newRow("single run cut short, SIGTERM") << 1 << "--fault 0:silent" << download << term << 1 << 0 << 0;
    }

    void jsonRun()
    {
        QFETCH(int, chips);
        QFETCH(QString, simArgs);
        QFETCH(QString, args);
        QFETCH(int, signalNumber);
        QFETCH(int, status);
        QFETCH(int, code);
        QFETCH(int, results);
        ChipSimProcess sim;
        QVERIFY(sim.start(chips, simArgs.split(QLatin1Char(' '))));
        QStringList command{"--json"};
        for (int chip = 0; chip < chips; ++chip)
            command << "--port" << sim.linkPath(chip);
        const QString record = files.filePath(QString(QTest::currentDataTag()) + ".sqlite");
        FlashProcess flash(command + expand(args) << "--record" << record);
        const bool continuous = args.contains("--continuous"), erase = args.contains("--erase");
        if (signalNumber) {
            QTRY_VERIFY_WITH_TIMEOUT(continuous ? flash.peek(1 << 20).count("\"result\"") >= 2
                                                : !sim.receivedLines(0).isEmpty(), 60000);
            QCOMPARE(flash.state(), QProcess::Running);
            QCOMPARE(::kill(static_cast<pid_t>(flash.processId()), signalNumber), 0);
        }
        QVERIFY(flash.finishesWith(status));

        // By port, and by port and event; a line of no chip's port makes one port too many.
        QMap<QString, QList<QJsonObject>> byPort, byEvent;
        for (const QString &line : flash.lines) {
            const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
            QVERIFY2(object.contains("event"), qPrintable(line));
            byPort[object.value("port").toString()] << object;
            byEvent[object.value("port").toString() + ' ' + object.value("event").toString()] << object;
        }
        QCOMPARE(byPort.size(), chips);
        const QString speed = QRegularExpression("--baudrate (\\d+)").match(args).captured(1);
        const int baudrate = erase ? 0 : speed.isEmpty() ? 115200 : speed.toInt();
        QStringList recorded;
        for (int chip = 0; chip < chips; ++chip) {
            const QString port = sim.linkPath(chip);
            const QList<QJsonObject> objects = byPort.value(port);
            QCOMPARE(objects.constFirst().value("event").toString(), QStringLiteral("start"));
            QCOMPARE(objects.constFirst().value("baudrate").toInt(), baudrate);
            const QList<QJsonObject> found = byEvent.value(port + " result");
            QVERIFY(continuous ? found.size() >= results : found.size() == results);
            // Every result is in the record before the summary, under its station, with its images.
            for (int i = 0; i < found.size(); ++i) {
                QCOMPARE(json(found.at(i)), json({{"port", port}, {"event", "result"}, {"chip", i + 1},
                                                  {"pass", code == 0}, {"code", code},
                                                  {"message", ErrorCodes::errorString(code)}}));
                recorded << QStringList{QString::number(chip + 1), port, QString::number(code),
                                        QString::number(args.count("--file")), continuous ? "1" : "0"}.join(' ');
            }
            QJsonObject summary{{"port", port}, {"event", "summary"}, {"passed", code == 0 ? found.size() : 0},
                                {"failed", code == 0 ? 0 : found.size()}};
            if (found.isEmpty())
                summary.insert("interrupted", true);
            QCOMPARE(json(objects.constLast()), json(summary));

            // Progress of the one file, rising to 100.
            QList<int> percents;
            for (const QJsonObject &object : byEvent.value(port + " progress"))
                percents << (object.value("file").toInt() == 1 ? object.value("progress").toInt(-1) : -1);
            QCOMPARE(percents.isEmpty(), !args.contains("--progress"));
            const auto fall = std::adjacent_find(percents.cbegin(), percents.cend(), std::greater_equal<int>());
            QVERIFY(percents.isEmpty() || (percents.size() >= 2 && percents.constFirst() >= 0
                                           && percents.constLast() == 100 && fall == percents.cend()));
        }
        // Neither line waited for the other: each chip heard the host before the other got its last image.
        for (int chip = 0; chip < chips && chips == 2; ++chip) {
            const double firstRx = sim.fields(chip, "rx", "t").value(0, "-1").toDouble();
            QVERIFY(firstRx >= 0 && firstRx < sim.fields(1 - chip, "image", "t").constLast().toDouble());
        }
        QCOMPARE(queryRows(record, "SELECT station, port, code, (SELECT COUNT(*) FROM chip_run_images i WHERE"
                                   " i.run_id = r.id), continuous FROM chip_runs r ORDER BY station, id"), recorded);
    }

    // A line the operator may not open fails with 513, the group that owns the device and the fix.
    void portPermissionDenied()
    {
        PtyPair pty;
        QVERIFY2(pty.open(), qPrintable(pty.errorString()));
        const QString port = pty.slavePath();
        const QFile::Permissions everyone = QFile::ReadOwner | QFile::ReadOther;
        QVERIFY(::chmod(QFile::encodeName(port).constData(), 0) == 0 && QFile::setPermissions(pathA, everyone));
        QVERIFY(QFile::setPermissions(files.path(), everyone | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther));
        FlashProcess flash({"--port", port, "--file", pathA + "@0x1000"}, true);
        QVERIFY(flash.finishesWith(1));
        const QString group = QFileInfo(port).group();
        QCOMPARE(flash.lines.filter(port + ": ").mid(1),
                 (QStringList{port + ": chip 1 FAIL 513 (0x0201) Failed to open serial port, maybe not exist or be "
                              "occupied. No permission to open " + port + ": add the user to the group '" + group
                                  + "' that owns it (sudo usermod -aG " + group + " $USER), then log in again.",
                              port + ": summary 0 passed, 1 failed"}));
    }
};

QTEST_GUILESS_MAIN(TestFlashSession)
#include "tst_flashsession.moc"
