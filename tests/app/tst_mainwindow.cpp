#include "chipsimprocess.h"
#include "errorcodes.h"
#include "ramloader.h"
#include "mainwindow.h"
#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "settingskeys.h"
#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLCDNumber>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

namespace {

constexpr int CHIPS = 3;
constexpr int RUN_TIMEOUT_MS = 30000;

const QString NO_PORT_MSG = QStringLiteral("Please select some serial ports before work starts!!!");

QString prefixed(const QString &port, const QString &text) { return QStringLiteral("[%1]: %2").arg(port, text); }

// Answers the first modal box that comes up while it lives and notes what the box showed;
// the box may appear only after the caller has been through several rounds of event processing.
struct ModalBoxAnswerer : QObject
{
    explicit ModalBoxAnswerer(QMessageBox::StandardButton reply)
    {
        connect(&poll, &QTimer::timeout, this, [this, reply]() {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                poll.stop();
                shown = box->windowTitle() + '|' + box->text();
                defaultButton = box->standardButton(box->defaultButton());
                box->button(reply)->click();
            }
        });
        poll.start(10);
    }
    QTimer poll;
    QString shown;
    int defaultButton = 0;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startDownloadsOnEveryOpenedStation();
    void startRefused_data();
    void startRefused();
    void erase();
    void resultsAndCounters();
    void continuousModeCountsEveryChip();
    void about();
    void closeWhileStartIsLogging();

private:
    // Stores the mode, the speed and one image row at address `addr`.
    void writeConfig(int mode, const QString &baudrate, const QString &path, const QString &addr)
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
    // A fresh window finds the monitor already past its first scan, so it is bound to the
    // simulated ports through the same slot that the monitor's report reaches.
    bool makeWindow()
    {
        window = new MainWindow();
        return QMetaObject::invokeMethod(window, "slotSerialScanResult", Qt::DirectConnection,
                                         Q_ARG(SerialMonitor::SerialScanResult, SerialMonitor::SCAN_RESULT_ADDED));
    }
    SerialFlashWidget *stationFor(int chip) const
    {
        for (SerialFlashWidget *station : window->findChildren<SerialFlashWidget *>()) {
            if (station->portName() == sim.linkPath(chip))
                return station;
        }
        return nullptr;
    }
    static QAbstractButton *openClose(SerialFlashWidget *station) { return station->findChild<QAbstractButton *>("rdbtnOpenClose"); }
    bool openStation(int chip)
    {
        if (!stationFor(chip))
            return false;
        openClose(stationFor(chip))->click();
        return stationFor(chip)->serialState() == SerialFlashWidget::STATE_OPENED;
    }
    QString resultText(int chip) const { return stationFor(chip)->findChild<QLineEdit *>("leditResult")->text(); }
    // Every line must carry the time stamp; the messages behind it are returned.
    QStringList logMessages() const
    {
        static const QRegularExpression stamped("\\A\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3} \\| (.*)\\z");
        QStringList messages;
        for (const QString &line : window->findChild<QPlainTextEdit *>("txtLog")->toPlainText().split('\n', Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch match = stamped.match(line);
            messages << (match.hasMatch() ? match.captured(1) : "unstamped log line: " + line);
        }
        // The start-up note about the built-in loaders comes first and once; the cases look past it.
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

    ChipSimProcess sim;
    QTemporaryDir imageDir;
    QString imagePaths[2];
    QByteArray images[2];
    QPointer<MainWindow> window;
};

void TestMainWindow::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
    QCoreApplication::setApplicationName(QStringLiteral("ZU-Dazazi-Zuvareridi"));
    // A window closed by a test must not end the test program.
    QApplication::setQuitOnLastWindowClosed(false);

    QVERIFY(imageDir.isValid());
    QRandomGenerator generator(7);
    for (int i = 0; i < 2; ++i) {
        for (int n = 0; n < (i == 0 ? 20000 : 3000); ++n)
            images[i] += static_cast<char>(generator.bounded(256));
        imagePaths[i] = imageDir.filePath(QStringLiteral("image%1.bin").arg(i));
        QVERIFY(writeFile(imagePaths[i], images[i]));
    }

    QVERIFY(sim.start(CHIPS, { "--families", "ZR740A,ZR740C,ZR610A" }));
    QStringList links;
    for (int chip = 0; chip < CHIPS; ++chip)
        links << sim.linkPath(chip);
    // The monitor lists these links as ports from its first scan on.
    setExtraPorts(links);
    for (const QString &link : qAsConst(links))
        QTRY_VERIFY_WITH_TIMEOUT(SerialMonitor::instance()->currentPortList().contains(link), 5000);
}

void TestMainWindow::init()
{
    QSettings().clear();
    for (int chip = 0; chip < CHIPS; ++chip)
        QVERIFY(sim.command(QStringLiteral("reboot %1").arg(chip)));
}

void TestMainWindow::cleanup()
{
    delete window.data();
    QApplication::processEvents();
}

void TestMainWindow::startDownloadsOnEveryOpenedStation()
{
    writeConfig(0, "921600", imagePaths[0], "8000");
    QSettings().setValue(SettingsKeys::filePathKey(1), imagePaths[1]);
    QSettings().setValue(SettingsKeys::startAddrKey(1), "40000");
    QSettings().setValue(SettingsKeys::PassCount, 4);
    QSettings().setValue(SettingsKeys::FailCount, 1);
    QVERIFY(makeWindow());
    QVERIFY(stationFor(1) && openStation(0) && openStation(2));
    const int before[] = { sim.receivedLines(0).size(), 0, sim.receivedLines(2).size() };

    QTest::mouseClick(button("btnStart"), Qt::LeftButton);
    // The links sort in chip order, so chip 0 sits on an earlier row than chip 2.
    QCOMPARE(logMessages().mid(0, 2), (QStringList{ prefixed(sim.linkPath(0), "start download..."),
                                                    prefixed(sim.linkPath(2), "start download...") }));
    QVERIFY(!controlsEnabled().contains(true));

    const QString success0 = prefixed(sim.linkPath(0), "Success");
    const QString success2 = prefixed(sim.linkPath(2), "Success");
    QTRY_VERIFY_WITH_TIMEOUT(logMessages().contains(success0) && logMessages().contains(success2), RUN_TIMEOUT_MS);
    QCOMPARE((QStringList{ resultText(0), resultText(1), resultText(2) }), (QStringList{ "Pass", "Not Started", "Pass" }));
    QCOMPARE(counts(), QList<int>({ 6, 1, 6, 1 }));
    QCOMPARE(logMessages().size(), 4);
    // The next periodic check after the last result gives the operator the controls back.
    QTRY_VERIFY_WITH_TIMEOUT(button("btnStart")->isEnabled(), 2000);
    QVERIFY(!controlsEnabled().contains(false));

    for (int chip : { 0, 2 }) {
        QCOMPARE(sim.image(chip, 0x8000), images[0]);
        QCOMPARE(sim.image(chip, 0x40000), images[1]);
        QCOMPARE(sim.receivedLines(chip).mid(before[chip]).count("upgrade \r\n"), 2);
    }
    QVERIFY(!sim.receivedLines(1).contains("version \r\n"));
}

// Every way of pressing Start or Erase that must log its message and start nothing; the
// erase question is answered No.
void TestMainWindow::startRefused_data()
{
    QTest::addColumn<QString>("press");
    // "open": station 1 is opened; "no file": the stored row has no address; "dialog": the dialog exists.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("message");

    QTest::newRow("Start without an opened port") << "btnStart" << "" << NO_PORT_MSG;
    QTest::newRow("keypad Enter without an opened port") << "Enter" << "" << NO_PORT_MSG;
    QTest::newRow("Return without an opened port") << "Return" << "" << NO_PORT_MSG;
    QTest::newRow("Erase answered No") << "btnErase" << "open" << "quit erase";
    QTest::newRow("stored configuration without files")
        << "btnStart" << "open, no file" << "Invalid mode, please use **singleshot** or **continuous** mode!!!";
    QTest::newRow("dialog with rows that yield no file") << "btnStart" << "open, no file, dialog"
                                                         << "user config is invalid, check baudrate/filepath and startaddr in config dialog!!!";
}

void TestMainWindow::startRefused()
{
    QFETCH(QString, press);
    QFETCH(QString, setup);
    QFETCH(QString, message);

    writeConfig(0, "115200", imagePaths[0], setup.contains("no file") ? "" : "0");
    QVERIFY(makeWindow());
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));
    QVERIFY(!setup.contains("open") || openStation(1));
    if (setup.contains("dialog"))
        QVERIFY(QMetaObject::invokeMethod(window, "on_actionEdit_Configurations_triggered"));
    ModalBoxAnswerer answerer(QMessageBox::No);
    const auto pressIt = [&]() {
        if (press == "Enter")
            QTest::keyClick(window, Qt::Key_Enter, Qt::KeypadModifier);
        else if (press == "Return")
            QTest::keyClick(window, Qt::Key_Return);
        else
            QTest::mouseClick(button(press), Qt::LeftButton);
    };

    pressIt();
    QTRY_COMPARE(logMessages(), QStringList{ message });
    QVERIFY(!controlsEnabled().contains(false));
    // With the controls taken away, as during a run, the same press does nothing.
    button("btnStart")->setEnabled(false);
    button("btnErase")->setEnabled(false);
    pressIt();
    QTest::qWait(300);
    QCOMPARE(logMessages(), QStringList{ message });
    QVERIFY(!sim.receivedLines(1).contains("version \r\n"));
    QCOMPARE(counts().mid(0, 2), QList<int>({ -1, -1 }));
}

void TestMainWindow::erase()
{
    writeConfig(0, "115200", imagePaths[1], "0");
    QVERIFY(makeWindow());
    QVERIFY(openStation(2));
    const int before = sim.receivedLines(2).size();

    ModalBoxAnswerer answerer(QMessageBox::Yes);
    QTest::mouseClick(button("btnErase"), Qt::LeftButton);
    QCOMPARE(answerer.shown, QStringLiteral("!!!Warning!!!|Are you sure to erase the entire chip???"));
    QCOMPARE(answerer.defaultButton, int(QMessageBox::Cancel));
    const QString port = sim.linkPath(2);
    QCOMPARE(logMessages().value(0), prefixed(port, "start erase..."));
    QCOMPARE(resultText(2), QStringLiteral("Erasing"));
    QTRY_VERIFY_WITH_TIMEOUT(logMessages().contains(prefixed(port, "Success")), RUN_TIMEOUT_MS);
    QCOMPARE(resultText(2), QStringLiteral("Pass"));
    QCOMPARE(counts(), QList<int>({ 1, 0, 1, 0 }));
    const QStringList commands = sim.receivedLines(2).mid(before);
    QCOMPARE(commands.count("ferase_all \r\n"), 1);
    QVERIFY(!commands.contains("upgrade \r\n"));
}

// The counters shown at start are the stored ones; a failure counts at once, and Clear Count
// zeroes both at once.
void TestMainWindow::resultsAndCounters()
{
    QSettings().setValue(SettingsKeys::PassCount, 1234567);
    QSettings().setValue(SettingsKeys::FailCount, 89);
    QVERIFY(makeWindow());
    QCOMPARE(counts(), QList<int>({ 1234567, 89, 1234567, 89 }));
    const QString port = QStringLiteral("ttyUSB7");
    const auto report = [&](int result) {
        return QMetaObject::invokeMethod(window, "slotShowDownloadResultOnWindow", Qt::DirectConnection,
                                         Q_ARG(QString, port), Q_ARG(int, result));
    };
    // The port could not be opened: one line, no advice to replace the chip.
    QVERIFY(report(513));
    QCOMPARE(logMessages(), QStringList{ prefixed(port, ErrorCodes::errorString(513)) });
    QCOMPARE(counts(), QList<int>({ 1234567, 90, 1234567, 90 }));
    QVERIFY(QMetaObject::invokeMethod(window, "on_actionClear_Count_triggered"));
    QCOMPARE(counts(), QList<int>({ 0, 0, 0, 0 }));
    QVERIFY(report(0x0203));
    QCOMPARE(logMessages().mid(1), (QStringList{ prefixed(port, ErrorCodes::errorString(0x0203)),
                                                 prefixed(port, "download failed, please replace another chip and retry.") }));
    QCOMPARE(counts(), QList<int>({ 0, 1, 0, 1 }));
}

void TestMainWindow::continuousModeCountsEveryChip()
{
    writeConfig(1, "460800", imagePaths[1], "1000");
    QVERIFY(makeWindow());
    QCOMPARE(window->findChild<QLabel *>("lblMode")->text(), QStringLiteral("continuous"));
    QVERIFY(!button("btnErase")->isEnabled());
    QVERIFY(openStation(0));
    const int before = sim.receivedLines(0).size();

    QTest::mouseClick(button("btnStart"), Qt::LeftButton);
    QVERIFY(!button("btnStart")->isEnabled() && !button("btnErase")->isEnabled());
    const QString success = prefixed(sim.linkPath(0), "Success");
    QTRY_VERIFY_WITH_TIMEOUT(logMessages().count(success) == 1, RUN_TIMEOUT_MS);
    QTRY_VERIFY_WITH_TIMEOUT(button("btnStart")->isEnabled(), 2000);
    QVERIFY(!button("btnErase")->isEnabled());
    // The worker rebooted the chip and waits for the next one on the same line.
    QTRY_VERIFY_WITH_TIMEOUT(logMessages().count(success) == 2, RUN_TIMEOUT_MS);
    QCOMPARE(counts(), QList<int>({ 2, 0, 2, 0 }));
    QVERIFY(!button("btnErase")->isEnabled());
    QTRY_COMPARE(sim.receivedLines(0).mid(before).count("reboot \r\n"), 2);
    QCOMPARE(sim.image(0, 0x1000), images[1]);
}

void TestMainWindow::about()
{
    const QByteArray document = readFile(":/documents/about.txt");
    QVERIFY(!document.isEmpty());
    QVERIFY(makeWindow());
    ModalBoxAnswerer answerer(QMessageBox::Ok);
    QVERIFY(QMetaObject::invokeMethod(window, "on_actionAbout_Zodaruzizu_triggered"));
    QCOMPARE(answerer.shown, "About|" + QString::fromUtf8(document) + "\r\nv1.9.13\r\n2022-03-03");
    QVERIFY(window->windowTitle().endsWith(" v1.9.13 2022-03-03"));
}

// Each log line lets the event loop run, so the operator's close may land in the middle of
// Start: the stations at work go with it and the rest of Start must not touch them.
void TestMainWindow::closeWhileStartIsLogging()
{
    writeConfig(0, "115200", imagePaths[1], "0");
    QVERIFY(makeWindow());
    QVERIFY(openStation(0) && openStation(1));
    QTest::mouseClick(button("btnStart"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(logMessages().filter("]: Success").size() == 2, RUN_TIMEOUT_MS);
    QTRY_VERIFY_WITH_TIMEOUT(button("btnStart")->isEnabled(), 2000);
    // Switched off and on again, the second station holds its port and counts as working.
    openClose(stationFor(1))->click();
    openClose(stationFor(1))->click();
    QVERIFY(stationFor(1)->isWorking());

    const QString station1Start = prefixed(sim.linkPath(1), "start download...");
    QTimer closer;
    connect(&closer, &QTimer::timeout, window, [&]() {
        if (logMessages().count(station1Start) == 2) {
            closer.stop();
            window->close();
        }
    });
    closer.start(0);
    QTest::mouseClick(button("btnStart"), Qt::LeftButton);
    closer.stop();
    QVERIFY(!window->isVisible() && !stationFor(0) && !stationFor(1));
    QCOMPARE(window->findChildren<SerialFlashWidget *>().size(), 18);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
