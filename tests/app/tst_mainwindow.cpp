#include "apptranslator.h"
#include "chipsimprocess.h"
#include "configdialog.h"
#include "errorcodes.h"
#include "mainwindow.h"
#include "ramloader.h"
#include "settingskeys.h"
#include "testsupport.h"

#include <QtTest>
#include <QtWidgets>

#include <algorithm>

namespace {

constexpr int CHIPS = 3;
constexpr int RUN_TIMEOUT_MS = 30000;
const QString NO_PORT_MSG = QStringLiteral("Please select some serial ports before work starts!!!");

QString prefixed(const QString &port, const QString &text) { return QStringLiteral("[%1]: %2").arg(port, text); }

// Answers and notes each modal box, late enough for a key's delayed click to land inside it.
struct ModalBoxAnswerer : QObject
{
    explicit ModalBoxAnswerer(QMessageBox::StandardButton reply)
    {
        connect(&poll, &QTimer::timeout, this, [this, reply]() {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                shown << box->windowTitle() + '|' + box->text();
                defaultButton = box->standardButton(box->defaultButton());
                for (auto which : { QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel, QMessageBox::Ok })
                    buttons << (box->button(which) ? box->button(which)->text() : QString());
                box->button(reply)->click();
            }
        });
        poll.start(150);
    }
    QTimer poll;
    QStringList shown;
    QStringList buttons;
    int defaultButton = 0;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

    ChipSimProcess sim;
    QStringList links;
    QTemporaryDir imageDir;
    QString imagePaths[2];
    QPointer<MainWindow> window;
    QSet<QString> threadsBefore;
    std::unique_ptr<AppTranslator> translator; // outlives the window, as at start-up

    static void writeConfig(int mode, const QString &baudrate, const QString &path, const QString &addr)
    {
        QSettings settings;
        settings.setValue(SettingsKeys::DownloadModeIndex, mode);
        settings.setValue(SettingsKeys::Baudrate, baudrate);
        settings.setValue(SettingsKeys::filePathKey(0), path);
        settings.setValue(SettingsKeys::startAddrKey(0), addr);
    }
    // Pass and fail as stored (-1: never stored), then as the LCDs show them.
    QList<int> counts() const
    {
        const QSettings settings;
        return { settings.value(SettingsKeys::PassCount, -1).toInt(), settings.value(SettingsKeys::FailCount, -1).toInt(),
                 window->findChild<QLCDNumber *>("lcdPassCount")->intValue(),
                 window->findChild<QLCDNumber *>("lcdFailCount")->intValue() };
    }
    // Past the monitor's first scan, a new window is bound by the slot its report reaches; active for keys.
    bool makeWindow()
    {
        window = new MainWindow();
        QApplication::setActiveWindow(window);
        return QTest::qWaitForWindowActive(window)
               && QMetaObject::invokeMethod(window, "slotSerialScanResult", Qt::DirectConnection,
                                            Q_ARG(SerialMonitor::SerialScanResult, SerialMonitor::SCAN_RESULT_ADDED));
    }
    SerialFlashWidget *stationFor(int chip) const
    {
        for (SerialFlashWidget *row : window->findChildren<SerialFlashWidget *>())
            if (row->portName() == links[chip])
                return row;
        return nullptr;
    }
    static QAbstractButton *openClose(SerialFlashWidget *station) { return station->findChild<QAbstractButton *>("rdbtnOpenClose"); }
    bool openStation(int chip)
    {
        SerialFlashWidget *station = stationFor(chip);
        return station && (openClose(station)->click(), station->serialState() == SerialFlashWidget::STATE_OPENED);
    }
    QString resultText(int chip) const { return stationFor(chip)->findChild<QLineEdit *>("leditResult")->text(); }
    // The messages behind each line's time stamp, past the start-up note about the built-in loaders.
    QStringList logMessages() const
    {
        static const QRegularExpression stamped("\\A\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3} \\| (.*)\\z");
        QStringList messages;
        for (const QString &line : window->findChild<QPlainTextEdit *>("txtLog")->toPlainText().split('\n', Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch match = stamped.match(line);
            messages << (match.hasMatch() ? match.captured(1) : "unstamped log line: " + line);
        }
        if (!messages.isEmpty() && messages.first() == RamLoader::placeholderWarning())
            messages.removeFirst();
        return messages;
    }
    QAbstractButton *button(const QString &name) const { return window->findChild<QAbstractButton *>(name); }
    // Start, Erase and the switch of every station with a chip behind it.
    QList<bool> controlsEnabled() const
    {
        QList<bool> enabled = { button("btnStart")->isEnabled(), button("btnErase")->isEnabled() };
        for (int chip = 0; chip < CHIPS; ++chip)
            enabled << openClose(stationFor(chip))->isEnabled();
        return enabled;
    }
private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
        QCoreApplication::setApplicationName(QStringLiteral("ZU-Dazazi-Zuvareridi"));
        // A window closed by a test must not end the test program.
        QApplication::setQuitOnLastWindowClosed(false);
        for (int i = 0; i < 2; ++i) {
            imagePaths[i] = imageDir.filePath(QStringLiteral("image%1.bin").arg(i));
            QVERIFY(writeFile(imagePaths[i], patternBytes(i == 0 ? 20000 : 3000)));
        }
        QVERIFY(sim.start(CHIPS, { "--families", "ZR740A,ZR740C,ZR610A" }));
        for (int chip = 0; chip < CHIPS; ++chip)
            links << sim.linkPath(chip);
    }

    // The monitor lists the links as ports, and each chip is a fresh one.
    void init()
    {
        QSettings().clear();
        threadsBefore = workerThreads();
        for (int chip = 0; chip < CHIPS; ++chip)
            QVERIFY(sim.command(QStringLiteral("%1 %2").arg(QFileInfo::exists(links[chip]) ? "reboot" : "replug").arg(chip)));
        setExtraPorts(links);
        SerialMonitor::instance()->startScan(SerialMonitor::SCAN_INTERVAL_MS);
        for (const QString &link : qAsConst(links))
            QTRY_VERIFY_WITH_TIMEOUT(SerialMonitor::instance()->currentPortList().contains(link), 5000);
    }

    // Whatever the window was doing (closed inside a transfer, workers cycling on), its workers are joined.
    void cleanup()
    {
        delete window.data();
        translator.reset();
        QApplication::processEvents();
        QTRY_COMPARE_WITH_TIMEOUT(workerThreads(), threadsBefore, 5000);
    }

    void startRefused_data()
    {
        QTest::addColumn<QString>("press");
        // "open": station 1 opened; "no file": the stored row lacks its address; "dialog": the dialog exists.
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("message");
        QTest::newRow("Start without an opened port") << "btnStart" << "" << NO_PORT_MSG;
        QTest::newRow("keypad Enter without an opened port") << "Num+Enter" << "" << NO_PORT_MSG;
        QTest::newRow("Return without an opened port") << "Return" << "" << NO_PORT_MSG;
        QTest::newRow("Erase answered No") << "btnErase" << "open" << "quit erase";
        QTest::newRow("stored configuration without files")
            << "btnStart" << "open, no file" << "Invalid mode, please use **singleshot** or **continuous** mode!!!";
        QTest::newRow("dialog with rows that yield no file") << "btnStart" << "open, no file, dialog"
            << "user config is invalid, check baudrate/filepath and startaddr in config dialog!!!";
    }

    // Each press that must log its message and start nothing (erase answered No).
    void startRefused()
    {
        QFETCH(QString, press);
        QFETCH(QString, setup);
        QFETCH(QString, message);
        writeConfig(0, "115200", imagePaths[0], setup.contains("no file") ? "" : "0");
        QVERIFY(makeWindow());
        QVERIFY(!setup.contains("open") || openStation(1));
        QVERIFY(!setup.contains("dialog") || QMetaObject::invokeMethod(window, "on_actionEdit_Configurations_triggered"));
        ModalBoxAnswerer answerer(QMessageBox::No);
        if (press.startsWith("btn"))
            QTest::mouseClick(button(press), Qt::LeftButton);
        else
            QTest::keySequence(window, QKeySequence(press));
        QTRY_COMPARE(logMessages(), QStringList{ message });
        QVERIFY(!controlsEnabled().contains(false));
        QCOMPARE(counts().mid(0, 2), QList<int>({ -1, -1 }));
    }

    void startAndErase_data()
    {
        QTest::addColumn<QString>("press");
        QTest::addColumn<QString>("meanwhile");
        QTest::newRow("Start, a second click queued") << "btnStart" << "btnStart";
        QTest::newRow("Start, Return just before") << "btnStart" << "Return";
        QTest::newRow("Erase, a second click queued") << "btnErase" << "btnErase";
        QTest::newRow("Erase, Return just before") << "btnErase" << "Return";
        QTest::newRow("Start, a close queued") << "btnStart" << "close";
    }

    // Two opened rows of three: a press, key or close meanwhile finds them at work; each runs and counts once.
    void startAndErase()
    {
        QFETCH(QString, press);
        QFETCH(QString, meanwhile);
        const bool erase = press == "btnErase";
        writeConfig(0, "921600", imagePaths[0], "8000");
        QSettings().setValue(SettingsKeys::PassCount, 4);
        QSettings().setValue(SettingsKeys::FailCount, 1);
        QVERIFY(makeWindow());
        QVERIFY(stationFor(1) && openStation(0) && openStation(2));
        const QList<int> before{ sim.receivedLines(0).size(), sim.receivedLines(1).size(), sim.receivedLines(2).size() };
        // The links sort in chip order, so chip 0 sits on an earlier row than chip 2.
        const QString kind = erase ? "start erase..." : "start download...";
        const QStringList starts{ prefixed(links[0], kind), prefixed(links[2], kind) };
        ModalBoxAnswerer answerer(QMessageBox::Yes);
        if (meanwhile == "Return")
            QTest::keyClick(window, Qt::Key_Return);
        else if (!meanwhile.isEmpty())
            QVERIFY(QMetaObject::invokeMethod(meanwhile == "close" ? static_cast<QObject *>(window) : button(meanwhile),
                                              meanwhile == "close" ? "close" : "click", Qt::QueuedConnection));

        QTest::mouseClick(button(press), Qt::LeftButton);
        if (meanwhile == "close") {
            QTRY_VERIFY(!window->isVisible());
            QCOMPARE(logMessages(), starts);
            QCOMPARE(window->findChildren<SerialFlashWidget *>().size(), 20 - 2);
            return;
        }
        QCOMPARE(resultText(0), QString(erase ? "Erasing" : "Downloading"));
        QVERIFY(!controlsEnabled().contains(true));
        QTRY_VERIFY_WITH_TIMEOUT(logMessages().filter("]: Success").size() >= 2, RUN_TIMEOUT_MS);
        QTRY_VERIFY_WITH_TIMEOUT(!controlsEnabled().contains(false), 2000);
        QCOMPARE(answerer.shown, erase ? QStringList{ "!!!Warning!!!|Are you sure to erase the entire chip???" } : QStringList());
        QCOMPARE(answerer.defaultButton, erase ? int(QMessageBox::Cancel) : 0);
        QStringList log = logMessages();
        std::sort(log.begin() + 2, log.end()); // the rows may end in either order
        QCOMPARE(log, starts + QStringList({ prefixed(links[0], "Success"), prefixed(links[2], "Success") }));
        QCOMPARE(counts(), QList<int>({ 6, 1, 6, 1 }));
        QCOMPARE((QStringList{ resultText(0), resultText(1), resultText(2) }), (QStringList{ "Pass", "Not Started", "Pass" }));
        for (int chip : { 0, 2 })
            QCOMPARE(sim.receivedLines(chip).mid(before[chip]).count("ferase_all \r\n"), erase ? 1 : 0);

        // A row switched off and on holds its line without working: the configuration opens editable.
        openClose(stationFor(0))->click();
        openClose(stationFor(0))->click();
        QVERIFY(stationFor(0)->serialState() == SerialFlashWidget::STATE_OPENED && !stationFor(0)->isWorking());
        QTest::qWait(600);
        QVERIFY(QMetaObject::invokeMethod(window, "on_actionEdit_Configurations_triggered"));
        QVERIFY(window->findChild<ConfigDialog *>()->isEnabled());
    }

    // A scan during Start rebinds the opened row: only the opened line, present or pulled, is flashed and named.
    void scanDuringStart()
    {
        writeConfig(0, "921600", imagePaths[1], "0");
        SerialMonitor *monitor = SerialMonitor::instance();
        monitor->stopScan();
        setExtraPorts({ links[0] });
        QVERIFY(QMetaObject::invokeMethod(monitor, "scantimeout") && makeWindow());
        for (int opened : { 0, 1 }) {
            const int other = 1 - opened, before = sim.receivedLines(other).size();
            QVERIFY(openStation(opened));
            setExtraPorts({ links[other] });
            QVERIFY(opened == 0 || sim.command("unplug 1"));
            QVERIFY(QMetaObject::invokeMethod(monitor, "scantimeout", Qt::QueuedConnection));
            QTest::mouseClick(button("btnStart"), Qt::LeftButton);
            const int result = opened ? ErrorCodes::RESULT_PORT_OPEN_FAILED : ErrorCodes::RESULT_SUCCESS;
            const QString end = prefixed(links[opened], ErrorCodes::errorString(result));
            QTRY_VERIFY_WITH_TIMEOUT(logMessages().contains(end), RUN_TIMEOUT_MS);
            QTRY_VERIFY_WITH_TIMEOUT(button("btnStart")->isEnabled(), 2000);
            QCOMPARE(logMessages().mid(2 * opened), (QStringList{ prefixed(links[opened], "start download..."), end }));
            QVERIFY(!stationFor(opened));
            QVERIFY(!sim.receivedLines(other).mid(before).contains("version \r\n"));
        }
    }

    // Legible at a metre, the About box; continuous: each result counted at once, even from a row now unbound.
    void resultsAndCounters()
    {
        writeConfig(1, "460800", imagePaths[1], "1000");
        QSettings().setValue(SettingsKeys::PassCount, 8888888);
        QSettings().setValue(SettingsKeys::FailCount, 8888888);
        QVERIFY(makeWindow());
        // Maximized on the offscreen screen, the window would be smaller than on the line's monitors.
        window->showNormal();
        window->resize(1000, 900);
        QVERIFY(QTest::qWaitForWindowExposed(window));
        // Counters: about 1 cm on a 96 dpi screen, where the old 8 px were not legible.
        for (const char *name : { "lcdPassCount", "lcdFailCount" }) {
            auto *lcd = window->findChild<QLCDNumber *>(name);
            QCOMPARE(lcd->segmentStyle(), QLCDNumber::Filled);
            // The tallest run of lit rows in a grab: the height of the digits.
            const QImage image = lcd->grab().toImage();
            int top = image.height(), bottom = -1;
            for (int y = 0; y < image.height() * image.width(); ++y)
                if (image.pixel(y % image.width(), y / image.width()) == lcd->palette().color(QPalette::WindowText).rgb())
                    top = qMin(top, y / image.width()), bottom = y / image.width();
            QVERIFY2(bottom - top + 1 >= 36, qPrintable(QStringLiteral("%1: %2 px").arg(name).arg(bottom - top + 1)));
        }
        // The port's short name whole, its path in the tip; each state's word whole at 14 pt within 160 px.
        SerialFlashWidget *row = stationFor(1);
        auto *field = row->findChild<QLineEdit *>("leditPortName");
        QCOMPARE(field->text(), QFileInfo(links[1]).fileName());
        QCOMPARE(field->toolTip(), links[1]);
        QVERIFY2(field->fontMetrics().horizontalAdvance(field->text()) < field->width(), qPrintable(QString::number(field->width())));
        QAbstractButton *onOff = openClose(row);
        for (auto state : { SerialFlashWidget::STATE_NOT_OPNED, SerialFlashWidget::STATE_OPENED, SerialFlashWidget::STATE_CLOSED }) {
            row->setSerialState(state);
            QApplication::processEvents();
            QVERIFY2(onOff->font().pointSize() == 14 && onOff->width() >= onOff->sizeHint().width() && onOff->width() <= 160,
                     qPrintable(QStringLiteral("%1: %2 of %3 px").arg(onOff->text()).arg(onOff->width()).arg(onOff->sizeHint().width())));
        }

        const QByteArray document = readFile(":/documents/about.txt");
        ModalBoxAnswerer answerer(QMessageBox::Ok);
        QVERIFY(!document.isEmpty() && QMetaObject::invokeMethod(window, "on_actionAbout_Zodaruzizu_triggered"));
        QCOMPARE(answerer.shown, QStringList{ "About|" + QString::fromUtf8(document) + "\r\nv1.9.13\r\n2022-03-03" });
        QVERIFY(window->windowTitle().endsWith(" v1.9.13 2022-03-03"));
        QVERIFY(window->findChild<QLabel *>("lblMode")->text() == "continuous" && !button("btnErase")->isEnabled());
        QCOMPARE(counts(), QList<int>({ 8888888, 8888888, 8888888, 8888888 }));
        QVERIFY(openStation(0));
        QTest::mouseClick(button("btnStart"), Qt::LeftButton);
        SerialFlashWidget *earlierRow = window->findChildren<SerialFlashWidget *>().last();
        QVERIFY(earlierRow->portName().isEmpty());
        // The port could not be opened: one line, no advice to replace the chip.
        emit earlierRow->sigReportWorker(links[0], 513, QString());
        QCOMPARE(logMessages().mid(1), QStringList{ prefixed(links[0], ErrorCodes::errorString(513)) });
        QCOMPARE(counts(), QList<int>({ 8888888, 8888889, 8888888, 8888889 }));
        QVERIFY(stationFor(0)->isWorking());
        QVERIFY(QMetaObject::invokeMethod(window, "on_actionClear_Count_triggered"));
        QCOMPARE(counts(), QList<int>({ 0, 0, 0, 0 }));
        emit earlierRow->sigReportWorker(links[0], 0x0203, QString());
        QCOMPARE(logMessages().mid(2), (QStringList{ prefixed(links[0], ErrorCodes::errorString(0x0203)),
            prefixed(links[0], "download failed, please replace another chip and retry.") }));
        QCOMPARE(counts(), QList<int>({ 0, 1, 0, 1 }));
        const QString success = prefixed(links[0], "Success");
        QTRY_VERIFY_WITH_TIMEOUT(logMessages().count(success) == 1, RUN_TIMEOUT_MS);
        QTRY_VERIFY_WITH_TIMEOUT(button("btnStart")->isEnabled(), 2000);
        QTRY_VERIFY_WITH_TIMEOUT(logMessages().count(success) == 2, RUN_TIMEOUT_MS);
        QCOMPARE(counts(), QList<int>({ 2, 1, 2, 1 }));
        QVERIFY(!button("btnErase")->isEnabled());
        QVERIFY(workerThreads() != threadsBefore && window->close());
    }

    // The log's note on the RAM loaders as the window opens: built-in, a vendor folder, one loader empty.
    void startupNote()
    {
        const QString empty = imageDir.filePath("bad/ramcode_zr740c.bin");
        const QList<QPair<QString, QString>> notes{ { QString(), RamLoader::placeholderWarning() },
            { "good", "RAM loaders from " + imageDir.filePath("good") },
            { "bad", "Failed to load ramcode file '" + empty + "': it must exist, be readable, not be empty and not exceed 256 KiB." } };
        for (const auto &note : notes) {
            QVERIFY(note.first.isEmpty() || QDir(imageDir.path()).mkpath(note.first));
            for (const char *file : { "ramcode_zr740a.bin", "ramcode_zr740c.bin", "ramcode_zr610a.bin" }) {
                const QString path = imageDir.filePath(note.first + '/' + file);
                QVERIFY(note.first.isEmpty() || writeFile(path, path == empty ? QByteArray() : QByteArray(3000, 'L')));
            }
            QSettings().setValue(SettingsKeys::LoaderDir, note.first.isEmpty() ? QString() : imageDir.filePath(note.first));
            delete window.data();
            window = new MainWindow();
            // A second line would follow the first's message here.
            QCOMPARE(window->findChild<QPlainTextEdit *>("txtLog")->toPlainText().section(" | ", 1), note.second);
        }
    }

    // The catalogue embedded and installed as at start-up: the window's texts, the erase question's buttons.
    void chineseInterface()
    {
        writeConfig(0, "115200", imagePaths[0], "0");
        translator = std::make_unique<AppTranslator>();
        QVERIFY(translator->isInstalled() && makeWindow());
        const QList<QPair<const char *, QString>> texts{ { "btnStart", "开始" }, { "btnErase", "擦除" }, { "menuEdit", "编辑" },
            { "menuHelp", "帮助" }, { "actionEdit_Configurations", "编辑配置" }, { "actionRam_Loader_Folder", "RAM 引导程序文件夹..." },
            { "actionClear_Count", "计数清零" }, { "actionUser_Guide", "使用说明" } };
        for (const auto &text : texts) {
            QObject *shown = window->findChild<QObject *>(text.first);
            QVERIFY2(shown, text.first);
            QCOMPARE(shown->property(shown->inherits("QMenu") ? "title" : "text").toString(), text.second);
        }
        QCOMPARE(ErrorCodes::errorString(515), QStringLiteral("读取芯片代码版本失败，请检查 USB 连接或重启芯片。"));
        QVERIFY(openStation(0));
        ModalBoxAnswerer answerer(QMessageBox::No);
        QTest::mouseClick(button("btnErase"), Qt::LeftButton);
        QCOMPARE(answerer.shown, QStringList{ "！！！警告！！！|确定要擦除整个芯片吗？？？" });
        QCOMPARE(answerer.buttons, (QStringList{ "是(&Y)", "否(&N)", "取消", QString() }));
        QCOMPARE(logMessages().last(), QStringLiteral("已取消擦除"));
    }

    // A string added to the interface without its translation shows up here as unfinished.
    void everyStringTranslated()
    {
        const QString ts = imageDir.filePath("current.ts");
        QVERIFY(QFile::copy(ZDZ_TS_FILE, ts));
        QProcess tool;
        tool.setWorkingDirectory(ZDZ_SOURCE_DIR);
        tool.start(ZDZ_LUPDATE, { "-no-obsolete", "-locations", "none", "app", "ui", "stations", "engine", "config", "records", "-ts", ts });
        QVERIFY(tool.waitForFinished(60000) && tool.exitCode() == 0);
        tool.start(ZDZ_LRELEASE, { ts, "-qm", imageDir.filePath("current.qm") });
        QVERIFY(tool.waitForFinished(60000) && tool.exitCode() == 0);
        const QString report = QString::fromUtf8(tool.readAllStandardOutput());
        QVERIFY2(report.contains(" finished and 0 unfinished)"), qPrintable(report));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
