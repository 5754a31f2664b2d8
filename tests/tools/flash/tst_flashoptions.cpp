#include "errorcodes.h"
#include "flashoptions.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

// The flasher's command line: every wrong argument is refused with its own code before a port is
// touched, and every accepted one reaches the worker unchanged.
class TestFlashOptions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup() { QDir::setCurrent(startDir); }
    void refusesWrongArguments_data();
    void refusesWrongArguments();
    void acceptsArguments_data();
    void acceptsArguments();
    void helpNeedsNothingElse();

private:
    // "{d}" stands for the test folder; /dev/null is a character device present everywhere.
    QStringList expand(const QString &args) const
    {
        return QString(QStringLiteral("zdz-flash ") + args).replace(QLatin1String("{d}"), dir.path()).split(QLatin1Char(' '));
    }

    QTemporaryDir dir;
    QString startDir = QDir::currentPath();
};

void TestFlashOptions::initTestCase()
{
    QDir root(dir.path());
    QVERIFY(root.mkpath(QStringLiteral("sub")) && root.mkpath(QStringLiteral("v2@rel")));
    for (const char *name : {"a.bin", "b.bin", "c.bin", "d.bin", "e.bin", "v2@rel/app.bin", "plain.txt"}) {
        QFile file(root.filePath(QLatin1String(name)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("image") == 5);
    }
}

void TestFlashOptions::refusesWrongArguments_data()
{
    QTest::addColumn<QString>("args");
    QTest::addColumn<int>("code");
    auto row = [](const char *name, const QString &args, int code) { QTest::newRow(name) << args << code; };
    const QString a = QStringLiteral(" --file {d}/a.bin@0x1000");

    row("unknown option", "--port /dev/null --speed 115200" + a, ErrorCodes::RESULT_ARGS_PARSE_FAILED);
    row("five files",
        "--port /dev/null --file {d}/a.bin@1000 --file {d}/b.bin@2000 --file {d}/c.bin@3000 --file {d}/d.bin@4000 --file {d}/e.bin@5000",
        ErrorCodes::RESULT_ARGS_PARSE_FAILED);
    row("erase is never continuous", "--port /dev/null --erase --continuous", ErrorCodes::RESULT_ARGS_PARSE_FAILED);
    row("no port", a.trimmed(), ErrorCodes::RESULT_ARGS_MISSING);
    row("download without a file", "--port /dev/null --baudrate 921600", ErrorCodes::RESULT_ARGS_MISSING);
    row("system name missing", "--port ttyZDZNOSUCH7" + a, ErrorCodes::RESULT_ARG_PORT_INVALID);
    row("port is a plain file", "--port {d}/plain.txt" + a, ErrorCodes::RESULT_ARG_PORT_INVALID);
    row("same port by name and path", "--port null --port /dev/null" + a, ErrorCodes::RESULT_ARG_PORT_INVALID);
    row("speed below range", "--port /dev/null --baudrate 115199" + a, ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("speed above range", "--port /dev/null --baudrate 3000001" + a, ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("speed 2^32 + 115200", "--port /dev/null --baudrate 4295082496" + a, ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("speed with a sign", "--port /dev/null --baudrate +921600" + a, ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("file missing", "--port /dev/null --file {d}/none.bin@1000", ErrorCodes::RESULT_ARG_FILENAME_INVALID);
    row("same file twice", "--port /dev/null --file {d}/sub/../a.bin@2000" + a, ErrorCodes::RESULT_ARG_FILENAME_INVALID);
    row("missing file on erase", "--port /dev/null --erase --file {d}/none.bin@0", ErrorCodes::RESULT_ARG_FILENAME_INVALID);
    row("address not aligned", "--port /dev/null --file {d}/a.bin@0x1001", ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("address missing", "--port /dev/null --file {d}/a.bin", ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("address with a sign", "--port /dev/null --file {d}/a.bin@+1000", ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("address over 32 bits", "--port /dev/null --file {d}/a.bin@0x100001000", ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("same address twice", "--port /dev/null --file {d}/b.bin@1000" + a, ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
}

void TestFlashOptions::refusesWrongArguments()
{
    QFETCH(QString, args);
    QFETCH(int, code);

    FlashOptions options;
    QVERIFY(!options.parse(expand(args)));
    QCOMPARE(options.errorCode(), code);
    QVERIFY(!options.helpRequested());
    QCOMPARE(options.errorMessage(), code == ErrorCodes::RESULT_ARG_BAUDRATE_INVALID
                                         ? QStringLiteral("Invalid: baudrate must be set and in range [115200, 3000000].")
                                         : ErrorCodes::errorString(code));
    QVERIFY(!options.errorDetail().isEmpty());
}

void TestFlashOptions::acceptsArguments_data()
{
    QTest::addColumn<QString>("args");
    // "devices | files | speed", each file as "path@address" with the path relative to the test
    // folder and the address in hex.
    QTest::addColumn<QString>("parsed");

    QTest::newRow("every address form, order kept, lowest speed")
        << "--port /dev/null --file {d}/d.bin@0x4000 --file {d}/b.bin@ABC000 --file {d}/c.bin@0X000000000001F000 --file {d}/a.bin@0 "
           "--baudrate 115200"
        << "/dev/null | d.bin@4000 b.bin@abc000 c.bin@1f000 a.bin@0 | 115200";
    QTest::newRow("top sector, path split at the last @, highest speed, continuous")
        << "--port /dev/null --file {d}/v2@rel/app.bin@0xfffff000 --baudrate 3000000 --continuous"
        << "/dev/null | v2@rel/app.bin@fffff000 | 3000000";
    QTest::newRow("system names mean /dev") << "--port null --port zero --file {d}/a.bin@0" << "/dev/null /dev/zero | a.bin@0 | 115200";
    // Started in /, so a relative port must be resolved against the start folder, not /dev.
    QTest::newRow("relative device path becomes absolute") << "--port ./dev/null --file {d}/a.bin@0" << "/dev/null | a.bin@0 | 115200";
    QTest::newRow("erase needs no file") << "--port /dev/null --erase" << "/dev/null |  | 115200";
}

void TestFlashOptions::acceptsArguments()
{
    QFETCH(QString, args);
    QFETCH(QString, parsed);

    QVERIFY(QDir::setCurrent(QStringLiteral("/")));
    FlashOptions options;
    QVERIFY2(options.parse(expand(args)), qPrintable(QStringLiteral("0x%1 %2").arg(options.errorCode(), 0, 16).arg(options.errorDetail())));
    QCOMPARE(options.errorCode(), 0);
    QCOMPARE(options.portNames().size(), options.portDevices().size());
    QCOMPARE(options.continuous(), args.contains(QLatin1String("--continuous")));
    QCOMPARE(options.erase(), args.contains(QLatin1String("--erase")));
    QStringList files;
    for (const FileCfg &file : options.files()) {
        QVERIFY2(QFileInfo(file.filePath).isAbsolute(), qPrintable(file.filePath));
        files.append(QDir(dir.path()).relativeFilePath(file.filePath) + QLatin1Char('@') + QString::number(file.startAddr, 16));
    }
    QCOMPARE(QStringList({options.portDevices().join(QLatin1Char(' ')), files.join(QLatin1Char(' ')), QString::number(options.baudrate())})
                 .join(QLatin1String(" | ")),
             parsed);

    UserConfig config = options.userConfig();
    QCOMPARE(config.baudrate(), options.baudrate());
    QCOMPARE(config.downloadMode(),
             quint32(options.continuous() ? UserConfig::DOWNLOAD_MODE_CONTINUOUS : UserConfig::DOWNLOAD_MODE_SINGLESHOT));
    QCOMPARE(config.fileList().size(), files.size());
    if (!options.erase())
        QCOMPARE(int(config.validFileCount()), files.size());
}

void TestFlashOptions::helpNeedsNothingElse()
{
    FlashOptions options;
    QVERIFY(options.parse({QStringLiteral("zdz-flash"), QStringLiteral("--help")}));
    QVERIFY(options.helpRequested());
}

QTEST_GUILESS_MAIN(TestFlashOptions)
#include "tst_flashoptions.moc"
