#include "chipsimprocess.h"
#include "settingskeys.h"
#include "testsupport.h"

#include <QtTest>

#ifndef ZDZ_CLOSE_DRIVER_BIN
#error "The test needs the path of zdz-close-driver"
#endif

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
    const QString image = work.filePath("firmware.bin");
    QVERIFY(writeFile(image, QByteArray(96 * 1024, '\x5a')));
    const QString configHome = work.filePath("config");
    {
        QSettings settings(configHome + "/Marwenta/ZU-Dazazi-Zuvareridi.conf", QSettings::IniFormat);
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
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", configHome);
    env.insert("HOME", work.path());
    env.insert("ZDZ_EXTRA_PORTS", links.join(':'));
    app.setProcessEnvironment(env);
    app.start(ZDZ_CLOSE_DRIVER_BIN, { when, QString::number(STATIONS) });
    const bool finished = app.waitForFinished(50000);
    if (!finished) {
        app.kill();
        app.waitForFinished(5000);
    }
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
        QVERIFY(sim.receivedLines(chip).contains("version \r\n"));
    QVERIFY(sim.isRunning());
}

QTEST_GUILESS_MAIN(TestMainWindowClose)
#include "tst_mainwindowclose.moc"
