#include "chipsimprocess.h"
#include "errorcodes.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <functional>
#include <sys/prctl.h>

#ifndef ZDZ_FLASH_BIN
#error "ZDZ_FLASH_BIN must name the zdz-flash binary"
#endif

namespace {

// The flasher as a script on a production line runs it; it goes down with the test.
class FlashProcess : public QProcess
{
public:
    void start(const QStringList &args)
    {
        setProcessChannelMode(QProcess::SeparateChannels);
        QProcess::start(QStringLiteral(ZDZ_FLASH_BIN), args);
    }

    // Collects stdout lines until done() holds, the process ends or the time is up.
    bool waitFor(const std::function<bool(const QStringList &)> &done, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (;;) {
            takeLines();
            if (done(lines))
                return true;
            if (state() == QProcess::NotRunning || deadline.hasExpired())
                return false;
            waitForReadyRead(static_cast<int>(qBound<qint64>(1, deadline.remainingTime(), 200)));
        }
    }

    bool finish(int timeoutMs)
    {
        const bool ended = state() == QProcess::NotRunning || waitForFinished(timeoutMs);
        takeLines();
        return ended;
    }

    QStringList lines;

protected:
    void setupChildProcess() override { ::prctl(PR_SET_PDEATHSIG, SIGKILL); }

private:
    void takeLines()
    {
        pending += readAllStandardOutput();
        int lf;
        while ((lf = pending.indexOf('\n')) >= 0) {
            lines.append(QString::fromUtf8(pending.left(lf)));
            pending.remove(0, lf + 1);
        }
    }

    QByteArray pending;
};

QList<QJsonObject> jsonLines(const QStringList &lines, bool *allParsed)
{
    QList<QJsonObject> objects;
    *allParsed = true;
    for (const QString &line : lines) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line.toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject())
            *allParsed = false;
        else
            objects.append(doc.object());
    }
    return objects;
}

QList<QJsonObject> eventsOf(const QList<QJsonObject> &objects, const QString &event)
{
    QList<QJsonObject> found;
    for (const QJsonObject &object : objects) {
        if (object.value(QStringLiteral("event")).toString() == event)
            found.append(object);
    }
    return found;
}

int countResults(const QStringList &lines)
{
    bool parsed = false;
    return eventsOf(jsonLines(lines, &parsed), QStringLiteral("result")).size();
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = static_cast<char>(QRandomGenerator::global()->bounded(256));
    return bytes;
}

} // namespace

// zdz-flash against simulated chips: what a line script sees on stdout, its exit status,
// and what really arrived in each chip.
class TestFlashSession : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void writesTwoPortsInParallel();
    void reportsFailingChipBesideGoodOne();
    void refusesWrongArgumentsWithoutTouchingALine_data();
    void refusesWrongArgumentsWithoutTouchingALine();
    void erasesChipInRom_data();
    void erasesChipInRom();
    void printsOneJsonObjectPerLine();
    void continuousModeServesChipAfterChip_data();
    void continuousModeServesChipAfterChip();
    void stopDuringRunEndsCleanly();

private:
    QString writeFile(const QString &name, const QByteArray &bytes);
    static QList<QJsonObject> imageEvents(const ChipSimProcess &sim, int chip);
    static bool hasViolation(const ChipSimProcess &sim, int chip);

    QTemporaryDir files;
    // One chip shared by every refused command line: none of them may ever reach it.
    ChipSimProcess idleSim;
    QByteArray imageA;
    QByteArray imageB;
    QString pathA;
    QString pathB;
};

void TestFlashSession::initTestCase()
{
    QVERIFY(files.isValid());
    // Sizes off the 1 KB block size, so padding on the line would show in the chip.
    imageA = randomBytes(5000);
    imageB = randomBytes(40123);
    pathA = writeFile(QStringLiteral("a.bin"), imageA);
    pathB = writeFile(QStringLiteral("b.bin"), imageB);
    QVERIFY(!pathA.isEmpty() && !pathB.isEmpty());
}

QString TestFlashSession::writeFile(const QString &name, const QByteArray &bytes)
{
    QFile file(files.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return file.fileName();
}

QList<QJsonObject> TestFlashSession::imageEvents(const ChipSimProcess &sim, int chip)
{
    QList<QJsonObject> images;
    for (const QJsonObject &event : sim.transcript(chip)) {
        if (event.value(QStringLiteral("ev")).toString() == QLatin1String("image")
            && event.value(QStringLiteral("kind")).toString() == QLatin1String("image"))
            images.append(event);
    }
    return images;
}

bool TestFlashSession::hasViolation(const ChipSimProcess &sim, int chip)
{
    for (const QJsonObject &event : sim.transcript(chip)) {
        if (event.value(QStringLiteral("ev")).toString() == QLatin1String("violation")) {
            qWarning("chip %d: %s", chip, QJsonDocument(event).toJson(QJsonDocument::Compact).constData());
            return true;
        }
    }
    return false;
}

void TestFlashSession::writesTwoPortsInParallel()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(2, {QStringLiteral("--families"), QStringLiteral("ZR740A,ZR610A")}));

    FlashProcess flash;
    flash.start({"--port", sim.linkPath(0), "--port", sim.linkPath(1), "--file", pathA + "@0x1000", "--file",
                 pathB + "@20000", "--baudrate", "921600"});
    QVERIFY(flash.finish(60000));
    QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
    QCOMPARE(flash.exitCode(), 0);

    for (int chip = 0; chip < 2; ++chip) {
        const QString port = sim.linkPath(chip);
        const QStringList results =
            flash.lines.filter(QRegularExpression(QStringLiteral("^%1: chip \\d+ ").arg(QRegularExpression::escape(port))));
        QCOMPARE(results, QStringList{port + QStringLiteral(": chip 1 PASS 0 (0x0000) Success")});
        QCOMPARE(sim.image(chip, 0x1000), imageA);
        QCOMPARE(sim.image(chip, 0x20000), imageB);
        QCOMPARE(imageEvents(sim, chip).size(), 2);
        QVERIFY(!hasViolation(sim, chip));
    }

    // Both lines were served at once: each chip heard from the host before the other got its last image.
    auto firstRx = [&](int chip) {
        for (const QJsonObject &event : sim.transcript(chip)) {
            if (event.value(QStringLiteral("ev")).toString() == QLatin1String("rx"))
                return event.value(QStringLiteral("t")).toDouble();
        }
        return -1.0;
    };
    auto lastImage = [&](int chip) { return imageEvents(sim, chip).constLast().value(QStringLiteral("t")).toDouble(); };
    QVERIFY(firstRx(0) >= 0 && firstRx(1) >= 0);
    QVERIFY(firstRx(0) < lastImage(1));
    QVERIFY(firstRx(1) < lastImage(0));
}

void TestFlashSession::reportsFailingChipBesideGoodOne()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(2, {QStringLiteral("--fault"), QStringLiteral("1:ffff=startaddr")}));

    FlashProcess flash;
    flash.start({"--port", sim.linkPath(0), "--port", sim.linkPath(1), "--file", pathA + "@0x1000"});
    QVERIFY(flash.finish(60000));
    QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
    QCOMPARE(flash.exitCode(), 1);

    const QString good = sim.linkPath(0);
    const QString bad = sim.linkPath(1);
    QCOMPARE(flash.lines.filter(good + QStringLiteral(": chip ")),
             QStringList{good + QStringLiteral(": chip 1 PASS 0 (0x0000) Success")});
    QCOMPARE(flash.lines.filter(bad + QStringLiteral(": chip ")),
             QStringList{bad + QStringLiteral(": chip 1 FAIL 1030 (0x0406) ")
                         + ErrorCodes::errorString(ErrorCodes::RESULT_STARTADDR_READ_FAILED)});
    QVERIFY(flash.lines.contains(good + QStringLiteral(": summary 1 passed, 0 failed")));
    QVERIFY(flash.lines.contains(bad + QStringLiteral(": summary 0 passed, 1 failed")));
    QCOMPARE(sim.image(0, 0x1000), imageA);
    QVERIFY(imageEvents(sim, 1).isEmpty());
}

void TestFlashSession::refusesWrongArgumentsWithoutTouchingALine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");

    // "{port}" is the simulated chip's line, "{a}" and "{b}" are existing images.
    auto row = [](const char *name, const QStringList &args, int code) { QTest::newRow(name) << args << code; };
    row("unknown option", {"--port", "{port}", "--file", "{a}@0", "--verify"}, ErrorCodes::RESULT_ARGS_PARSE_FAILED);
    row("no file", {"--port", "{port}"}, ErrorCodes::RESULT_ARGS_MISSING);
    row("second port missing", {"--port", "{port}", "--port", "{port}-gone", "--file", "{a}@0"},
        ErrorCodes::RESULT_ARG_PORT_INVALID);
    row("speed too high", {"--port", "{port}", "--file", "{a}@0", "--baudrate", "3000001"},
        ErrorCodes::RESULT_ARG_BAUDRATE_INVALID);
    row("file twice", {"--port", "{port}", "--file", "{a}@0", "--file", "{a}@8000"}, ErrorCodes::RESULT_ARG_FILENAME_INVALID);
    row("address not aligned", {"--port", "{port}", "--file", "{a}@0x1800"}, ErrorCodes::RESULT_ARG_START_ADDR_INVALID);
}

void TestFlashSession::refusesWrongArgumentsWithoutTouchingALine()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);

    if (!idleSim.isRunning())
        QVERIFY(idleSim.start(1));
    for (QString &arg : args)
        arg.replace(QLatin1String("{port}"), idleSim.linkPath(0)).replace(QLatin1String("{a}"), pathA).replace(QLatin1String("{b}"), pathB);

    FlashProcess flash;
    flash.start(args);
    QVERIFY(flash.finish(20000));
    QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
    QCOMPARE(flash.exitCode(), 2);
    QVERIFY(flash.lines.isEmpty());

    QString message = ErrorCodes::errorString(code);
    if (code == ErrorCodes::RESULT_ARG_BAUDRATE_INVALID)
        message = QStringLiteral("Invalid: baudrate must be set and in range [115200, 3000000].");
    const QStringList errors = QString::fromUtf8(flash.readAllStandardError()).split(QLatin1Char('\n'));
    QCOMPARE(errors.constFirst(), QStringLiteral("error 0x%1: %2").arg(code, 4, 16, QLatin1Char('0')).arg(message));

    // A wrong command line never reaches a chip: a stray "version" would already wake it.
    QTest::qWait(100);
    QCOMPARE(idleSim.receivedLines(0), QStringList());
}

void TestFlashSession::erasesChipInRom_data()
{
    QTest::addColumn<QString>("family");
    QTest::newRow("ZR740C") << QStringLiteral("ZR740C");
    QTest::newRow("ZR610A") << QStringLiteral("ZR610A");
}

void TestFlashSession::erasesChipInRom()
{
    QFETCH(QString, family);

    ChipSimProcess sim;
    QVERIFY(sim.start(1, {QStringLiteral("--families"), family}));

    FlashProcess flash;
    flash.start({"--port", sim.linkPath(0), "--erase", "--json"});
    QVERIFY(flash.finish(60000));
    QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
    QCOMPARE(flash.exitCode(), 0);

    bool parsed = false;
    const QList<QJsonObject> results = eventsOf(jsonLines(flash.lines, &parsed), QStringLiteral("result"));
    QVERIFY(parsed);
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.constFirst().value(QStringLiteral("code")).toInt(-1), 0);
    QCOMPARE(results.constFirst().value(QStringLiteral("message")).toString(), QStringLiteral("Success"));

    const QStringList received = sim.receivedLines(0);
    QCOMPARE(received.filter(QRegularExpression(QStringLiteral("^ferase_all"))).size(), 1);
    QVERIFY(received.filter(QRegularExpression(QStringLiteral("^(startaddr|upgrade)"))).isEmpty());
    QVERIFY(imageEvents(sim, 0).isEmpty());
    QVERIFY(!hasViolation(sim, 0));
}

void TestFlashSession::printsOneJsonObjectPerLine()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(1));

    FlashProcess flash;
    flash.start({"--json", "--progress", "--port", sim.linkPath(0), "--file", pathB + "@0x4000", "--baudrate", "460800"});
    QVERIFY(flash.finish(60000));
    QCOMPARE(flash.exitCode(), 0);

    bool parsed = false;
    const QList<QJsonObject> objects = jsonLines(flash.lines, &parsed);
    QVERIFY2(parsed, qPrintable(flash.lines.join(QLatin1Char('\n'))));
    QVERIFY(objects.size() >= 4);
    for (const QJsonObject &object : objects)
        QCOMPARE(object.value(QStringLiteral("port")).toString(), sim.linkPath(0));

    QCOMPARE(objects.constFirst().value(QStringLiteral("event")).toString(), QStringLiteral("start"));
    QCOMPARE(objects.constFirst().value(QStringLiteral("baudrate")).toInt(), 460800);

    const QList<QJsonObject> progress = eventsOf(objects, QStringLiteral("progress"));
    QVERIFY(progress.size() >= 2);
    int last = -1;
    for (const QJsonObject &object : progress) {
        QCOMPARE(object.value(QStringLiteral("file")).toInt(), 1);
        const int percent = object.value(QStringLiteral("progress")).toInt(-1);
        QVERIFY(percent > last && percent <= 100);
        last = percent;
    }
    QCOMPARE(last, 100);

    const QList<QJsonObject> results = eventsOf(objects, QStringLiteral("result"));
    QCOMPARE(results.size(), 1);
    QCOMPARE(results.constFirst().value(QStringLiteral("code")).toInt(-1), 0);
    QCOMPARE(results.constFirst().value(QStringLiteral("message")).toString(), QStringLiteral("Success"));
    QCOMPARE(results.constFirst().value(QStringLiteral("pass")).toBool(), true);

    const QJsonObject summary = objects.constLast();
    QCOMPARE(summary.value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("passed")).toInt(-1), 1);
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(-1), 0);
    QCOMPARE(sim.image(0, 0x4000), imageB);
}

void TestFlashSession::continuousModeServesChipAfterChip_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("passes, SIGTERM") << int(SIGTERM) << QStringList() << 0 << 0;
    QTest::newRow("chip refusing its address, SIGINT")
        << int(SIGINT) << QStringList{QStringLiteral("--fault"), QStringLiteral("0:ffff=startaddr")}
        << ErrorCodes::RESULT_STARTADDR_READ_FAILED << 1;
}

void TestFlashSession::continuousModeServesChipAfterChip()
{
    QFETCH(int, signalNumber);
    QFETCH(QStringList, simArgs);
    QFETCH(int, code);
    QFETCH(int, exitCode);

    ChipSimProcess sim;
    QVERIFY(sim.start(1, simArgs));

    FlashProcess flash;
    flash.start({"--continuous", "--json", "--port", sim.linkPath(0), "--file", pathA + "@0x8000"});
    QVERIFY2(flash.waitFor([](const QStringList &lines) { return countResults(lines) >= 2; }, 60000),
             qPrintable(flash.lines.join(QLatin1Char('\n'))));
    QCOMPARE(flash.state(), QProcess::Running);

    QCOMPARE(::kill(static_cast<pid_t>(flash.processId()), signalNumber), 0);
    QVERIFY(flash.finish(20000));
    QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
    QCOMPARE(flash.exitCode(), exitCode);

    bool parsed = false;
    const QList<QJsonObject> objects = jsonLines(flash.lines, &parsed);
    QVERIFY(parsed);
    const QList<QJsonObject> results = eventsOf(objects, QStringLiteral("result"));
    QVERIFY(results.size() >= 2);
    for (int i = 0; i < results.size(); ++i) {
        QCOMPARE(results.at(i).value(QStringLiteral("chip")).toInt(), i + 1);
        QCOMPARE(results.at(i).value(QStringLiteral("code")).toInt(-1), code);
        QCOMPARE(results.at(i).value(QStringLiteral("message")).toString(), ErrorCodes::errorString(code));
    }

    const QJsonObject summary = objects.constLast();
    QCOMPARE(summary.value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("passed")).toInt(-1) + summary.value(QStringLiteral("failed")).toInt(-1),
             results.size());
    QCOMPARE(summary.value(QStringLiteral("failed")).toInt(-1), code == 0 ? 0 : results.size());

    if (code == 0) {
        // Each pass is a fresh chip: the host's "reboot" brought the simulator back in ROM.
        const QList<QJsonObject> images = imageEvents(sim, 0);
        QCOMPARE(images.size(), results.size());
        QVERIFY(images.at(0).value(QStringLiteral("path")) != images.at(1).value(QStringLiteral("path")));
        QCOMPARE(sim.image(0, 0x8000), imageA);
    }
    QVERIFY(!hasViolation(sim, 0));
}

void TestFlashSession::stopDuringRunEndsCleanly()
{
    ChipSimProcess sim;
    QVERIFY(sim.start(1, {QStringLiteral("--fault"), QStringLiteral("0:silent")}));

    FlashProcess flash;
    flash.start({"--json", "--port", sim.linkPath(0), "--file", pathA + "@0"});
    // A silent chip keeps the run waiting for its "version" answer for a whole second.
    auto versionSent = [&] {
        return !sim.receivedLines(0).filter(QRegularExpression(QStringLiteral("^version"))).isEmpty();
    };
    QTRY_VERIFY_WITH_TIMEOUT(versionSent(), 20000);
    QCOMPARE(::kill(static_cast<pid_t>(flash.processId()), SIGTERM), 0);
    QVERIFY(flash.finish(20000));
    QCOMPARE(flash.exitStatus(), QProcess::NormalExit);
    QCOMPARE(flash.exitCode(), 1);

    bool parsed = false;
    const QList<QJsonObject> objects = jsonLines(flash.lines, &parsed);
    QVERIFY(parsed);
    QVERIFY(eventsOf(objects, QStringLiteral("result")).isEmpty());
    const QJsonObject summary = objects.constLast();
    QCOMPARE(summary.value(QStringLiteral("event")).toString(), QStringLiteral("summary"));
    QCOMPARE(summary.value(QStringLiteral("interrupted")).toBool(), true);
    QCOMPARE(summary.value(QStringLiteral("passed")).toInt(-1), 0);
}

QTEST_GUILESS_MAIN(TestFlashSession)
#include "tst_flashsession.moc"
