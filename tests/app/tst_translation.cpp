#include "apptranslator.h"
#include "errorcodes.h"
#include "mainwindow.h"
#include "ptypair.h"
#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "settingskeys.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// The Simplified Chinese build: the catalogue embedded and installed the way start-up does it.
class tst_Translation : public QObject
{
    Q_OBJECT

    std::unique_ptr<AppTranslator> translator;
    PtyPair pty;
    QTemporaryDir dir;

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
        QCoreApplication::setApplicationName(QStringLiteral("ZU-Dazazi-Zuvareridi"));
        QApplication::setQuitOnLastWindowClosed(false);
        translator = std::make_unique<AppTranslator>();
        QVERIFY(translator->isInstalled());
        QVERIFY2(pty.open(), qPrintable(pty.errorString()));
        setExtraPorts({ pty.slavePath() });
        QTRY_VERIFY_WITH_TIMEOUT(SerialMonitor::instance()->currentPortList().contains(pty.slavePath()), 5000);
    }

    void windowTexts_data()
    {
        QTest::addColumn<QString>("object"); // a button's or action's text, a menu's title
        QTest::addColumn<QString>("text");
        QTest::newRow("Start") << "btnStart" << "开始";
        QTest::newRow("Erase") << "btnErase" << "擦除";
        QTest::newRow("Edit menu") << "menuEdit" << "编辑";
        QTest::newRow("Help menu") << "menuHelp" << "帮助";
        QTest::newRow("configuration") << "actionEdit_Configurations" << "编辑配置";
        QTest::newRow("loader folder") << "actionRam_Loader_Folder" << "RAM 引导程序文件夹...";
        QTest::newRow("clear count") << "actionClear_Count" << "计数清零";
        QTest::newRow("user guide") << "actionUser_Guide" << "使用说明";
    }

    void windowTexts()
    {
        QFETCH(QString, object);
        QFETCH(QString, text);
        MainWindow window;
        QObject *shown = window.findChild<QObject *>(object);
        QVERIFY(shown);
        QCOMPARE(shown->property(shown->inherits("QMenu") ? "title" : "text").toString(), text);
    }

    // A result's text, and the question before an erase with the toolkit's own buttons in the
    // same language.
    void eraseQuestion()
    {
        QCOMPARE(ErrorCodes::errorString(515), QStringLiteral("读取芯片代码版本失败，请检查 USB 连接或重启芯片。"));
        QVERIFY(writeFile(dir.filePath("app.bin"), QByteArray(4096, 'x')));
        QSettings().setValue(SettingsKeys::filePathKey(0), dir.filePath("app.bin"));
        QSettings().setValue(SettingsKeys::startAddrKey(0), "0");
        MainWindow window;
        QVERIFY(QMetaObject::invokeMethod(&window, "slotSerialScanResult", Qt::DirectConnection,
                                          Q_ARG(SerialMonitor::SerialScanResult, SerialMonitor::SCAN_RESULT_ADDED)));
        for (SerialFlashWidget *row : window.findChildren<SerialFlashWidget *>())
            if (row->portName() == pty.slavePath())
                row->findChild<QAbstractButton *>("rdbtnOpenClose")->click();
        QStringList shown;
        QTimer::singleShot(0, this, [&] {
            QTRY_VERIFY(qobject_cast<QMessageBox *>(QApplication::activeModalWidget()));
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            shown << box->windowTitle() << box->text();
            for (auto which : { QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel })
                shown << box->button(which)->text();
            box->button(QMessageBox::No)->click();
        });
        window.findChild<QAbstractButton *>("btnErase")->click();
        QCOMPARE(shown, (QStringList{ "！！！警告！！！", "确定要擦除整个芯片吗？？？", "是(&Y)", "否(&N)", "取消" }));
        QVERIFY(window.findChild<QPlainTextEdit *>("txtLog")->toPlainText().endsWith(" | 已取消擦除"));
    }

    // A string added to the interface without its translation shows up here as unfinished.
    void everyStringTranslated()
    {
        const QString ts = dir.filePath("current.ts");
        QVERIFY(QFile::copy(ZDZ_TS_FILE, ts));
        QProcess tool;
        tool.setWorkingDirectory(ZDZ_SOURCE_DIR);
        tool.start(ZDZ_LUPDATE, { "-no-obsolete", "-locations", "none", "app", "ui", "stations", "engine", "config", "-ts", ts });
        QVERIFY(tool.waitForFinished(60000) && tool.exitCode() == 0);
        tool.start(ZDZ_LRELEASE, { ts, "-qm", dir.filePath("current.qm") });
        QVERIFY(tool.waitForFinished(60000) && tool.exitCode() == 0);
        const QString report = QString::fromUtf8(tool.readAllStandardOutput());
        QVERIFY2(report.contains(" finished and 0 unfinished)"), qPrintable(report));
    }
};

QTEST_MAIN(tst_Translation)
#include "tst_translation.moc"
