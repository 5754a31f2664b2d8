#include "errorcodes.h"
#include "flashoptions.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The flasher's command line: every wrong argument must be refused with its own code
// before a port is touched, and every accepted one must reach the worker unchanged.
class TestFlashOptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void refusesWrongArguments_data();
    void refusesWrongArguments();
    void acceptsArguments_data();
    void acceptsArguments();
    void helpNeedsNothingElse();

private:
    QStringList expand(const QStringList &args) const;

    QTemporaryDir dir;
    QString startDir;
};

void TestFlashOptions::initTestCase()
{
    QVERIFY(dir.isValid());
    startDir = QDir::currentPath();
    QDir root(dir.path());
    QVERIFY(root.mkpath(QStringLiteral("sub")));
    QVERIFY(root.mkpath(QStringLiteral("v2@rel")));
    for (const QString &name : {QStringLiteral("a.bin"), QStringLiteral("b.bin"), QStringLiteral("c.bin"),
                                QStringLiteral("d.bin"), QStringLiteral("e.bin"), QStringLiteral("v2@rel/app.bin"),
                                QStringLiteral("plain.txt")}) {
        QFile file(root.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("image");
    }
}

void TestFlashOptions::cleanup()
{
    QDir::setCurrent(startDir);
}

// "{d}" stands for the test folder; /dev/null is a character device present everywhere.
QStringList TestFlashOptions::expand(const QStringList &args) const
{
    QStringList out{QStringLiteral("zdz-flash")};
    for (const QString &arg : args)
        out.append(QString(arg).replace(QLatin1String("{d}"), dir.path()));
    return out;
}

void TestFlashOptions::refusesWrongArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");

    const QString port = QStringLiteral("/dev/null");
    const QString a = QStringLiteral("{d}/a.bin@0x1000");
    auto row = [](const char *name, const QStringList &args, int code) {
        QTest::newRow(name) << args << code;
    };

    row("unknown option", {"--port", port, "--file", a, "--speed", "115200"}, ErrorCodes::RESULT_ARGS_PARSE_FAILED);
    row("option without its value", {"--file", a, "--port"}, ErrorCodes::RESULT_ARGS_PARSE_FAILED);
    row("stray word", {"--port", port, "--file", a, "now"}, ErrorCodes::RESULT_ARGS_PARSE_FAILED);
    row("five files",
        {"--port", port, "--file", "{d}/a.bin@1000", "--file", "{d}/b.bin@2000", "--file", "{d}/c.bin@3000", "--file",
         "{d}/d.bin@4000", "--file", "{d}/e.bin@5000"},
        ErrorCodes::RESULT_ARGS_PARSE_FAILED);
    row("erase is never continuous", {"--port", port, "--erase", "--continuous"}, ErrorCodes::RESULT_ARGS_PARSE_FAILED);

    row("nothing at all", {}, ErrorCodes::RESULT_ARGS_MISSING);
    row("no port", {"--file", a}, ErrorCodes::RESULT_ARGS_MISSING);
    row("download without a file", {"--port", port, "--baudrate", "921600"}, ErrorCodes::RESULT_ARGS_MISSING);

    row("port path missing", {"--port", "{d}/ttyNONE", "--file", a}, ErrorCodes::RESULT_ARG_PORT_INVALID);
    row("system name missing", {"--port", "ttyZDZNOSUCH7", "--file", a}, ErrorCodes::RESULT_ARG_PORT_INVALID);
    row("empty port", {"--port", "", "--file", a}, ErrorCodes::RESULT_ARG_PORT_INVALID);
    row("port is a plain file", {"--port", "{d}/plain.txt", "--file", a}, ErrorCodes::RESULT_ARG_PORT_INVALID);
    row("port is a folder", {"--port", "{d}/sub", "--file", a}, ErrorCodes::RESULT_ARG_PORT_INVALID);
    row("second port missing", {"--port", port, "--port", "ttyZDZNOSUCH7", "--file", a},
        ErrorCodes::RESULT_ARG_PORT_INVALID);
    row("same port by name and path", {"--port", "null", "--port", port, "--file", a},
        ErrorCodes::RESULT_ARG_PORT_INVALID);

    row("speed below range", {"--port", port, "--file", a, "--baudrate", "115199"}, ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("speed above range", {"--port", port, "--file", a, "--baudrate", "3000001"}, ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("speed far above 32 bits", {"--port", port, "--file", a, "--baudrate", "4295082496"},
        ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("speed not a number", {"--port", port, "--file", a, "--baudrate", "fast"}, ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("speed negative", {"--port", port, "--file", a, "--baudrate", "-921600"}, ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("speed with blank", {"--port", port, "--file", a, "--baudrate", " 921600"}, ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("speed given twice", {"--port", port, "--file", a, "--baudrate", "921600", "--baudrate", "460800"},
        ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);

    row("file missing", {"--port", port, "--file", "{d}/none.bin@1000"}, ErrorCodes::RESULT_ARG_FILENAME_INVALID);
    row("file is a folder", {"--port", port, "--file", "{d}/sub@1000"}, ErrorCodes::RESULT_ARG_FILENAME_INVALID);
    row("file path empty", {"--port", port, "--file", "@1000"}, ErrorCodes::RESULT_ARG_FILENAME_INVALID);
    row("missing file without address", {"--port", port, "--file", "{d}/none.bin"},
        ErrorCodes::RESULT_ARG_FILENAME_INVALID);
    row("same file twice", {"--port", port, "--file", "{d}/a.bin@1000", "--file", "{d}/sub/../a.bin@2000"},
        ErrorCodes::RESULT_ARG_FILENAME_INVALID);
    row("missing file on erase", {"--port", port, "--erase", "--file", "{d}/none.bin@0"},
        ErrorCodes::RESULT_ARG_FILENAME_INVALID);

    row("address not aligned", {"--port", port, "--file", "{d}/a.bin@0x1001"}, ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("address missing", {"--port", port, "--file", "{d}/a.bin"}, ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("address empty", {"--port", port, "--file", "{d}/a.bin@"}, ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("address prefix only", {"--port", port, "--file", "{d}/a.bin@0x"}, ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("address not hex", {"--port", port, "--file", "{d}/a.bin@12G000"}, ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("address over 32 bits", {"--port", port, "--file", "{d}/a.bin@0x100000000"},
        ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("address negative", {"--port", port, "--file", "{d}/a.bin@-1000"}, ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("address with sign", {"--port", port, "--file", "{d}/a.bin@+1000"}, ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("same address twice", {"--port", port, "--file", "{d}/a.bin@0x1000", "--file", "{d}/b.bin@1000"},
        ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
}

void TestFlashOptions::refusesWrongArguments()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);

    FlashOptions options;
    QVERIFY(!options.parse(expand(args)));
    QCOMPARE(options.errorCode(), code);
    QVERIFY(!options.helpRequested());
    if (code == ErrorCodes::RESULT_ARG_BAUDRATE_INVALID)
        QCOMPARE(options.errorMessage(), QStringLiteral("Invalid: baudrate must be set and in range [115200, 3000000]."));
    else
        QCOMPARE(options.errorMessage(), ErrorCodes::errorString(code));
    QVERIFY(!options.errorMessage().contains(QLatin1Char('%')));
    QVERIFY(!options.errorDetail().isEmpty());
}

void TestFlashOptions::acceptsArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("devices");
    // "path@address" with the path relative to the test folder and the address in hex.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<uint>("baudrate");
    QTest::addColumn<bool>("continuous");
    QTest::addColumn<bool>("erase");
    QTest::addColumn<QString>("workDir");

    const QStringList null{QStringLiteral("/dev/null")};
    QTest::newRow("address with 0x") << QStringList{"--port", "/dev/null", "--file", "{d}/a.bin@0x1000"} << null
                                     << QStringList{"a.bin@1000"} << 115200u << false << false << QString();
    QTest::newRow("address without 0x, upper case")
        << QStringList{"--port", "/dev/null", "--file", "{d}/a.bin@ABC000"} << null << QStringList{"a.bin@abc000"}
        << 115200u << false << false << QString();
    QTest::newRow("address 0X and leading zeros")
        << QStringList{"--port", "/dev/null", "--file", "{d}/a.bin@0X000000000001F000"} << null
        << QStringList{"a.bin@1f000"} << 115200u << false << false << QString();
    QTest::newRow("address zero and top sector")
        << QStringList{"--port", "/dev/null", "--file", "{d}/a.bin@0", "--file", "{d}/b.bin@0xfffff000"} << null
        << QStringList{"a.bin@0", "b.bin@fffff000"} << 115200u << false << false << QString();
    QTest::newRow("path split at the last @")
        << QStringList{"--port", "/dev/null", "--file", "{d}/v2@rel/app.bin@0x2000"} << null
        << QStringList{"v2@rel/app.bin@2000"} << 115200u << false << false << QString();
    QTest::newRow("four files keep their order")
        << QStringList{"--port", "/dev/null", "--file", "{d}/d.bin@4000", "--file", "{d}/b.bin@2000",
                       "--file",  "{d}/c.bin@3000", "--file", "{d}/a.bin@1000"}
        << null << QStringList{"d.bin@4000", "b.bin@2000", "c.bin@3000", "a.bin@1000"} << 115200u << false << false << QString();
    QTest::newRow("lowest speed") << QStringList{"--port", "/dev/null", "--file", "{d}/a.bin@0", "--baudrate", "115200"}
                                  << null << QStringList{"a.bin@0"} << 115200u << false << false << QString();
    QTest::newRow("highest speed, continuous")
        << QStringList{"--port", "/dev/null", "--file", "{d}/a.bin@0", "--baudrate", "3000000", "--continuous"} << null
        << QStringList{"a.bin@0"} << 3000000u << true << false << QString();
    QTest::newRow("system name means /dev")
        << QStringList{"--port", "null", "--port", "zero", "--file", "{d}/a.bin@0"}
        << QStringList{"/dev/null", "/dev/zero"} << QStringList{"a.bin@0"} << 115200u << false << false << QString();
    QTest::newRow("relative device path becomes absolute")
        << QStringList{"--port", "./null", "--file", "{d}/a.bin@0"} << null << QStringList{"a.bin@0"} << 115200u
        << false << false << QStringLiteral("/dev");
    QTest::newRow("erase needs no file") << QStringList{"--port", "/dev/null", "--erase"} << null << QStringList{}
                                         << 115200u << false << true << QString();
}

void TestFlashOptions::acceptsArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, devices);
    QFETCH(QStringList, files);
    QFETCH(uint, baudrate);
    QFETCH(bool, continuous);
    QFETCH(bool, erase);
    QFETCH(QString, workDir);

    // A relative port is resolved against the folder the flasher was started in, not /dev.
    if (!workDir.isEmpty())
        QVERIFY(QDir::setCurrent(workDir));

    FlashOptions options;
    QVERIFY2(options.parse(expand(args)),
             qPrintable(QStringLiteral("0x%1 %2").arg(options.errorCode(), 0, 16).arg(options.errorDetail())));
    QCOMPARE(options.errorCode(), 0);
    QCOMPARE(options.portDevices(), devices);
    QCOMPARE(options.portNames().size(), devices.size());
    QCOMPARE(options.baudrate(), baudrate);
    QCOMPARE(options.continuous(), continuous);
    QCOMPARE(options.erase(), erase);

    QStringList got;
    for (const FileCfg &file : options.files()) {
        QVERIFY2(QFileInfo(file.filePath).isAbsolute(), qPrintable(file.filePath));
        got.append(QDir(dir.path()).relativeFilePath(file.filePath) + QLatin1Char('@')
                   + QString::number(file.startAddr, 16));
    }
    QCOMPARE(got, files);

    UserConfig config = options.userConfig();
    QCOMPARE(config.baudrate(), baudrate);
    QCOMPARE(config.downloadMode(), continuous ? quint32(UserConfig::DOWNLOAD_MODE_CONTINUOUS)
                                               : quint32(UserConfig::DOWNLOAD_MODE_SINGLESHOT));
    QCOMPARE(config.fileList().size(), files.size());
    if (!erase)
        QCOMPARE(int(config.validFileCount()), files.size());
}

void TestFlashOptions::helpNeedsNothingElse()
{
    FlashOptions options;
    QVERIFY(options.parse({QStringLiteral("zdz-flash"), QStringLiteral("--help")}));
    QVERIFY(options.helpRequested());
    const QString help = FlashOptions::helpText();
    for (const char *option : {"--port", "--file", "--baudrate", "--continuous", "--erase", "--json", "--progress"})
        QVERIFY2(help.contains(QLatin1String(option)), option);
}

QTEST_GUILESS_MAIN(TestFlashOptions)
#include "tst_flashoptions.moc"
