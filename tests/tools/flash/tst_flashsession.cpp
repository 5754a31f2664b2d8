#include "chipsimprocess.h"
#include "errorcodes.h"
#include "testsupport.h"

#include <QRandomGenerator>
#include <QtTest>

#include <csignal>
#include <sys/prctl.h>

#ifndef ZDZ_FLASH_BIN
#error "ZDZ_FLASH_BIN must name the zdz-flash binary"
#endif

namespace {

// The flasher as a script on a production line runs it; it goes down with the test.
class FlashProcess : public QProcess
{
public:
    explicit FlashProcess(const QStringList &args) { start(QStringLiteral(ZDZ_FLASH_BIN), args); }
    // Waits for the end and checks it was a normal exit with the given status; stdout must end its last line.
    bool finishesWith(int status, int timeoutMs = 60000)
    {
        const bool ok = (state() == QProcess::NotRunning || waitForFinished(timeoutMs)) && exitStatus() == QProcess::NormalExit
                        && exitCode() == status;
        const QByteArray out = readAllStandardOutput();
        lines = out.isEmpty() ? QStringList() : QString::fromUtf8(out.chopped(1)).split(QLatin1Char('\n'));
        if (!ok)
            qWarning("zdz-flash did not end with %d; stdout:\n%s", status, out.constData());
        return ok;
    }

    QStringList lines;

protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }
};

QList<QJsonObject> eventsOf(const QList<QJsonObject> &objects, const QString &key, const QString &value)
{
    QList<QJsonObject> found;
    for (const QJsonObject &object : objects) {
        if (object.value(key).toString() == value)
            found.append(object);
    }
    return found;
}

// One field of every transcript event of one kind, as text.
QStringList fields(const ChipSimProcess &sim, int chip, const QString &ev, const QString &key)
{
    QStringList found;
    for (const QJsonObject &event : eventsOf(sim.transcript(chip), QStringLiteral("ev"), ev))
        found << event.value(key).toVariant().toString();
    return found;
}

QByteArray randomBytes(int size)
{
    QVector<quint32> words(size / 4 + 1);
    QRandomGenerator::global()->fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

const QString Pass = QStringLiteral("PASS 0 (0x0000) Success");
} // namespace

// zdz-flash against simulated chips: what a line script sees on stdout, its exit status,
// and what really arrived in each chip.
class TestFlashSession : public QObject
{
    Q_OBJECT

    QTemporaryDir files;
    // One chip shared by every refused command line: none of them may ever reach it.
    ChipSimProcess idleSim;
    // Sizes off the 1 KB block size, so padding on the line would show in the chip.
    QByteArray imageA = randomBytes(5000);
    QByteArray imageB = randomBytes(40123);
    QString pathA = files.filePath(QStringLiteral("a.bin"));
    QString pathB = files.filePath(QStringLiteral("b.bin"));

private slots:
    void initTestCase() { QVERIFY(writeFile(pathA, imageA) && writeFile(pathB, imageB) && idleSim.start(1)); }

    void writesTwoPorts_data()
    {
        QTest::addColumn<QString>("simArgs");
        QTest::addColumn<QString>("second");
        QTest::newRow("two families, both pass") << "--families ZR740A,ZR610A" << Pass;
        QTest::newRow("second chip refuses its address")
            << "--fault 1:ffff=startaddr" << "FAIL 1030 (0x0406) " + ErrorCodes::errorString(ErrorCodes::RESULT_STARTADDR_READ_FAILED);
    }

    void writesTwoPorts()
    {
        QFETCH(QString, simArgs);
        QFETCH(QString, second);
        const int status = second == Pass ? 0 : 1;
        ChipSimProcess sim;
        QVERIFY(sim.start(2, simArgs.split(QLatin1Char(' '))));
        FlashProcess flash({"--port", sim.linkPath(0), "--port", sim.linkPath(1), "--file", pathA + "@0x1000", "--file", pathB + "@20000",
                            "--baudrate", "921600"});
        QVERIFY(flash.finishesWith(status));
        for (int chip = 0; chip < 2; ++chip) {
            const QString port = sim.linkPath(chip);
            const bool pass = chip == 0 || status == 0;
            QCOMPARE(flash.lines.filter(port + ": chip "), QStringList{port + ": chip 1 " + (pass ? Pass : second)});
            QVERIFY(flash.lines.contains(port + QStringLiteral(": summary %1 passed, %2 failed").arg(pass ? 1 : 0).arg(pass ? 0 : 1)));
            QCOMPARE(fields(sim, chip, "image", "path").filter("-file").size(), pass ? 2 : 0);
            QCOMPARE(sim.image(chip, 0x1000), pass ? imageA : QByteArray());
            QCOMPARE(sim.image(chip, 0x20000), pass ? imageB : QByteArray());
            QCOMPARE(fields(sim, chip, "violation", "what"), QStringList());
        }
        // Both lines were served at once: each chip heard from the host before the other got its last image.
        const auto firstRx = [&](int chip) { return fields(sim, chip, "rx", "t").value(0, "-1").toDouble(); };
        const auto lastImage = [&](int chip) { return fields(sim, chip, "image", "t").constLast().toDouble(); };
        QVERIFY(status != 0 || (firstRx(0) >= 0 && firstRx(1) >= 0 && firstRx(0) < lastImage(1) && firstRx(1) < lastImage(0)));
    }

    void refusesWrongArgumentsWithoutTouchingALine_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<int>("code");
        // "{port}" is the simulated chip's line, "{a}" an existing image.
        QTest::newRow("unknown option") << "--port {port} --file {a}@0 --verify" << ErrorCodes::RESULT_ARGS_PARSE_FAILED;
        QTest::newRow("no file") << "--port {port}" << ErrorCodes::RESULT_ARGS_MISSING;
        QTest::newRow("second port missing") << "--port {port} --port {port}-gone --file {a}@0" << ErrorCodes::RESULT_ARG_PORT_INVALID;
        QTest::newRow("speed above range") << "--port {port} --file {a}@0 --baudrate 3000001" << ErrorCodes::RESULT_ARG_BAUDRATE_INVALID;
        QTest::newRow("file missing") << "--port {port} --file {a}.gone@0" << ErrorCodes::RESULT_ARG_FILENAME_INVALID;
        QTest::newRow("address not aligned") << "--port {port} --file {a}@0x1800" << ErrorCodes::RESULT_ARG_START_ADDR_INVALID;
    }

    void refusesWrongArgumentsWithoutTouchingALine()
    {
        QFETCH(QString, args);
        QFETCH(int, code);
        FlashProcess flash(args.replace("{port}", idleSim.linkPath(0)).replace("{a}", pathA).split(QLatin1Char(' ')));
        QVERIFY(flash.finishesWith(2, 20000));
        QVERIFY(flash.lines.isEmpty());
        const QString message = code == ErrorCodes::RESULT_ARG_BAUDRATE_INVALID
                                    ? QStringLiteral("Invalid: baudrate must be set and in range [115200, 3000000].")
                                    : ErrorCodes::errorString(code);
        QCOMPARE(QString::fromUtf8(flash.readAllStandardError()).section(QLatin1Char('\n'), 0, 0),
                 QStringLiteral("error 0x%1: %2").arg(code, 4, 16, QLatin1Char('0')).arg(message));
        // A wrong command line never reaches a chip: a stray "version" would already wake it.
        QTest::qWait(100);
        QCOMPARE(idleSim.receivedLines(0), QStringList());
    }

    // One chip with --json: every line an object of this port, the start first, the summary last; with a
    // signal the flasher is stopped once two chips are done (continuous) or the run has begun.
    void jsonRun_data()
    {
        QTest::addColumn<QString>("simArgs");
        QTest::addColumn<QString>("args");
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("results");
        const QString download = QStringLiteral("--baudrate 460800 --file {a}@0x8000");
        QTest::newRow("erase, ZR740C in ROM") << "--families ZR740C" << "--erase" << 0 << 0 << 0 << 1;
        QTest::newRow("download with progress") << "--families ZR740A" << "--progress " + download << 0 << 0 << 0 << 1;
        QTest::newRow("continuous, chip after chip, SIGTERM") << "--families ZR740A" << "--continuous " + download << int(SIGTERM) << 0 << 0 << 2;
        // Still at the first speed after a failure, the same simulated chip stands in for the next one.
        QTest::newRow("continuous, chips refusing their address, SIGINT")
            << "--fault 0:ffff=startaddr" << "--continuous --file {a}@0x8000" << int(SIGINT) << 1 << ErrorCodes::RESULT_STARTADDR_READ_FAILED << 2;
        // A silent chip keeps a single run waiting for its "version" answer.
        QTest::newRow("single run cut short, SIGTERM") << "--fault 0:silent" << download << int(SIGTERM) << 1 << 0 << 0;
    }

    void jsonRun()
    {
        QFETCH(QString, simArgs);
        QFETCH(QString, args);
        QFETCH(int, signalNumber);
        QFETCH(int, status);
        QFETCH(int, code);
        QFETCH(int, results);
        ChipSimProcess sim;
        QVERIFY(sim.start(1, simArgs.split(QLatin1Char(' '))));
        const QString port = sim.linkPath(0);
        FlashProcess flash(QStringList{"--json", "--port", port} + args.replace("{a}", pathA).split(QLatin1Char(' ')));
        const bool continuous = args.contains("--continuous");
        const bool erase = args.contains("--erase");
        if (signalNumber) {
            QTRY_VERIFY_WITH_TIMEOUT(continuous ? flash.peek(1 << 20).count("\"result\"") >= 2 : !sim.receivedLines(0).isEmpty(), 60000);
            QCOMPARE(flash.state(), QProcess::Running);
            QCOMPARE(::kill(static_cast<pid_t>(flash.processId()), signalNumber), 0);
        }
        QVERIFY(flash.finishesWith(status));

        const auto json = [](const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); };
        QList<QJsonObject> objects;
        for (const QString &line : flash.lines) {
            QVERIFY2(QJsonDocument::fromJson(line.toUtf8()).isObject(), qPrintable(line));
            objects << QJsonDocument::fromJson(line.toUtf8()).object();
        }
        QCOMPARE(eventsOf(objects, "port", port).size(), objects.size());
        QCOMPARE(objects.constFirst().value("event").toString(), QStringLiteral("start"));
        QCOMPARE(objects.constFirst().value("baudrate").toInt(), erase ? 0 : args.contains("460800") ? 460800 : 115200);
        const QList<QJsonObject> found = eventsOf(objects, "event", "result");
        QVERIFY(continuous ? found.size() >= results : found.size() == results);
        for (int i = 0; i < found.size(); ++i)
            QCOMPARE(json(found.at(i)), json({{"port", port}, {"event", "result"}, {"chip", i + 1}, {"pass", code == 0}, {"code", code},
                                              {"message", ErrorCodes::errorString(code)}}));
        QJsonObject summary{{"port", port}, {"event", "summary"}, {"passed", code == 0 ? found.size() : 0}, {"failed", code == 0 ? 0 : found.size()}};
        if (found.isEmpty())
            summary.insert("interrupted", true);
        QCOMPARE(json(objects.constLast()), json(summary));
        QCOMPARE(fields(sim, 0, "violation", "what"), QStringList());

        const QStringList received = sim.receivedLines(0);
        if (erase) {
            QCOMPARE(received.filter(QRegularExpression("^ferase_all")).size(), 1);
            QVERIFY(received.filter(QRegularExpression("^\\s*(startaddr|upgrade)")).isEmpty());
        }
        // Each pass is a fresh chip with its own image: the host's "reboot" brought the simulator back in ROM.
        QStringList paths = fields(sim, 0, "image", "path").filter("-file");
        QCOMPARE(paths.size(), code == 0 && !erase ? found.size() : 0);
        QCOMPARE(paths.removeDuplicates(), 0);
        QCOMPARE(sim.image(0, 0x8000), paths.isEmpty() ? QByteArray() : imageA);

        // Progress of the one file, rising to 100.
        QList<int> percents;
        for (const QJsonObject &object : eventsOf(objects, "event", "progress"))
            percents << (object.value("file").toInt() == 1 ? object.value("progress").toInt(-1) : -1);
        QCOMPARE(percents.isEmpty(), !args.contains("--progress"));
        QVERIFY(percents.isEmpty() || (percents.size() >= 2 && percents.constFirst() >= 0 && percents.constLast() == 100
                                       && std::adjacent_find(percents.cbegin(), percents.cend(), std::greater_equal<int>()) == percents.cend()));
    }
};

QTEST_GUILESS_MAIN(TestFlashSession)
#include "tst_flashsession.moc"
