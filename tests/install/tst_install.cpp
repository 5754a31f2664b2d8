#include <QtGui>
#include <QtTest>

#include <csignal>

// True once the process has its SIGTERM handler in place (Linux: the SigCgt mask).
static bool catchesTerm(qint64 pid)
{
    QFile status(QString("/proc/%1/status").arg(pid));
    for (const QByteArray &line : status.open(QIODevice::ReadOnly) ? status.readAll().split('\n') : QList<QByteArray>())
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGTERM - 1)) & 1;
    return false;
}

// `cmake --install` into a scratch root, and the installed programs run from there.
class tst_Install : public QObject
{
    Q_OBJECT

    QTemporaryDir root;
    QTemporaryDir home;
    QString installed(const QString &path) const { return root.filePath("usr/" + path); }

private slots:
    void initTestCase()
    {
        QProcess install;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DESTDIR", root.path());
        install.setProcessEnvironment(env);
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(ZDZ_CMAKE, { "--install", ZDZ_BUILD_DIR, "--prefix", "/usr" });
        QVERIFY(install.waitForFinished(120000));
        QVERIFY2(install.exitCode() == 0, install.readAll().constData());
    }

    void files_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("size"); // the edge of a PNG in pixels; 0 for any other file, -1 for a program
        for (const char *program : { "zu-dazazi-zuvareridi", "zdz-flash", "zdz-chipsim" })
            QTest::newRow(program) << QString("bin/") + program << -1;
        QTest::newRow("desktop entry") << "share/applications/zu-dazazi-zuvareridi.desktop" << 0;
        QTest::newRow("scalable icon") << "share/icons/hicolor/scalable/apps/zu-dazazi-zuvareridi.svg" << 0;
        for (int size : { 48, 64, 128, 256 })
            QTest::newRow(qPrintable(QString("icon %1").arg(size))) << QString("share/icons/hicolor/%1x%1/apps/zu-dazazi-zuvareridi.png").arg(size) << size;
        QTest::newRow("README") << "share/doc/zu-dazazi-zuvareridi/README.md" << 0;
        QTest::newRow("user guide") << "share/doc/zu-dazazi-zuvareridi/user_guide.txt" << 0;
    }

    void files()
    {
        QFETCH(QString, path);
        QFETCH(int, size);
        const QFileInfo file(installed(path));
        QVERIFY2(file.isFile() && file.size() > 0, qPrintable(file.filePath()));
        QCOMPARE(file.isExecutable(), size < 0);
        QVERIFY(size <= 0 || QImage(file.filePath()).size() == QSize(size, size));
    }

    // A valid desktop entry whose icon is found by name and whose menu command starts the window,
    // which comes up and ends cleanly on SIGTERM, as at log-out; the flasher answers --help.
    void programsRun()
    {
        const QString entry = installed("share/applications/zu-dazazi-zuvareridi.desktop");
        QProcess validate;
        validate.setProcessChannelMode(QProcess::MergedChannels);
        validate.start("desktop-file-validate", { entry });
        QVERIFY2(validate.waitForFinished(30000), "desktop-file-validate (desktop-file-utils) did not run");
        QCOMPARE(validate.readAll(), QByteArray());
        QCOMPARE(validate.exitCode(), 0);
        QSettings desktop(entry, QSettings::IniFormat);
        desktop.beginGroup("Desktop Entry");
        QVERIFY(QFileInfo::exists(installed("share/icons/hicolor/scalable/apps/" + desktop.value("Icon").toString() + ".svg")));

        QProcess flash;
        flash.start(installed("bin/zdz-flash"), { "--help" });
        QVERIFY(flash.waitForFinished(30000) && flash.exitStatus() == QProcess::NormalExit && flash.exitCode() == 0);
        const QByteArray help = flash.readAllStandardOutput();
        QVERIFY2(help.contains("--port <NAME>") && help.contains("--loader-dir <DIR>"), help.constData());

        QProcess window;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.path());
        window.setProcessEnvironment(env);
        window.setProcessChannelMode(QProcess::ForwardedChannels);
        window.start(installed("bin/" + desktop.value("Exec").toString()), QStringList());
        QVERIFY(window.waitForStarted(30000));
        QTRY_VERIFY_WITH_TIMEOUT(catchesTerm(window.processId()), 30000);
        QTest::qWait(500);
        QCOMPARE(window.state(), QProcess::Running);
        window.terminate();
        QVERIFY(window.waitForFinished(30000) && window.exitStatus() == QProcess::NormalExit);
        QCOMPARE(window.exitCode(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_Install)
#include "tst_install.moc"
