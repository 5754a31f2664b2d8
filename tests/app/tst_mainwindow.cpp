#include "chipsimprocess.h"
#include "errorcodes.h"
#include "mainwindow.h"
#include "serialflashwidget.h"
#include "serialmonitor.h"
#include "settingskeys.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QLCDNumber>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <functional>

namespace {

constexpr int CHIPS = 3;
constexpr int RUN_TIMEOUT_MS = 30000;

const QString NO_PORT_MSG = QStringLiteral("Please select some serial ports before work starts!!!");
const QString DIALOG_INVALID_MSG =
        QStringLiteral("user config is invalid, check baudrate/filepath and startaddr in config dialog!!!");
const QString SETTINGS_INVALID_MSG =
        QStringLiteral("Invalid mode, please use **singleshot** or **continuous** mode!!!");
const QString RETRY_MSG = QStringLiteral("download failed, please replace another chip and retry.");

QByteArray makeImage(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = static_cast<char>(generator.bounded(256));
    return bytes;
}

QString prefixed(const QString &port, const QString &text)
{
    return QStringLiteral("[") + port + QStringLiteral("]: ") + text;
}

// Answers the first modal box that comes up while it lives; the box may appear only after
// the caller has been through several rounds of event processing.
class ModalBoxAnswerer : public QObject
{
public:
    explicit ModalBoxAnswerer(std::function<void(QMessageBox *)> answer)
        : answer(std::move(answer))
    {
        connect(&poll, &QTimer::timeout, this, [this]() {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                poll.stop();
                this->answer(box);
            }
        });
        poll.start(10);
    }

private:
    std::function<void(QMessageBox *)> answer;
    QTimer poll;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void startDownloadsOnEveryOpenedStation();
    void startRefused_data();
    void startRefused();
    void erase_data();
    void erase();
    void resultLines_data();
    void resultLines();
    void countersAtStartAndClearCount();
    void startShortcut_data();
    void startShortcut();
    void continuousModeCountsEveryChip();
    void documents_data();
    void documents();
    void closeWhileStartIsLogging();

private:
    void writeConfig(int mode, const QString &baudrate, const QStringList &paths, const QStringList &addrs);
    void writeCounts(int pass, int fail);
    int storedCount(const QString &key) const;
    MainWindow *makeWindow();
    QList<SerialFlashWidget *> stationsInListOrder() const;
    SerialFlashWidget *stationFor(int chip) const;
    void openStation(int chip);
    QString resultText(int chip) const;
    QStringList commandsOf(int chip) const;
    QStringList logMessages() const;
    int lcdValue(const char *name) const;
    QAbstractButton *button(const char *name) const;

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

    QVERIFY(imageDir.isValid());
    images[0] = makeImage(20000, 7);
    images[1] = makeImage(3000, 11);
    for (int i = 0; i < 2; ++i) {
        imagePaths[i] = imageDir.filePath(QStringLiteral("image%1.bin").arg(i));
        QFile file(imagePaths[i]);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(images[i]), images[i].size());
    }

    QVERIFY(sim.start(CHIPS, {QStringLiteral("--families"), QStringLiteral("ZR740A,ZR740C,ZR610A")}));
    QStringList links;
    for (int chip = 0; chip < CHIPS; ++chip)
        links << sim.linkPath(chip);
    // The monitor lists these links as ports from its first scan on.
    qputenv("ZDZ_EXTRA_PORTS", links.join(QLatin1Char(':')).toLocal8Bit());
    SerialMonitor *monitor = SerialMonitor::instance();
    for (const QString &link : qAsConst(links))
        QTRY_VERIFY_WITH_TIMEOUT(monitor->currentPortList().contains(link), 5000);
}

void TestMainWindow::init()
{
    QSettings settings;
    settings.clear();
    settings.sync();
    for (int chip = 0; chip < CHIPS; ++chip)
        QVERIFY(sim.command(QStringLiteral("reboot %1").arg(chip)));
}

void TestMainWindow::cleanup()
{
    delete window.data();
    QApplication::processEvents();
}

void TestMainWindow::cleanupTestCase()
{
    sim.stop();
    QCOMPARE(sim.exitCode(), 0);
}

void TestMainWindow::writeConfig(int mode, const QString &baudrate, const QStringList &paths,
                                 const QStringList &addrs)
{
    QSettings settings;
    settings.setValue(SettingsKeys::DownloadModeIndex, mode);
    settings.setValue(SettingsKeys::Baudrate, baudrate);
    for (int row = 0; row < paths.size(); ++row) {
        settings.setValue(SettingsKeys::filePathKey(row), paths.at(row));
        settings.setValue(SettingsKeys::startAddrKey(row), addrs.at(row));
    }
    settings.sync();
}

void TestMainWindow::writeCounts(int pass, int fail)
{
    QSettings settings;
    settings.setValue(SettingsKeys::PassCount, pass);
    settings.setValue(SettingsKeys::FailCount, fail);
    settings.sync();
}

int TestMainWindow::storedCount(const QString &key) const
{
    return QSettings().value(key, -1).toInt();
}

// A fresh window finds the monitor already past its first scan, so it is bound to the
// simulated ports through the same slot that the monitor's report reaches.
MainWindow *TestMainWindow::makeWindow()
{
    window = new MainWindow();
    const bool bound = QMetaObject::invokeMethod(
            window, "slotSerialScanResult", Qt::DirectConnection,
            Q_ARG(SerialMonitor::SerialScanResult, SerialMonitor::SCAN_RESULT_ADDED));
    return bound ? window.data() : nullptr;
}

// Row by row, left before right: the order in which the window walks its stations.
QList<SerialFlashWidget *> TestMainWindow::stationsInListOrder() const
{
    QList<SerialFlashWidget *> stations = window->findChildren<SerialFlashWidget *>();
    std::sort(stations.begin(), stations.end(), [this](SerialFlashWidget *a, SerialFlashWidget *b) {
        const QPoint pa = a->mapTo(window, QPoint());
        const QPoint pb = b->mapTo(window, QPoint());
        return pa.y() != pb.y() ? pa.y() < pb.y() : pa.x() < pb.x();
    });
    return stations;
}

SerialFlashWidget *TestMainWindow::stationFor(int chip) const
{
    for (SerialFlashWidget *station : window->findChildren<SerialFlashWidget *>()) {
        if (station->portName() == sim.linkPath(chip))
            return station;
    }
    return nullptr;
}

void TestMainWindow::openStation(int chip)
{
    SerialFlashWidget *station = stationFor(chip);
    QVERIFY(station);
    auto *openClose = station->findChild<QAbstractButton *>(QStringLiteral("rdbtnOpenClose"));
    QVERIFY(openClose);
    openClose->click();
    QCOMPARE(station->serialState(), SerialFlashWidget::STATE_OPENED);
}

QString TestMainWindow::resultText(int chip) const
{
    SerialFlashWidget *station = stationFor(chip);
    auto *result = station ? station->findChild<QLineEdit *>(QStringLiteral("leditResult")) : nullptr;
    return result ? result->text() : QString();
}

// The command lines a chip received, without their line ends.
QStringList TestMainWindow::commandsOf(int chip) const
{
    QStringList commands;
    for (const QString &line : sim.receivedLines(chip))
        commands << line.trimmed();
    return commands;
}

// Every line must carry the time stamp; the messages behind it are returned.
QStringList TestMainWindow::logMessages() const
{
    static const QRegularExpression stamped(
            QStringLiteral("\\A\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}:\\d{3} \\| (.*)\\z"));
    QStringList messages;
    const QString text = window->findChild<QPlainTextEdit *>(QStringLiteral("txtLog"))->toPlainText();
    for (const QString &line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch match = stamped.match(line);
        if (!match.hasMatch())
            return {QStringLiteral("unstamped log line: ") + line};
        messages << match.captured(1);
    }
    return messages;
}

int TestMainWindow::lcdValue(const char *name) const
{
    return window->findChild<QLCDNumber *>(QLatin1String(name))->intValue();
}

QAbstractButton *TestMainWindow::button(const char *name) const
{
    return window->findChild<QAbstractButton *>(QLatin1String(name));
}

void TestMainWindow::startDownloadsOnEveryOpenedStation()
{
    writeConfig(0, QStringLiteral("921600"), {imagePaths[0], imagePaths[1]},
                {QStringLiteral("8000"), QStringLiteral("40000")});
    writeCounts(4, 1);
    QVERIFY(makeWindow());
    openStation(0);
    openStation(2);
    const int before0 = commandsOf(0).size();
    const int before2 = commandsOf(2).size();
    QVERIFY(stationFor(1));

    QTest::mouseClick(button("btnStart"), Qt::LeftButton);

    QStringList expectedStarts;
    for (SerialFlashWidget *station : stationsInListOrder()) {
        if (station->serialState() == SerialFlashWidget::STATE_OPENED)
            expectedStarts << prefixed(station->portName(), QStringLiteral("start download..."));
    }
    QCOMPARE(expectedStarts.size(), 2);
    QCOMPARE(logMessages().mid(0, 2), expectedStarts);

    QVERIFY(!button("btnStart")->isEnabled());
    QVERIFY(!button("btnErase")->isEnabled());
    for (int chip = 0; chip < CHIPS; ++chip)
        QVERIFY(!stationFor(chip)->findChild<QAbstractButton *>(QStringLiteral("rdbtnOpenClose"))->isEnabled());

    const QString success0 = prefixed(sim.linkPath(0), QStringLiteral("Success"));
    const QString success2 = prefixed(sim.linkPath(2), QStringLiteral("Success"));
    QTRY_VERIFY_WITH_TIMEOUT(logMessages().contains(success0) && logMessages().contains(success2),
                             RUN_TIMEOUT_MS);
    QCOMPARE(resultText(0), QStringLiteral("Pass"));
    QCOMPARE(resultText(2), QStringLiteral("Pass"));
    QCOMPARE(resultText(1), QStringLiteral("Not Started"));
    QCOMPARE(storedCount(SettingsKeys::PassCount), 6);
    QCOMPARE(storedCount(SettingsKeys::FailCount), 1);
    QCOMPARE(lcdValue("lcdPassCount"), 6);
    QCOMPARE(lcdValue("lcdFailCount"), 1);
    QCOMPARE(logMessages().size(), 4);

    // The next periodic check after the last result gives the operator the controls back.
    QTRY_VERIFY_WITH_TIMEOUT(button("btnStart")->isEnabled(), 2000);
    QVERIFY(button("btnErase")->isEnabled());
    for (int chip = 0; chip < CHIPS; ++chip)
        QVERIFY(stationFor(chip)->findChild<QAbstractButton *>(QStringLiteral("rdbtnOpenClose"))->isEnabled());

    for (int chip : {0, 2}) {
        QCOMPARE(sim.image(chip, 0x8000), images[0]);
        QCOMPARE(sim.image(chip, 0x40000), images[1]);
        QCOMPARE(commandsOf(chip).mid(chip == 0 ? before0 : before2).count(QStringLiteral("upgrade")), 2);
    }
    QVERIFY(!commandsOf(1).contains(QStringLiteral("version")));
}

void TestMainWindow::startRefused_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("openPort");
    QTest::addColumn<bool>("validSettings");
    QTest::addColumn<bool>("dialog");
    QTest::addColumn<QString>("message");

    QTest::newRow("Start without an opened port") << "btnStart" << false << true << false << NO_PORT_MSG;
    QTest::newRow("Erase without an opened port") << "btnErase" << false << true << false << NO_PORT_MSG;
    QTest::newRow("stored configuration without files")
            << "btnStart" << true << false << false << SETTINGS_INVALID_MSG;
    QTest::newRow("dialog with rows that yield no file") << "btnStart" << true << false << true << DIALOG_INVALID_MSG;
}

void TestMainWindow::startRefused()
{
    QFETCH(QString, button);
    QFETCH(bool, openPort);
    QFETCH(bool, validSettings);
    QFETCH(bool, dialog);
    QFETCH(QString, message);

    if (validSettings)
        writeConfig(0, QStringLiteral("115200"), {imagePaths[0]}, {QStringLiteral("0")});
    else
        writeConfig(0, QStringLiteral("115200"), {imagePaths[0]}, {QString()});
    QVERIFY(makeWindow());
    if (openPort)
        openStation(1);
    if (dialog)
        QVERIFY(QMetaObject::invokeMethod(window, "on_actionEdit_Configurations_triggered"));

    QTest::mouseClick(this->button(button.toLatin1().constData()), Qt::LeftButton);

    QCOMPARE(logMessages(), QStringList{message});
    QVERIFY(this->button("btnStart")->isEnabled());
    QVERIFY(this->button("btnErase")->isEnabled());
    for (SerialFlashWidget *station : window->findChildren<SerialFlashWidget *>()) {
        QCOMPARE(station->findChild<QLineEdit *>(QStringLiteral("leditResult"))->text(),
                 QStringLiteral("Not Started"));
    }
    QTest::qWait(300);
    QVERIFY(!commandsOf(1).contains(QStringLiteral("version")));
    QCOMPARE(storedCount(SettingsKeys::PassCount), -1);
}

void TestMainWindow::erase_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("erases");

    QTest::newRow("No") << int(QMessageBox::No) << false;
    QTest::newRow("Cancel") << int(QMessageBox::Cancel) << false;
    QTest::newRow("Yes") << int(QMessageBox::Yes) << true;
}

void TestMainWindow::erase()
{
    QFETCH(int, answer);
    QFETCH(bool, erases);

    writeConfig(0, QStringLiteral("115200"), {imagePaths[1]}, {QStringLiteral("0")});
    QVERIFY(makeWindow());
    openStation(2);
    const int before = commandsOf(2).size();

    QString question;
    int defaultButton = 0;
    ModalBoxAnswerer answerer([&](QMessageBox *box) {
        question = box->windowTitle() + QLatin1Char('|') + box->text();
        defaultButton = box->standardButton(box->defaultButton());
        box->button(static_cast<QMessageBox::StandardButton>(answer))->click();
    });
    QTest::mouseClick(button("btnErase"), Qt::LeftButton);

    QCOMPARE(question, QStringLiteral("!!!Warning!!!|Are you sure to erase the entire chip???"));
    QCOMPARE(defaultButton, int(QMessageBox::Cancel));
    if (!erases) {
        QCOMPARE(logMessages(), QStringList{QStringLiteral("quit erase")});
        QCOMPARE(resultText(2), QStringLiteral("Not Started"));
        QVERIFY(button("btnStart")->isEnabled());
        return;
    }

    const QString port = sim.linkPath(2);
    QCOMPARE(logMessages().value(0), prefixed(port, QStringLiteral("start erase...")));
    QCOMPARE(resultText(2), QStringLiteral("Erasing"));
    QTRY_VERIFY_WITH_TIMEOUT(logMessages().contains(prefixed(port, QStringLiteral("Success"))), RUN_TIMEOUT_MS);
    QCOMPARE(resultText(2), QStringLiteral("Pass"));
    QCOMPARE(storedCount(SettingsKeys::PassCount), 1);
    QCOMPARE(storedCount(SettingsKeys::FailCount), 0);
    const QStringList commands = commandsOf(2).mid(before);
    QCOMPARE(commands.count(QStringLiteral("ferase_all")), 1);
    QVERIFY(!commands.contains(QStringLiteral("upgrade")));
}

void TestMainWindow::resultLines_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("result");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<int>("pass");
    QTest::addColumn<int>("fail");

    const QString port = QStringLiteral("ttyUSB7");
    QTest::newRow("success") << port << 0 << QStringList{prefixed(port, QStringLiteral("Success"))} << 8 << 3;
    QTest::newRow("port open failed: one line")
            << port << 513 << QStringList{prefixed(port, ErrorCodes::errorString(513))} << 7 << 4;
    QTest::newRow("version unread: two lines")
            << port << 0x0203
            << QStringList{prefixed(port, ErrorCodes::errorString(0x0203)), prefixed(port, RETRY_MSG)} << 7 << 4;
    QTest::newRow("unclassified chip")
            << port << 0xFFFF
            << QStringList{prefixed(port, ErrorCodes::errorString(0xFFFF)), prefixed(port, RETRY_MSG)} << 7 << 4;
    QTest::newRow("port vanished during the run")
            << QString() << 0x040A
            << QStringList{prefixed(QString(), ErrorCodes::errorString(0x040A)), prefixed(QString(), RETRY_MSG)}
            << 7 << 4;
}

void TestMainWindow::resultLines()
{
    QFETCH(QString, port);
    QFETCH(int, result);
    QFETCH(QStringList, lines);
    QFETCH(int, pass);
    QFETCH(int, fail);

    writeCounts(7, 3);
    QVERIFY(makeWindow());
    QVERIFY(!ErrorCodes::errorString(result).isEmpty());

    QVERIFY(QMetaObject::invokeMethod(window, "slotShowDownloadResultOnWindow", Qt::DirectConnection,
                                      Q_ARG(QString, port), Q_ARG(int, result)));

    QCOMPARE(logMessages(), lines);
    QCOMPARE(storedCount(SettingsKeys::PassCount), pass);
    QCOMPARE(storedCount(SettingsKeys::FailCount), fail);
    QCOMPARE(lcdValue("lcdPassCount"), pass);
    QCOMPARE(lcdValue("lcdFailCount"), fail);
}

void TestMainWindow::countersAtStartAndClearCount()
{
    writeCounts(1234567, 89);
    QVERIFY(makeWindow());
    QCOMPARE(lcdValue("lcdPassCount"), 1234567);
    QCOMPARE(lcdValue("lcdFailCount"), 89);

    QVERIFY(QMetaObject::invokeMethod(window, "on_actionClear_Count_triggered"));
    QCOMPARE(lcdValue("lcdPassCount"), 0);
    QCOMPARE(lcdValue("lcdFailCount"), 0);
    QCOMPARE(storedCount(SettingsKeys::PassCount), 0);
    QCOMPARE(storedCount(SettingsKeys::FailCount), 0);

    // Counting goes on from the cleared values.
    QVERIFY(QMetaObject::invokeMethod(window, "slotShowDownloadResultOnWindow", Qt::DirectConnection,
                                      Q_ARG(QString, QStringLiteral("ttyUSB0")), Q_ARG(int, 0x0302)));
    QCOMPARE(lcdValue("lcdFailCount"), 1);
    QCOMPARE(storedCount(SettingsKeys::FailCount), 1);
    QCOMPARE(storedCount(SettingsKeys::PassCount), 0);
}

void TestMainWindow::startShortcut_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");

    QTest::newRow("keypad Enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
    QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::NoModifier);
}

void TestMainWindow::startShortcut()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);

    QVERIFY(makeWindow());
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));

    QTest::keyClick(window, static_cast<Qt::Key>(key), static_cast<Qt::KeyboardModifiers>(modifiers));
    QTRY_COMPARE(logMessages(), QStringList{NO_PORT_MSG});

    // With the controls taken away during a run the key does nothing.
    button("btnStart")->setEnabled(false);
    QTest::keyClick(window, static_cast<Qt::Key>(key), static_cast<Qt::KeyboardModifiers>(modifiers));
    QTest::qWait(300);
    QCOMPARE(logMessages(), QStringList{NO_PORT_MSG});
}

void TestMainWindow::continuousModeCountsEveryChip()
{
    writeConfig(1, QStringLiteral("460800"), {imagePaths[1]}, {QStringLiteral("1000")});
    QVERIFY(makeWindow());
    auto *modeLabel = window->findChild<QLabel *>(QStringLiteral("lblMode"));
    QCOMPARE(modeLabel->text(), QStringLiteral("continuous"));
    QVERIFY(!button("btnErase")->isEnabled());
    openStation(0);
    const int before = commandsOf(0).size();

    QTest::mouseClick(button("btnStart"), Qt::LeftButton);
    QVERIFY(!button("btnStart")->isEnabled());
    QVERIFY(!button("btnErase")->isEnabled());

    const QString success = prefixed(sim.linkPath(0), QStringLiteral("Success"));
    QTRY_VERIFY_WITH_TIMEOUT(logMessages().count(success) == 1, RUN_TIMEOUT_MS);
    QTRY_VERIFY_WITH_TIMEOUT(button("btnStart")->isEnabled(), 2000);
    QVERIFY(!button("btnErase")->isEnabled());

    // The worker rebooted the chip and waits for the next one on the same line.
    QTRY_VERIFY_WITH_TIMEOUT(logMessages().count(success) == 2, RUN_TIMEOUT_MS);
    QCOMPARE(storedCount(SettingsKeys::PassCount), 2);
    QCOMPARE(lcdValue("lcdPassCount"), 2);
    QVERIFY(!button("btnErase")->isEnabled());
    QTRY_COMPARE(commandsOf(0).mid(before).count(QStringLiteral("reboot")), 2);
    QCOMPARE(sim.image(0, 0x1000), images[1]);

    // A further Start hands the line its configuration again and keeps Erase off.
    QTest::mouseClick(button("btnStart"), Qt::LeftButton);
    QVERIFY(!button("btnErase")->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(button("btnStart")->isEnabled() || logMessages().count(success) == 3, RUN_TIMEOUT_MS);
    QVERIFY(!button("btnErase")->isEnabled());
}

void TestMainWindow::documents_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QStringList>("lines");

    auto document = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    const QString about = document(QStringLiteral(":/documents/about.txt"));
    const QString guide = document(QStringLiteral(":/documents/user_guide.txt"));
    QVERIFY(!about.isEmpty());
    QVERIFY(!guide.isEmpty());

    QTest::newRow("About") << "on_actionAbout_Zodaruzizu_triggered" << "About"
                           << QStringList{about, QStringLiteral("v1.9.13"), QStringLiteral("2022-03-03")};
    QTest::newRow("User Guide") << "on_actionUser_Guide_triggered" << "User Guide" << guide.split(QStringLiteral("\r\n"));
}

void TestMainWindow::documents()
{
    QFETCH(QString, slot);
    QFETCH(QString, title);
    QFETCH(QStringList, lines);

    QVERIFY(makeWindow());
    QString shownTitle;
    QString shownText;
    ModalBoxAnswerer answerer([&](QMessageBox *box) {
        shownTitle = box->windowTitle();
        shownText = box->text();
        box->accept();
    });
    QVERIFY(QMetaObject::invokeMethod(window, slot.toLatin1().constData()));

    QCOMPARE(shownTitle, title);
    QCOMPARE(shownText.split(QStringLiteral("\r\n")), lines);
    QVERIFY(window->windowTitle().endsWith(QStringLiteral(" v1.9.13 2022-03-03")));
}

// Each log line lets the event loop run, so the operator's close may land in the middle of
// Start: the stations at work go with it and the rest of Start must not touch them.
void TestMainWindow::closeWhileStartIsLogging()
{
    QApplication::setQuitOnLastWindowClosed(false);
    writeConfig(0, QStringLiteral("115200"), {imagePaths[1]}, {QStringLiteral("0")});
    QVERIFY(makeWindow());
    openStation(0);
    openStation(1);
    QTest::mouseClick(button("btnStart"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(logMessages().filter(QStringLiteral("]: Success")).size() == 2, RUN_TIMEOUT_MS);
    QTRY_VERIFY_WITH_TIMEOUT(button("btnStart")->isEnabled(), 2000);

    // Switched off and on again, the second station holds its port and counts as working.
    auto *openClose = stationFor(1)->findChild<QAbstractButton *>(QStringLiteral("rdbtnOpenClose"));
    openClose->click();
    openClose->click();
    QVERIFY(stationFor(1)->isWorking());

    const QString station1Start = prefixed(sim.linkPath(1), QStringLiteral("start download..."));
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

    QVERIFY(!window->isVisible());
    QVERIFY(!stationFor(0));
    QVERIFY(!stationFor(1));
    QCOMPARE(window->findChildren<SerialFlashWidget *>().size(), 18);
    QApplication::setQuitOnLastWindowClosed(true);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
