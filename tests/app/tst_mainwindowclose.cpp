#include "chipsimprocess.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#ifndef ZDZ_CLOSE_DRIVER_BIN
#error "The test needs the path of zdz-close-driver"
#endif

namespace {

constexpr int STATIONS = 3;

int valueAfter(const QString &output, const QString &marker, int field = 1)
{
    const QRegularExpression line(QStringLiteral("^") + marker + QStringLiteral(" (-?\\d+)(?: (-?\\d+))?$"),
                                  QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(output);
    return match.hasMatch() && !match.captured(field).isEmpty() ? match.captured(field).toInt() : -100;
}

} // namespace

// Closing the window is the only way to end continuous production: the whole program must
// then come down by itself, every worker thread ended, with exit status 0.
class TestMainWindowClose : public QObject
{
    Q_OBJECT

private slots:
    void closeDuringContinuousProduction_data();
    void closeDuringContinuousProduction();
};

void TestMainWindowClose::closeDuringContinuousProduction_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<int>("workingAtClose");

    // Inside a run the stations still count as working and are stopped one by one.
    QTest::newRow("stations inside their transfers") << "transfer" << STATIONS;
    // After a first result they no longer count as working, yet their workers cycle on.
    QTest::newRow("workers on the next chip") << "cycling" << 0;
}

void TestMainWindowClose::closeDuringContinuousProduction()
{
    QFETCH(QString, when);
    QFETCH(int, workingAtClose);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    // Large enough that a throttled line is still busy when the window closes.
    QFile image(work.filePath(QStringLiteral("firmware.bin")));
    QVERIFY(image.open(QIODevice::WriteOnly));
    QVERIFY(image.write(QByteArray(96 * 1024, '\x5a')) == 96 * 1024);
    image.close();

    const QString configHome = work.filePath(QStringLiteral("config"));
    {
        QSettings settings(configHome + QStringLiteral("/Marwenta/ZU-Dazazi-Zuvareridi.conf"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("key_download_mode_index"), 1);
        settings.setValue(QStringLiteral("key_baudrate"), QStringLiteral("230400"));
        settings.setValue(QStringLiteral("key_filepath_index_0"), image.fileName());
        settings.setValue(QStringLiteral("key_startaddr_index_0"), QStringLiteral("0"));
        settings.sync();
        QCOMPARE(settings.status(), QSettings::NoError);
    }

    ChipSimProcess sim;
    QVERIFY(sim.start(STATIONS, {QStringLiteral("--throttle"), QStringLiteral("--families"),
                                 QStringLiteral("ZR740A,ZR740C,ZR610A")}));
    QStringList links;
    for (int chip = 0; chip < STATIONS; ++chip)
        links << sim.linkPath(chip);

    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    env.insert(QStringLiteral("HOME"), work.path());
    env.insert(QStringLiteral("ZDZ_EXTRA_PORTS"), links.join(QLatin1Char(':')));
    app.setProcessEnvironment(env);
    app.start(QStringLiteral(ZDZ_CLOSE_DRIVER_BIN), {when, QString::number(STATIONS)});
    QVERIFY(app.waitForStarted(10000));
    const bool finished = app.waitForFinished(50000);
    if (!finished) {
        app.kill();
        app.waitForFinished(5000);
    }
    const QString out = QString::fromLocal8Bit(app.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(app.readAllStandardError());
    qInfo().noquote() << out.trimmed().replace(QLatin1Char('\n'), QLatin1String("; "));
    if (!err.trimmed().isEmpty())
        qInfo().noquote() << "stderr:" << err.trimmed();

    QVERIFY2(finished, "the program did not end after its window was closed");
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 0);
    QCOMPARE(valueAfter(out, QStringLiteral("CLOSING")), workingAtClose);
    QVERIFY(valueAfter(out, QStringLiteral("CLOSING"), 2) >= STATIONS);
    QCOMPARE(valueAfter(out, QStringLiteral("THREADS_LEFT")), 0);
    QVERIFY(!err.contains(QLatin1String("QThread: Destroyed while thread is still running")));
    QVERIFY(!err.contains(QLatin1String("AddressSanitizer")));
    QVERIFY(!err.contains(QLatin1String("runtime error")));

    // Every chip saw the start of production, and the simulator is still healthy.
    for (int chip = 0; chip < STATIONS; ++chip) {
        QStringList commands;
        for (const QString &line : sim.receivedLines(chip))
            commands << line.trimmed();
        QVERIFY(commands.contains(QStringLiteral("version")));
    }
    QVERIFY(sim.isRunning());
}

QTEST_GUILESS_MAIN(TestMainWindowClose)
#include "tst_mainwindowclose.moc"
