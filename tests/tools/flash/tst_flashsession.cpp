#include "chipsimprocess.h"
#include "errorcodes.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
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

    // Collects the stdout lines that have come so far.
    FlashProcess &takeLines()
    {
        pending += readAllStandardOutput();
        for (int lf; (lf = pending.indexOf('\n')) >= 0; pending.remove(0, lf + 1))
            lines.append(QString::fromUtf8(pending.left(lf)));
        return *this;
    }
    // Waits for the end and checks it was a normal exit with the given status.
    bool finishesWith(int status, int timeoutMs = 60000)
    {
        const bool ended = state() == QProcess::NotRunning || waitForFinished(timeoutMs);
        takeLines();
        const bool ok = ended && exitStatus() == QProcess::NormalExit && exitCode() == status;
        if (!ok)
            qWarning("zdz-flash %s, exit code %d; stdout:\n%s", ended ? "ended" : "still running", exitCode(),
                     qPrintable(lines.join(QLatin1Char('\n'))));
        return ok;
    }
    // Every stdout line as a JSON object; false when one is not.
    bool json(QList<QJsonObject> *objects) const
    {
        for (const QString &line : lines) {
            const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8());
            if (!doc.isObject())
                return false;
            objects->append(doc.object());
        }
        return true;
    }

    QStringList lines;

protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }

private:
    QByteArray pending;
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

QList<QJsonObject> images(const ChipSimProcess &sim, int chip)
{
    const QList<QJsonObject> all = eventsOf(sim.transcript(chip), QStringLiteral("ev"), QStringLiteral("image"));
    return eventsOf(all, QStringLiteral("kind"), QStringLiteral("image"));
}

QStringList violations(const ChipSimProcess &sim, int chip)
{
    QStringList found;
    for (const QJsonObject &event : eventsOf(sim.transcript(chip), QStringLiteral("ev"), QStringLiteral("violation")))
        found << event.value(QStringLiteral("what")).toString();
    return found;
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = static_cast<char>(QRandomGenerator::global()->bounded(256));
    return bytes;
}

const QString Pass = QStringLiteral("PASS 0 (0x0000) Success");
} // namespace

// zdz-flash against simulated chips: what a line script sees on stdout, its exit status,
// and what really arrived in each chip.
class TestFlashSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void writesTwoPorts_data();
    void writesTwoPorts();
    void refusesWrongArgumentsWithoutTouchingALine_data();
    void refusesWrongArgumentsWithoutTouchingALine();
    void jsonRun_data();
    void jsonRun();

private:
    QTemporaryDir files;
    // One chip shared by every refused command line: none of them may ever reach it.
    ChipSimProcess idleSim;
    // Sizes off the 1 KB block size, so padding on the line would show in the chip.
    QByteArray imageA = randomBytes(5000);
    QByteArray imageB = randomBytes(40123);
    QString pathA = files.filePath(QStringLiteral("a.bin"));
    QString pathB = files.filePath(QStringLiteral("b.bin"));
};

void TestFlashSession::initTestCase()
{
    for (const auto &file : {qMakePair(pathA, imageA), qMakePair(pathB, imageB)}) {
        QFile out(file.first);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file.second) == file.second.size());
    }
}

void TestFlashSession::writesTwoPorts_data()
{
    QTest::addColumn<QString>("simArgs");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("second");

    QTest::newRow("two families, both pass") << "--families ZR740A,ZR610A" << 0 << Pass;
    QTest::newRow("second chip refuses its address")
        << "--fault 1:ffff=startaddr" << 1 << "FAIL 1030 (0x0406) " + ErrorCodes::errorString(ErrorCodes::RESULT_STARTADDR_READ_FAILED);
}

void TestFlashSession::writesTwoPorts()
{
    QFETCH(QString, simArgs);
    QFETCH(int, status);
    QFETCH(QString, second);

    ChipSimProcess sim;
    QVERIFY(sim.start(2, simArgs.split(QLatin1Char(' '))));
    FlashProcess flash({"--port", sim.linkPath(0), "--port", sim.linkPath(1), "--file", pathA + "@0x1000", "--file", pathB + "@20000",
                        "--baudrate", "921600"});
    QVERIFY(flash.finishesWith(status));

    for (int chip = 0; chip < 2; ++chip) {
        const QString port = sim.linkPath(chip);
        const bool pass = chip == 0 || status == 0;
        QCOMPARE(flash.lines.filter(port + QStringLiteral(": chip ")),
                 QStringList{port + QStringLiteral(": chip 1 ") + (pass ? Pass : second)});
        QVERIFY(flash.lines.contains(port + QStringLiteral(": summary %1 passed, %2 failed").arg(pass ? 1 : 0).arg(pass ? 0 : 1)));
        QCOMPARE(images(sim, chip).size(), pass ? 2 : 0);
        QCOMPARE(sim.image(chip, 0x1000), pass ? imageA : QByteArray());
        QCOMPARE(sim.image(chip, 0x20000), pass ? imageB : QByteArray());
        QVERIFY2(violations(sim, chip).isEmpty(), qPrintable(violations(sim, chip).join(QLatin1String(" | "))));
    }
    // Both lines were served at once: each chip heard from the host before the other got its last image.
    if (status == 0) {
        const auto firstRx = [&](int chip) { return eventsOf(sim.transcript(chip), "ev", "rx").value(0).value("t").toDouble(-1); };
        const auto lastImage = [&](int chip) { return images(sim, chip).constLast().value(QStringLiteral("t")).toDouble(); };
        QVERIFY(firstRx(0) >= 0 && firstRx(1) >= 0);
        QVERIFY(firstRx(0) < lastImage(1) && firstRx(1) < lastImage(0));
    }
}

void TestFlashSession::refusesWrongArgumentsWithoutTouchingALine_data()
{
    QTest::addColumn<QString>("args");
    QTest::addColumn<int>("code");

    // "{port}" is the simulated chip's line, "{a}" an existing image.
    auto row = [](const char *name, const QString &args, int code) { QTest::newRow(name) << args << code; };
    row("unknown option", "--port {port} --file {a}@0 --verify", ErrorCodes::RESULT_ARGS_PARSE_FAILED);
    row("no file", "--port {port}", ErrorCodes::RESULT_ARGS_MISSING);
    row("second port missing", "--port {port} --port {port}-gone --file {a}@0", ErrorCodes::RESULT_ARG_PORT_INVALID);
    row("speed below range", "--port {port} --file {a}@0 --baudrate 115199", ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("speed above range", "--port {port} --file {a}@0 --baudrate 3000001", ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("file missing", "--port {port} --file {a}.gone@0", ErrorCodes::RESULT_ARG_FILENAME_INVALID);
    row("file twice", "--port {port} --file {a}@0 --file {a}@8000", ErrorCodes::RESULT_ARG_FILENAME_INVALID);
    row("address not aligned", "--port {port} --file {a}@0x1800", ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
    row("address twice", "--port {port} --file {a}@0x1000 --file {b}@1000", ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
}

void TestFlashSession::refusesWrongArgumentsWithoutTouchingALine()
{
    QFETCH(QString, args);
    QFETCH(int, code);

    if (!idleSim.isRunning())
        QVERIFY(idleSim.start(1));
    FlashProcess flash(args.replace(QLatin1String("{port}"), idleSim.linkPath(0))
                           .replace(QLatin1String("{a}"), pathA)
                           .replace(QLatin1String("{b}"), pathB)
                           .split(QLatin1Char(' ')));
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
void TestFlashSession::jsonRun_data()
{
    QTest::addColumn<QString>("simArgs");
    QTest::addColumn<QString>("args");
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("results");

    const QString download = QStringLiteral("--baudrate 460800 --file {a}@0x8000");
    QTest::newRow("erase, ZR740C in ROM") << "--families ZR740C" << "--erase" << 0 << 0 << 0 << 1;
    QTest::newRow("erase, ZR610A in ROM") << "--families ZR610A" << "--erase" << 0 << 0 << 0 << 1;
    QTest::newRow("download with progress") << "--families ZR740A" << "--progress " + download << 0 << 0 << 0 << 1;
    QTest::newRow("continuous, chip after chip, SIGTERM")
        << "--families ZR740A" << "--continuous " + download << int(SIGTERM) << 0 << 0 << 2;
    // Still at the first speed after a failure, the same simulated chip stands in for the next one.
    QTest::newRow("continuous, chips refusing their address, SIGINT")
        << "--fault 0:ffff=startaddr" << "--continuous --file {a}@0x8000" << int(SIGINT) << 1
        << ErrorCodes::RESULT_STARTADDR_READ_FAILED << 2;
    // A silent chip keeps a single run waiting for its "version" answer.
    QTest::newRow("single run cut short, SIGTERM") << "--fault 0:silent" << download << int(SIGTERM) << 1 << 0 << 0;
}

void TestFlashSession::jsonRun()
{
    QFETCH(QString, simArgs);
    QFETCH(QString, args);
    QFETCH(int, signalNumber);
    QFETCH(int, status);
    QFETCH(int, code);
    QFETCH(int, results);

    ChipSimProcess sim;
    QVERIFY(sim.start(1, simArgs.split(QLatin1Char(' '))));
    FlashProcess flash(QStringList{"--json", "--port", sim.linkPath(0)}
                       + args.replace(QLatin1String("{a}"), pathA).split(QLatin1Char(' ')));
    const bool continuous = args.contains(QLatin1String("--continuous"));
    if (signalNumber) {
        QTRY_VERIFY_WITH_TIMEOUT(
            continuous ? flash.takeLines().lines.filter("\"result\"").size() >= 2 : !sim.receivedLines(0).isEmpty(), 60000);
        QCOMPARE(flash.state(), QProcess::Running);
        QCOMPARE(::kill(static_cast<pid_t>(flash.processId()), signalNumber), 0);
    }
    QVERIFY(flash.finishesWith(status));

    QList<QJsonObject> objects;
    QVERIFY2(flash.json(&objects), qPrintable(flash.lines.join(QLatin1Char('\n'))));
    QCOMPARE(eventsOf(objects, QStringLiteral("port"), sim.linkPath(0)).size(), objects.size());
    QCOMPARE(objects.constFirst().value(QStringLiteral("event")).toString(), QStringLiteral("start"));
    const int speed = args.contains(QLatin1String("--erase")) ? 0 : args.contains(QLatin1String("460800")) ? 460800 : 115200;
    QCOMPARE(objects.constFirst().value(QStringLiteral("baudrate")).toInt(), speed);
    const QList<QJsonObject> found = eventsOf(objects, QStringLiteral("event"), QStringLiteral("result"));
    QVERIFY(continuous ? found.size() >= results : found.size() == results);
    for (int i = 0; i < found.size(); ++i) {
        QCOMPARE(found.at(i).value(QStringLiteral("chip")).toInt(), i + 1);
        QCOMPARE(found.at(i).value(QStringLiteral("code")).toInt(-1), code);
        QCOMPARE(found.at(i).value(QStringLiteral("message")).toString(), ErrorCodes::errorString(code));
        QCOMPARE(found.at(i).value(QStringLiteral("pass")).toBool(), code == 0);
    }
    const QJsonObject summary = objects.constLast();
    QCOMPARE(summary.value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("passed")).toInt(-1), code == 0 ? found.size() : 0);
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(-1), code == 0 ? 0 : found.size());
    QCOMPARE(summary.value(QStringLiteral("interrupted")).toBool(), found.isEmpty());
    QVERIFY2(violations(sim, 0).isEmpty(), qPrintable(violations(sim, 0).join(QLatin1String(" | "))));

    const QStringList received = sim.receivedLines(0);
    if (args.contains(QLatin1String("--erase"))) {
        QCOMPARE(received.filter(QRegularExpression(QStringLiteral("^ferase_all"))).size(), 1);
        QVERIFY(received.filter(QRegularExpression(QStringLiteral("^(startaddr|upgrade)"))).isEmpty());
    }
    // Each pass is a fresh chip with its own image: the host's "reboot" brought the simulator back in ROM.
    QStringList paths;
    for (const QJsonObject &image : images(sim, 0))
        paths << image.value(QStringLiteral("path")).toString();
    QCOMPARE(paths.size(), code == 0 && !args.contains(QLatin1String("--erase")) ? found.size() : 0);
    QCOMPARE(paths.removeDuplicates(), 0);
    QCOMPARE(sim.image(0, 0x8000), paths.isEmpty() ? QByteArray() : imageA);

    const QList<QJsonObject> progress = eventsOf(objects, QStringLiteral("event"), QStringLiteral("progress"));
    QCOMPARE(progress.isEmpty(), !args.contains(QLatin1String("--progress")));
    int last = -1;
    for (const QJsonObject &object : progress) {
        QCOMPARE(object.value(QStringLiteral("file")).toInt(), 1);
        QVERIFY(object.value(QStringLiteral("progress")).toInt(-1) > last);
        last = object.value(QStringLiteral("progress")).toInt(-1);
    }
    QVERIFY(progress.isEmpty() || (progress.size() >= 2 && last == 100));
}

QTEST_GUILESS_MAIN(TestFlashSession)
#include "tst_flashsession.moc"
