#include "chipsimprocess.h"
#include "settingskeys.h"
#include "testsupport.h"

#include <QtTest>

constexpr int STATIONS = 3;

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
    // Inside a run the stations count as working and are stopped one by one; after a first
    // result they no longer count as working, yet their workers cycle on.
    QTest::newRow("stations inside their transfers") << "transfer" << STATIONS;
    QTest::newRow("workers on the next chip") << "cycling" << 0;
}

void TestMainWindowClose::closeDuringContinuousProduction()
{
    QFETCH(QString, when);
    QFETCH(int, workingAtClose);

    QTemporaryDir work;
    // Large enough that a throttled line is still busy when the window closes.
    const QString image = work.filePath("firmware.bin");
    QVERIFY(work.isValid() && writeFile(image, QByteArray(96 * 1024, '\x5a')));
    {
        QSettings settings(work.filePath("config/Marwenta/ZU-Dazazi-Zuvareridi.conf"), QSettings::IniFormat);
        settings.setValue(SettingsKeys::DownloadModeIndex, 1);
        settings.setValue(SettingsKeys::Baudrate, "230400");
        settings.setValue(SettingsKeys::filePathKey(0), image);
        settings.setValue(SettingsKeys::startAddrKey(0), "0");
    }

    ChipSimProcess sim;
    QVERIFY(sim.start(STATIONS, { "--throttle", "--families", "ZR740A,ZR740C,ZR610A" }));
    QStringList links;
    for (int chip = 0; chip < STATIONS; ++chip)
        links << sim.linkPath(chip);
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", work.filePath("config"));
    env.insert("ZDZ_EXTRA_PORTS", links.join(':'));
    app.setProcessEnvironment(env);
    app.start(ZDZ_CLOSE_DRIVER_BIN, { when, QString::number(STATIONS) });
    const bool finished = app.waitForFinished(50000);
    if (!finished)
        app.kill();
    app.waitForFinished(5000);
    const QString out = QString::fromLocal8Bit(app.readAllStandardOutput());
    const QString err = QString::fromLocal8Bit(app.readAllStandardError());
    qInfo().noquote() << out.trimmed().replace('\n', "; ") << err.trimmed();

    QVERIFY2(finished, "the program did not end after its window was closed");
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 0);
    const QRegularExpressionMatch closing =
        QRegularExpression("^CLOSING (\\d+) (\\d+)$", QRegularExpression::MultilineOption).match(out);
    QVERIFY(closing.hasMatch());
    QCOMPARE(closing.captured(1).toInt(), workingAtClose);
    QVERIFY(closing.captured(2).toInt() >= STATIONS);
    QVERIFY(out.contains(QRegularExpression("^THREADS_LEFT 0$", QRegularExpression::MultilineOption)));
    for (const char *fault : { "QThread: Destroyed while thread", "AddressSanitizer", "runtime error" })
        QVERIFY2(!err.contains(fault), fault);

    // Every chip saw the start of production, and the simulator is still healthy.
    for (int chip = 0; chip < STATIONS; ++chip)
        QVERIFY(sim.isRunning() && sim.receivedLines(chip).contains("version \r\n"));
}

QTEST_GUILESS_MAIN(TestMainWindowClose)
#include "tst_mainwindowclose.moc"
