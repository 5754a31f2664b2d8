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
    // Files whole, icons sized; the entry's icon found, its window ending on SIGTERM; the flasher's --help.
    void installedProgramsRun()
    {
        QProcess install;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DESTDIR", root.path());
        install.setProcessEnvironment(env);
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(ZDZ_CMAKE, { "--install", ZDZ_BUILD_DIR, "--prefix", "/usr" });
        QVERIFY2(install.waitForFinished(120000) && install.exitCode() == 0, install.readAll().constData());

        QMap<QString, int> files; // the edge of a PNG in pixels; 0 for any other file, -1 for a program
        for (const char *program : { "zu-dazazi-zuvareridi", "zdz-flash", "zdz-chipsim" })
            files.insert(QString("bin/") + program, -1);
        for (int size : { 0, 48, 64, 128, 256 })
            files.insert(size ? QString("share/icons/hicolor/%1x%1/apps/zu-dazazi-zuvareridi.png").arg(size) : "share/icons/hicolor/scalable/apps/zu-dazazi-zuvareridi.svg", size);
        for (const char *other : { "applications/zu-dazazi-zuvareridi.desktop", "doc/zu-dazazi-zuvareridi/README.md", "doc/zu-dazazi-zuvareridi/user_guide.txt" })
            files.insert(QString("share/") + other, 0);
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            const QFileInfo file(installed(it.key()));
            QVERIFY2(file.isFile() && file.size() > 0 && file.isExecutable() == (it.value() < 0), qPrintable(file.filePath()));
            QVERIFY2(it.value() <= 0 || QImage(file.filePath()).size() == QSize(it.value(), it.value()), qPrintable(file.filePath()));
        }

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
        QVERIFY(window.waitForFinished(30000) && window.exitStatus() == QProcess::NormalExit && window.exitCode() == 0);
    }
};

QTEST_GUILESS_MAIN(tst_Install)
#include "tst_install.moc"
