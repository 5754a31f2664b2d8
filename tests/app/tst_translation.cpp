#include "apptranslator.h"
#include "errorcodes.h"
#include "mainwindow.h"
#include "ptypair.h"
#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "settingskeys.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QMenu>
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

private slots:
    void initTestCase();
    void cleanupTestCase();
    void windowTexts_data();
    void windowTexts();
    void eraseQuestion();
    void everyStringTranslated();

private:
    AppTranslator *translator = nullptr;
    PtyPair pty;
    QTemporaryDir dir;
};

void tst_Translation::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
    QCoreApplication::setApplicationName(QStringLiteral("ZU-Dazazi-Zuvareridi"));
    QApplication::setQuitOnLastWindowClosed(false);
    translator = new AppTranslator;
    QVERIFY(translator->isInstalled());
    QVERIFY2(pty.open(), qPrintable(pty.errorString()));
    setExtraPorts({ pty.slavePath() });
    QTRY_VERIFY_WITH_TIMEOUT(SerialMonitor::instance()->currentPortList().contains(pty.slavePath()), 5000);
}

void tst_Translation::cleanupTestCase()
{
    delete translator;
}

void tst_Translation::windowTexts_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("text");

    QTest::newRow("Start") << "btnStart" << "开始";
    QTest::newRow("Erase") << "btnErase" << "擦除";
    QTest::newRow("Edit menu") << "menuEdit" << "编辑";
    QTest::newRow("Help menu") << "menuHelp" << "帮助";
    QTest::newRow("configuration") << "actionEdit_Configurations" << "编辑配置";
    QTest::newRow("loader folder") << "actionRam_Loader_Folder" << "RAM 引导程序文件夹...";
    QTest::newRow("clear count") << "actionClear_Count" << "计数清零";
    QTest::newRow("user guide") << "actionUser_Guide" << "使用说明";
    QTest::newRow("result 515") << QString() << "读取芯片代码版本失败，请检查 USB 连接或重启芯片。";
}

void tst_Translation::windowTexts()
{
    QFETCH(QString, object);
    QFETCH(QString, text);
    MainWindow window;
    QString shown;
    if (object.isEmpty())
        shown = ErrorCodes::errorString(515);
    else if (auto *button = window.findChild<QAbstractButton *>(object))
        shown = button->text();
    else if (auto *menu = window.findChild<QMenu *>(object))
        shown = menu->title();
    else if (auto *action = window.findChild<QAction *>(object))
        shown = action->text();
    QCOMPARE(shown, text);
}

// The question before an erase, with the toolkit's own buttons in the same language.
void tst_Translation::eraseQuestion()
{
    QVERIFY(writeFile(dir.filePath("app.bin"), QByteArray(4096, 'x')));
    QSettings settings;
    settings.setValue(SettingsKeys::filePathKey(0), dir.filePath("app.bin"));
    settings.setValue(SettingsKeys::startAddrKey(0), "0");
    MainWindow window;
    QVERIFY(QMetaObject::invokeMethod(&window, "slotSerialScanResult", Qt::DirectConnection,
                                      Q_ARG(SerialMonitor::SerialScanResult, SerialMonitor::SCAN_RESULT_ADDED)));
    SerialFlashWidget *row = nullptr;
    for (SerialFlashWidget *station : window.findChildren<SerialFlashWidget *>())
        if (station->portName() == pty.slavePath())
            row = station;
    QVERIFY(row);
    row->findChild<QAbstractButton *>("rdbtnOpenClose")->click();
    QCOMPARE(row->serialState(), SerialFlashWidget::STATE_OPENED);

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
void tst_Translation::everyStringTranslated()
{
    const QString ts = dir.filePath("current.ts");
    QVERIFY(QFile::copy(ZDZ_TS_FILE, ts));
    QProcess tool;
    tool.setWorkingDirectory(ZDZ_SOURCE_DIR);
    tool.start(ZDZ_LUPDATE, { "-no-obsolete", "-locations", "none", "app", "ui", "stations", "engine", "config", "records", "-ts", ts });
    QVERIFY(tool.waitForFinished(60000) && tool.exitCode() == 0);
    tool.start(ZDZ_LRELEASE, { ts, "-qm", dir.filePath("current.qm") });
    QVERIFY(tool.waitForFinished(60000) && tool.exitCode() == 0);
    const QString report = QString::fromUtf8(tool.readAllStandardOutput());
    QVERIFY2(report.contains(" finished and 0 unfinished)"), qPrintable(report));
}

QTEST_MAIN(tst_Translation)
#include "tst_translation.moc"
