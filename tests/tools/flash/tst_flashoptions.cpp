#include "errorcodes.h"
#include "flashoptions.h"
#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>

// The flasher's command line: every wrong argument is refused with its own code before a port is
// touched, and every accepted one reaches the worker unchanged.
class TestFlashOptions : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString startDir = QDir::currentPath();

    // "{d}" stands for the test folder; /dev/null is a character device present everywhere.
    QStringList expand(const QString &args) const { return QString("zdz-flash " + args).replace("{d}", dir.path()).split(QLatin1Char(' ')); }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir(dir.path()).mkpath("sub") && QDir(dir.path()).mkpath("v2@rel"));
        for (const char *name : {"a.bin", "b.bin", "c.bin", "d.bin", "e.bin", "v2@rel/app.bin", "plain.txt"})
            QVERIFY(writeFile(dir.filePath(name), "image"));
    }
    void cleanup() { QDir::setCurrent(startDir); }

    void refusesWrongArguments_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<int>("code");
        const QString a = QStringLiteral(" --file {d}/a.bin@0x1000");
        QTest::newRow("five files") << "--port /dev/null --file {d}/a.bin@1000 --file {d}/b.bin@2000 --file {d}/c.bin@3000 --file {d}/d.bin@4000"
                                       " --file {d}/e.bin@5000" << ErrorCodes::RESULT_ARGS_PARSE_FAILED;
        QTest::newRow("port is a plain file") << "--port {d}/plain.txt" + a << ErrorCodes::RESULT_ARG_PORT_INVALID;
        QTest::newRow("same port by name and path") << "--port null --port /dev/null" + a << ErrorCodes::RESULT_ARG_PORT_INVALID;
        QTest::newRow("speed 2^32 + 115200") << "--port /dev/null --baudrate 4295082496" + a << ErrorCodes::RESULT_ARG_BAUDRATE_INVALID;
        QTest::newRow("same file twice") << "--port /dev/null --file {d}/sub/../a.bin@2000" + a << ErrorCodes::RESULT_ARG_FILENAME_INVALID;
        QTest::newRow("address over 32 bits") << "--port /dev/null --file {d}/a.bin@0x100001000" << ErrorCodes::RESULT_ARG_START_ADDR_INVALID;
        QTest::newRow("loader folder twice") << "--port /dev/null --loader-dir {d} --loader-dir {d}/sub" + a << ErrorCodes::RESULT_ARGS_PARSE_FAILED;
        QTest::newRow("same address twice") << "--port /dev/null --file {d}/b.bin@1000" + a << ErrorCodes::RESULT_ARG_START_ADDR_INVALID;
        QTest::newRow("two record files") << "--port /dev/null --record {d}/r1 --record {d}/r2" + a << ErrorCodes::RESULT_ARGS_PARSE_FAILED;
        QTest::newRow("record file without a name") << "--port /dev/null --record=" + a << ErrorCodes::RESULT_ARGS_PARSE_FAILED;
        QTest::newRow("server URL without database") << "--port /dev/null --record postgresql://u:s3cret@db/" + a << ErrorCodes::RESULT_ARGS_PARSE_FAILED;
        QTest::newRow("two server URLs") << "--port /dev/null --record postgresql://u:s3cret@db/x --record postgresql://u:s3cret@db/y" + a
                                         << ErrorCodes::RESULT_ARGS_PARSE_FAILED;
        QTest::newRow("local record without a server") << "--port /dev/null --record {d}/r1 --local-record {d}/r2" + a
                                                       << ErrorCodes::RESULT_ARGS_PARSE_FAILED;
        QTest::newRow("empty host name") << "--port /dev/null --host=" + a << ErrorCodes::RESULT_ARGS_PARSE_FAILED;
    }

    void refusesWrongArguments()
    {
        QFETCH(QString, args);
        QFETCH(int, code);
        FlashOptions options;
        QVERIFY(!options.parse(expand(args)));
        QCOMPARE(options.errorCode(), code);
        QVERIFY(!options.helpRequested() && !options.errorDetail().isEmpty());
        QVERIFY2(!options.errorDetail().contains(QLatin1String("s3cret")), qPrintable(options.errorDetail()));
        QCOMPARE(options.errorMessage(), code == ErrorCodes::RESULT_ARG_BAUDRATE_INVALID
                                             ? QStringLiteral("Invalid: baudrate must be set and in range [115200, 3000000].")
                                             : ErrorCodes::errorString(code));
    }

    void acceptsArguments_data()
    {
        QTest::addColumn<QString>("args");
        // "devices | files | speed | mode | loader folder" as the worker gets them; files and folder relative to the test folder.
        QTest::addColumn<QString>("parsed");
        QTest::newRow("system names, every address form, order kept, lowest speed")
            << "--port null --port zero --file {d}/d.bin@0x4000 --file {d}/b.bin@ABC000 --file {d}/c.bin@0X000000000001F000 --file {d}/a.bin@0 "
               "--baudrate 115200"
            << "/dev/null /dev/zero | d.bin@4000 b.bin@abc000 c.bin@1f000 a.bin@0 | 115200 | single | built-in";
        QTest::newRow("top sector, path split at the last @, highest speed, continuous")
            << "--port /dev/null --file {d}/v2@rel/app.bin@0xfffff000 --baudrate 3000000 --continuous --loader-dir {d}/sub/"
            << "/dev/null | v2@rel/app.bin@fffff000 | 3000000 | continuous | sub";
        // Started in /, so a relative port must be resolved against the start folder, not /dev.
        QTest::newRow("relative device path becomes absolute") << "--port ./dev/null --file {d}/a.bin@0" << "/dev/null | a.bin@0 | 115200 | single | built-in";
    }

    void acceptsArguments()
    {
        QFETCH(QString, args);
        QFETCH(QString, parsed);
        QVERIFY(QDir::setCurrent(QStringLiteral("/")));
        FlashOptions options;
        QVERIFY2(options.parse(expand(args)) && options.errorCode() == 0, qPrintable(options.errorDetail()));
        UserConfig config = options.userConfig();
        QStringList files;
        for (const FileCfg &file : config.fileList()) {
            QVERIFY2(QFileInfo(file.filePath).isAbsolute(), qPrintable(file.filePath));
            files.append(QDir(dir.path()).relativeFilePath(file.filePath) + '@' + QString::number(file.startAddr, 16));
        }
        const quint32 mode = config.downloadMode();
        const QString modeName = mode == UserConfig::DOWNLOAD_MODE_CONTINUOUS ? "continuous" : mode == UserConfig::DOWNLOAD_MODE_SINGLESHOT ? "single" : "?";
        const QString loaders = config.loaderDir().isEmpty() ? "built-in" : QDir(dir.path()).relativeFilePath(config.loaderDir());
        QVERIFY(config.loaderDir().isEmpty() || QFileInfo(config.loaderDir()).isAbsolute());
        QCOMPARE(QStringList({options.portDevices().join(' '), files.join(' '), QString::number(config.baudrate()), modeName, loaders}).join(" | "), parsed);
        QCOMPARE(options.continuous(), args.contains("--continuous"));
        QCOMPARE(int(config.validFileCount()), files.size());
    }

    void helpNeedsNothingElse()
    {
        FlashOptions options;
        QVERIFY(options.parse({"zdz-flash", "--help"}) && options.helpRequested());
    }
};

QTEST_GUILESS_MAIN(TestFlashOptions)
#include "tst_flashoptions.moc"
