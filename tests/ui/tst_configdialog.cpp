#include "configdialog.h"
#include "filecfgwidget.h"
#include "settingskeys.h"
#include "userconfig.h"

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

template<typename T>
T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QLatin1String(name));
    return found ? found : (qFatal("no child %s", name), nullptr);
}

// The rows in the order the dialog lays them out.
QList<FileCfgWidget *> rowsOf(ConfigDialog *dialog)
{
    QList<FileCfgWidget *> rows;
    QLayout *layout = child<QGroupBox>(dialog, "filecfgBox")->layout();
    for (int i = 0; i < layout->count(); ++i) {
        if (auto *row = qobject_cast<FileCfgWidget *>(layout->itemAt(i)->widget()))
            rows.append(row);
    }
    return rows;
}

void storeRow(int row, const QString &path, const QString &addr)
{
    QSettings settings;
    settings.setValue(SettingsKeys::filePathKey(row), path);
    settings.setValue(SettingsKeys::startAddrKey(row), addr);
}

QMap<QString, QString> storeSnapshot()
{
    QSettings settings;
    QMap<QString, QString> snapshot;
    for (const QString &key : settings.allKeys())
        snapshot.insert(key, settings.value(key).toString());
    return snapshot;
}

} // namespace

class tst_ConfigDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { QSettings().clear(); }
    void loadWritesNothing_data();
    void loadWritesNothing();
    void typing_data();
    void typing();
    void storedAtOnce_data();
    void storedAtOnce();
    void getUserConfig_data();
    void getUserConfig();
    void endings_data();
    void endings();
};

void tst_ConfigDialog::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_configdialog"));
    // A locale with a group separator, as on many operators' machines.
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

void tst_ConfigDialog::loadWritesNothing_data()
{
    QTest::addColumn<bool>("filled");
    QTest::addColumn<bool>("reload");
    QTest::newRow("empty store") << false << false;
    QTest::newRow("filled store") << true << false;
    QTest::newRow("store filled after the first load") << true << true;
}

// Loading fills the widgets by program: nothing may be written back and no message shown.
void tst_ConfigDialog::loadWritesNothing()
{
    QFETCH(bool, filled);
    QFETCH(bool, reload);

    auto fill = [] {
        QSettings().setValue(SettingsKeys::DownloadModeIndex, 1);
        QSettings().setValue(SettingsKeys::Baudrate, QStringLiteral("921600"));
        storeRow(1, QStringLiteral("/img/app.bin"), QStringLiteral("8000"));
    };
    if (filled && !reload)
        fill();
    QMap<QString, QString> before = storeSnapshot();
    ConfigDialog dialog;
    const QList<FileCfgWidget *> rows = rowsOf(&dialog);
    if (reload) {
        fill();
        before = storeSnapshot();
        dialog.loadSettings();
    }

    QCOMPARE(storeSnapshot(), before);
    QVERIFY(child<QLabel>(&dialog, "msgLabel")->text().isEmpty());
    QCOMPARE(rowsOf(&dialog), rows);
    QCOMPARE(dialog.findChildren<FileCfgWidget *>().size(), UserConfig::FILE_ROW_COUNT);
    QCOMPARE((QStringList{QString::number(child<QComboBox>(&dialog, "cBoxMode")->currentIndex()),
                          child<QLineEdit>(&dialog, "leditBaudrate")->text(), rows.at(1)->filePathText(), rows.at(1)->startAddrText(),
                          rows.at(0)->filePathText()}),
             (filled ? QStringList{"1", "921600", "/img/app.bin", "8000", ""} : QStringList{"0", "115200", "", "", ""}));
}

void tst_ConfigDialog::typing_data()
{
    // "speed" or the start address of row 3.
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");
    // The colour of the message: green for an accepted speed, red for a refused one.
    QTest::addColumn<QString>("colour");
    // The only value in the store afterwards; empty when nothing may be stored.
    QTest::addColumn<QString>("stored");

    QTest::newRow("speed, partial 1152") << "speed" << "" << "1152" << "1152" << "red" << "";
    QTest::newRow("speed, 1152 completed to 115200") << "speed" << "1152" << "00" << "115200" << "green" << "115200";
    QTest::newRow("speed, highest") << "speed" << "" << "3000000" << "3000000" << "green" << "3000000";
    QTest::newRow("speed, just below") << "speed" << "" << "115199" << "115199" << "red" << "";
    QTest::newRow("speed, in-range prefix of one above") << "speed" << "" << "3000001" << "3000001" << "red" << "300000";
    QTest::newRow("speed, group separators refused") << "speed" << "" << "1,500,000" << "1500000" << "green" << "1500000";
    QTest::newRow("address, eleventh character refused") << "address" << "" << "0x123456789A" << "0x12345678" << "" << "0x12345678";
    QTest::newRow("address, not hexadecimal, kept as typed") << "address" << "" << "12G" << "12G" << "" << "12G";
}

void tst_ConfigDialog::typing()
{
    QFETCH(QString, target);
    QFETCH(QString, start);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(QString, colour);
    QFETCH(QString, stored);

    ConfigDialog dialog;
    const bool speed = target == QLatin1String("speed");
    auto *edit = speed ? child<QLineEdit>(&dialog, "leditBaudrate") : child<QLineEdit>(rowsOf(&dialog).at(3), "leditStartAddr");
    auto *msg = child<QLabel>(&dialog, "msgLabel");
    edit->setText(start);
    QTest::keyClicks(edit, typed);

    QCOMPARE(edit->text(), shown);
    QCOMPARE(msg->text(), colour.isEmpty()            ? QString()
                          : colour == QLatin1String("green") ? QStringLiteral("Acceptable baudrate [%1].").arg(shown)
                                                             : QStringLiteral("Valid range is: [115200, 3000000]!!!"));
    QCOMPARE(msg->styleSheet(), colour.isEmpty() ? QString() : QStringLiteral("color: %1;").arg(colour));
    QMap<QString, QString> expected;
    if (!stored.isEmpty())
        expected.insert(speed ? SettingsKeys::Baudrate : SettingsKeys::startAddrKey(3), stored);
    QCOMPARE(storeSnapshot(), expected);
}

void tst_ConfigDialog::storedAtOnce_data()
{
    QTest::addColumn<QString>("action");
    // What changes in the store, "key=value" with {d} for the images' folder; every other key keeps its value.
    QTest::addColumn<QStringList>("changes");
    QTest::newRow("continuous chosen") << "mode" << QStringList{"key_download_mode_index=1"};
    QTest::newRow("Clear on row 2") << "clear" << QStringList{"key_filepath_index_2=", "key_startaddr_index_2="};
    QTest::newRow("file chosen on row 1") << "choose" << QStringList{"key_filepath_index_1={d}/new.bin"};
    QTest::newRow("file choice on row 1 cancelled") << "cancel" << QStringList();
}

// Each edit by the operator is stored at once, under its own row's keys only, and shown as stored.
void tst_ConfigDialog::storedAtOnce()
{
    QFETCH(QString, action);
    QFETCH(QStringList, changes);

    QTemporaryDir dir;
    for (int n = 0; n <= UserConfig::FILE_ROW_COUNT; ++n) {
        QFile file(dir.filePath(n < UserConfig::FILE_ROW_COUNT ? QStringLiteral("part%1.bin").arg(n) : QStringLiteral("new.bin")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("\x5a\xa5", 2) == 2);
        if (n < UserConfig::FILE_ROW_COUNT)
            storeRow(n, file.fileName(), QStringLiteral("%1000").arg(n + 1));
    }
    QMap<QString, QString> expected = storeSnapshot();
    for (const QString &change : changes)
        expected.insert(change.section(QLatin1Char('='), 0, 0),
                        change.section(QLatin1Char('='), 1).replace(QLatin1String("{d}"), dir.path()));
    ConfigDialog dialog;
    dialog.show();
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    const QList<FileCfgWidget *> rows = rowsOf(&dialog);

    // Plays the operator in front of the toolkit's file dialog; any other modal window is closed
    // and counted, so the test never hangs.
    QStringList fileDialogs;
    int modals = 0;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        auto *modal = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        auto *fileDialog = qobject_cast<QFileDialog *>(modal);
        if (modal && (++modals > 1 || !fileDialog || fileDialog->parentWidget() != rows.at(1)))
            return modal->reject();
        if (!fileDialog)
            return;
        fileDialogs << fileDialog->windowTitle() << fileDialog->directory().absolutePath() << fileDialog->nameFilters();
        if (action == QLatin1String("cancel"))
            return fileDialog->reject();
        fileDialog->selectFile(dir.filePath(QStringLiteral("new.bin")));
        // QFileDialog narrows accept() to protected; it still checks the file exists.
        static_cast<QDialog *>(fileDialog)->accept();
    });
    poll.start(10);
    if (action == QLatin1String("mode"))
        QTest::keyClick(child<QComboBox>(&dialog, "cBoxMode"), Qt::Key_Down);
    else if (action == QLatin1String("clear"))
        QTest::mouseClick(child<QPushButton>(rows.at(2), "btnReset"), Qt::LeftButton);
    else
        QTest::mouseClick(child<QPushButton>(rows.at(1), "btnSelectFilepath"), Qt::LeftButton);
    poll.stop();

    QCOMPARE(storeSnapshot(), expected);
    for (int n = 0; n < UserConfig::FILE_ROW_COUNT; ++n) {
        QCOMPARE(rows.at(n)->filePathText(), expected.value(SettingsKeys::filePathKey(n)));
        QCOMPARE(rows.at(n)->startAddrText(), expected.value(SettingsKeys::startAddrKey(n)));
    }
    QCOMPARE(child<QComboBox>(&dialog, "cBoxMode")->currentIndex(), expected.value(SettingsKeys::DownloadModeIndex, "0").toInt());
    QCOMPARE(accepted.count(), 0);
    QCOMPARE(modals, fileDialogs.isEmpty() ? 0 : 1);
    if (action == QLatin1String("choose") || action == QLatin1String("cancel"))
        QCOMPARE(fileDialogs, (QStringList{"Select *.bin file:", dir.path(), "bin (*.bin)"}));
}

void tst_ConfigDialog::getUserConfig_data()
{
    // One "path@address" per row as typed in the fields; the result as "path@hex address".
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<bool>("null");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QStringList>("files");
    QTest::newRow("path without address and address without path left out")
        << QStringList{"/img/a.bin@1000", "/img/b.bin@", "/img/c.bin@FFFFFFFF", "@20000"} << false << true
        << QStringList{"/img/a.bin@1000", "/img/c.bin@ffffffff"};
    QTest::newRow("no usable row") << QStringList{"/img/a.bin@", "@1000", "@", "/img/d.bin@12G"} << false << false << QStringList();
    QTest::newRow("null pointer") << QStringList{"/img/a.bin@1000", "@", "@", "@"} << true << false << QStringList();
}

// Rows come from the fields; mode and speed from the store, whatever the widgets show.
void tst_ConfigDialog::getUserConfig()
{
    QFETCH(QStringList, fields);
    QFETCH(bool, null);
    QFETCH(bool, valid);
    QFETCH(QStringList, files);

    for (int n = 0; n < UserConfig::FILE_ROW_COUNT; ++n)
        storeRow(n, QStringLiteral("/stale/%1.bin").arg(n), QStringLiteral("4000"));
    ConfigDialog dialog;
    QSettings().setValue(SettingsKeys::Baudrate, QStringLiteral("921600"));
    QSettings().setValue(SettingsKeys::DownloadModeIndex, 1);
    child<QLineEdit>(&dialog, "leditBaudrate")->setText(QStringLiteral("1500000"));
    const QList<FileCfgWidget *> rows = rowsOf(&dialog);
    for (int n = 0; n < rows.size(); ++n) {
        rows.at(n)->setFilePath(fields.at(n).section(QLatin1Char('@'), 0, 0));
        rows.at(n)->setStartAddr(fields.at(n).section(QLatin1Char('@'), 1));
    }

    const QMap<QString, QString> before = storeSnapshot();
    UserConfig config;
    QCOMPARE(dialog.getUserConfig(null ? nullptr : &config), valid);
    QCOMPARE(storeSnapshot(), before);
    if (null)
        return;
    QCOMPARE(config.baudrate(), 921600u);
    QCOMPARE(config.downloadMode(), quint32(UserConfig::DOWNLOAD_MODE_CONTINUOUS));
    QStringList got;
    for (const FileCfg &file : config.fileList())
        got << file.filePath + QLatin1Char('@') + QString::number(file.startAddr, 16);
    QCOMPARE(got, files);
}

void tst_ConfigDialog::endings_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("result");
    QTest::newRow("Confirm") << "confirm" << int(QDialog::Accepted);
    QTest::newRow("window closed") << "close" << int(QDialog::Accepted);
    QTest::newRow("Escape") << "escape" << int(QDialog::Rejected);
}

void tst_ConfigDialog::endings()
{
    QFETCH(QString, how);
    QFETCH(int, result);

    ConfigDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    // A result left over from an earlier showing must not be mistaken for this one.
    dialog.setResult(result == QDialog::Accepted ? QDialog::Rejected : QDialog::Accepted);
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    if (how == QLatin1String("confirm"))
        QTest::mouseClick(child<QPushButton>(&dialog, "btnConfirm"), Qt::LeftButton);
    else if (how == QLatin1String("close"))
        QVERIFY(dialog.close());
    else
        QTest::keyClick(&dialog, Qt::Key_Escape);

    QCOMPARE(dialog.result(), result);
    QCOMPARE(accepted.count(), result == QDialog::Accepted ? 1 : 0);
    QVERIFY(!dialog.isVisible());
}

QTEST_MAIN(tst_ConfigDialog)
#include "tst_configdialog.moc"
