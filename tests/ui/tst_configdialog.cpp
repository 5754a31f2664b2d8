#include "configdialog.h"
#include "filecfgwidget.h"
#include "settingskeys.h"
#include "userconfig.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
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

Q_DECLARE_METATYPE(QList<quint32>)

namespace {

template<typename T>
T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
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

// Plays the operator in front of the toolkit's own file dialog: records what it was opened
// with, then picks a file or cancels. Any other modal window is refused so a test never hangs.
struct FileDialogOperator
{
    QString pick;
    bool answered = false;
    QWidget *parent = nullptr;
    QString title;
    QStringList filters;
    QString directory;
    QStringList strayWindows;
    QTimer poll;

    explicit FileDialogOperator(const QString &file)
        : pick(file)
    {
        poll.setInterval(10);
        QObject::connect(&poll, &QTimer::timeout, [this] { answer(); });
        poll.start();
    }

    void answer()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal)
            return;
        auto *fileDialog = qobject_cast<QFileDialog *>(modal);
        if (!fileDialog || answered) {
            strayWindows << modal->metaObject()->className();
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                dialog->reject();
            else
                modal->hide();
            return;
        }
        answered = true;
        parent = fileDialog->parentWidget();
        title = fileDialog->windowTitle();
        filters = fileDialog->nameFilters();
        directory = fileDialog->directory().absolutePath();
        if (pick.isEmpty()) {
            fileDialog->reject();
        } else {
            fileDialog->selectFile(pick);
            // QFileDialog narrows accept() to protected; it still checks the file exists.
            static_cast<QDialog *>(fileDialog)->accept();
        }
    }
};

} // namespace

class tst_ConfigDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void form();
    void loadWritesNothing_data();
    void loadWritesNothing();
    void partialSpeedThenComplete();
    void speedEdit_data();
    void speedEdit();
    void modeStoredAtOnce();
    void clearTouchesOnlyItsRow();
    void fileChoice_data();
    void fileChoice();
    void addressEdit_data();
    void addressEdit();
    void getUserConfig_data();
    void getUserConfig();
    void getUserConfigNullPointer();
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

void tst_ConfigDialog::init()
{
    QSettings settings;
    settings.clear();
    settings.sync();
}

// The rows' slots find their settings keys through the number the dialog gave them.
void tst_ConfigDialog::form()
{
    ConfigDialog dialog;
    const QList<FileCfgWidget *> rows = rowsOf(&dialog);
    QCOMPARE(rows.size(), UserConfig::FILE_ROW_COUNT);
    for (int n = 0; n < rows.size(); ++n)
        QCOMPARE(rows.at(n)->property("key_file_index").toInt(), n);

    QLayout *main = dialog.layout();
    QCOMPARE(main->objectName(), QStringLiteral("mainVLayout"));
    QCOMPARE(main->itemAt(main->count() - 1)->widget()->objectName(), QStringLiteral("msgLabel"));
    QCOMPARE(child<QComboBox>(&dialog, "cBoxMode")->itemText(UserConfig::DOWNLOAD_MODE_CONTINUOUS),
             QStringLiteral("continuous"));
}

void tst_ConfigDialog::loadWritesNothing_data()
{
    QTest::addColumn<bool>("filled");
    QTest::newRow("empty store") << false;
    QTest::newRow("filled store") << true;
}

// Loading fills the widgets by program: nothing may be written back and no message shown.
void tst_ConfigDialog::loadWritesNothing()
{
    QFETCH(bool, filled);

    if (filled) {
        QSettings settings;
        settings.setValue(SettingsKeys::DownloadModeIndex, 1);
        settings.setValue(SettingsKeys::Baudrate, QStringLiteral("921600"));
        storeRow(1, QStringLiteral("/img/app.bin"), QStringLiteral("8000"));
    }
    const QMap<QString, QString> before = storeSnapshot();

    ConfigDialog dialog;
    auto *msg = child<QLabel>(&dialog, "msgLabel");
    const QList<FileCfgWidget *> rows = rowsOf(&dialog);

    QCOMPARE(child<QComboBox>(&dialog, "cBoxMode")->currentIndex(), filled ? 1 : 0);
    QCOMPARE(child<QLineEdit>(&dialog, "leditBaudrate")->text(), filled ? QStringLiteral("921600") : QStringLiteral("115200"));
    QCOMPARE(rows.at(1)->filePathText(), filled ? QStringLiteral("/img/app.bin") : QString());
    QCOMPARE(rows.at(1)->startAddrText(), filled ? QStringLiteral("8000") : QString());
    QVERIFY(rows.at(0)->filePathText().isEmpty());
    QCOMPARE(storeSnapshot(), before);
    QVERIFY(msg->text().isEmpty());

    // A later load shows what the store holds now, on the same four rows.
    {
        QSettings settings;
        settings.setValue(SettingsKeys::Baudrate, QStringLiteral("460800"));
        settings.setValue(SettingsKeys::DownloadModeIndex, 0);
        storeRow(3, QStringLiteral("/img/data.bin"), QStringLiteral("20000"));
    }
    const QMap<QString, QString> reloaded = storeSnapshot();
    dialog.loadSettings();
    QCOMPARE(rowsOf(&dialog), rows);
    QCOMPARE(dialog.findChildren<FileCfgWidget *>().size(), UserConfig::FILE_ROW_COUNT);
    QCOMPARE(child<QComboBox>(&dialog, "cBoxMode")->currentIndex(), 0);
    QCOMPARE(child<QLineEdit>(&dialog, "leditBaudrate")->text(), QStringLiteral("460800"));
    QCOMPARE(rows.at(3)->filePathText(), QStringLiteral("/img/data.bin"));
    QCOMPARE(rows.at(3)->startAddrText(), QStringLiteral("20000"));
    QCOMPARE(storeSnapshot(), reloaded);
    QVERIFY(msg->text().isEmpty());
}

void tst_ConfigDialog::partialSpeedThenComplete()
{
    ConfigDialog dialog;
    auto *speed = child<QLineEdit>(&dialog, "leditBaudrate");
    auto *msg = child<QLabel>(&dialog, "msgLabel");
    speed->clear();

    QTest::keyClicks(speed, QStringLiteral("1152"));
    QCOMPARE(speed->text(), QStringLiteral("1152"));
    QCOMPARE(msg->text(), QStringLiteral("Valid range is: [115200, 3000000]!!!"));
    QCOMPARE(msg->styleSheet(), QStringLiteral("color: red;"));
    QVERIFY(!QSettings().contains(SettingsKeys::Baudrate));

    QTest::keyClicks(speed, QStringLiteral("00"));
    QCOMPARE(msg->text(), QStringLiteral("Acceptable baudrate [115200]."));
    QCOMPARE(msg->styleSheet(), QStringLiteral("color: green;"));
    QCOMPARE(QSettings().value(SettingsKeys::Baudrate).toString(), QStringLiteral("115200"));
}

void tst_ConfigDialog::speedEdit_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("stored");

    const QString previous = QStringLiteral("921600");
    QTest::newRow("lowest") << "" << "115200" << "115200" << true << "115200";
    QTest::newRow("highest") << "" << "3000000" << "3000000" << true << "3000000";
    QTest::newRow("just below") << "" << "115199" << "115199" << false << previous;
    QTest::newRow("just above") << "300000" << "1" << "3000001" << false << previous;
    QTest::newRow("in-range prefix of a speed above") << "" << "3000001" << "3000001" << false << "300000";
    QTest::newRow("group separators refused") << "" << "1,500,000" << "1500000" << true << "1500000";
    QTest::newRow("letters refused") << "" << "2x000000" << "2000000" << true << "2000000";
    QTest::newRow("too many digits refused") << "" << "30000000" << "3000000" << true << "3000000";
}

void tst_ConfigDialog::speedEdit()
{
    QFETCH(QString, start);
    QFETCH(QString, typed);
    QFETCH(QString, field);
    QFETCH(bool, accepted);
    QFETCH(QString, stored);

    QSettings().setValue(SettingsKeys::Baudrate, QStringLiteral("921600"));
    ConfigDialog dialog;
    auto *speed = child<QLineEdit>(&dialog, "leditBaudrate");
    auto *msg = child<QLabel>(&dialog, "msgLabel");
    speed->setText(start);

    QTest::keyClicks(speed, typed);
    QCOMPARE(speed->text(), field);
    if (accepted) {
        QCOMPARE(msg->text(), QStringLiteral("Acceptable baudrate [%1].").arg(field));
        QCOMPARE(msg->styleSheet(), QStringLiteral("color: green;"));
    } else {
        QCOMPARE(msg->text(), QStringLiteral("Valid range is: [115200, 3000000]!!!"));
        QCOMPARE(msg->styleSheet(), QStringLiteral("color: red;"));
    }
    QCOMPARE(QSettings().value(SettingsKeys::Baudrate).toString(), stored);

    UserConfig config;
    storeRow(0, QStringLiteral("/img/a.bin"), QStringLiteral("0"));
    dialog.loadSettings();
    QVERIFY(dialog.getUserConfig(&config));
    QCOMPARE(config.baudrate(), stored.toUInt());
}

void tst_ConfigDialog::modeStoredAtOnce()
{
    ConfigDialog dialog;
    dialog.show();
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    auto *mode = child<QComboBox>(&dialog, "cBoxMode");

    QTest::keyClick(mode, Qt::Key_Down);
    QCOMPARE(mode->currentText(), QStringLiteral("continuous"));
    QCOMPARE(QSettings().value(SettingsKeys::DownloadModeIndex).toInt(), int(UserConfig::DOWNLOAD_MODE_CONTINUOUS));
    QCOMPARE(accepted.count(), 0);

    QTest::keyClick(mode, Qt::Key_Up);
    QCOMPARE(QSettings().value(SettingsKeys::DownloadModeIndex).toInt(), int(UserConfig::DOWNLOAD_MODE_SINGLESHOT));
}

void tst_ConfigDialog::clearTouchesOnlyItsRow()
{
    for (int n = 0; n < UserConfig::FILE_ROW_COUNT; ++n)
        storeRow(n, QStringLiteral("/img/part%1.bin").arg(n), QStringLiteral("%1000").arg(n + 1));
    ConfigDialog dialog;
    const QList<FileCfgWidget *> rows = rowsOf(&dialog);

    QTest::mouseClick(child<QPushButton>(rows.at(2), "btnReset"), Qt::LeftButton);

    QSettings settings;
    for (int n = 0; n < UserConfig::FILE_ROW_COUNT; ++n) {
        const QString path = n == 2 ? QString() : QStringLiteral("/img/part%1.bin").arg(n);
        const QString addr = n == 2 ? QString() : QStringLiteral("%1000").arg(n + 1);
        QCOMPARE(rows.at(n)->filePathText(), path);
        QCOMPARE(rows.at(n)->startAddrText(), addr);
        QVERIFY(settings.contains(SettingsKeys::filePathKey(n)));
        QCOMPARE(settings.value(SettingsKeys::filePathKey(n)).toString(), path);
        QCOMPARE(settings.value(SettingsKeys::startAddrKey(n)).toString(), addr);
    }
}

void tst_ConfigDialog::fileChoice_data()
{
    QTest::addColumn<bool>("choose");
    QTest::newRow("file chosen") << true;
    QTest::newRow("cancelled") << false;
}

void tst_ConfigDialog::fileChoice()
{
    QFETCH(bool, choose);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString oldImage = dir.filePath(QStringLiteral("old.bin"));
    const QString newImage = dir.filePath(QStringLiteral("new.bin"));
    for (const QString &path : { oldImage, newImage }) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("\x5a\xa5", 2);
    }
    storeRow(1, oldImage, QStringLiteral("8000"));
    const QMap<QString, QString> before = storeSnapshot();

    ConfigDialog dialog;
    FileCfgWidget *row = rowsOf(&dialog).at(1);
    {
        FileDialogOperator op(choose ? newImage : QString());
        QTest::mouseClick(child<QPushButton>(row, "btnSelectFilepath"), Qt::LeftButton);

        QVERIFY(op.answered);
        QVERIFY2(op.strayWindows.isEmpty(), qPrintable(op.strayWindows.join(QLatin1Char(','))));
        QCOMPARE(op.parent, row);
        QCOMPARE(op.title, QStringLiteral("Select *.bin file:"));
        QCOMPARE(op.filters, QStringList(QStringLiteral("bin (*.bin)")));
        QCOMPARE(op.directory, dir.path());
    }

    if (choose) {
        QCOMPARE(row->filePathText(), newImage);
        QMap<QString, QString> expected = before;
        expected.insert(SettingsKeys::filePathKey(1), newImage);
        QCOMPARE(storeSnapshot(), expected);
    } else {
        QCOMPARE(row->filePathText(), oldImage);
        QCOMPARE(storeSnapshot(), before);
    }
    QCOMPARE(row->startAddrText(), QStringLiteral("8000"));
}

void tst_ConfigDialog::addressEdit_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("kept");

    QTest::newRow("ten characters") << "0x12345678" << "0x12345678";
    QTest::newRow("eleventh refused") << "0x123456789A" << "0x12345678";
    QTest::newRow("not hexadecimal, kept as typed") << "12G" << "12G";
    QTest::newRow("highest address") << "FFFFFFFF" << "FFFFFFFF";
}

void tst_ConfigDialog::addressEdit()
{
    QFETCH(QString, typed);
    QFETCH(QString, kept);

    ConfigDialog dialog;
    FileCfgWidget *row = rowsOf(&dialog).at(3);
    QTest::keyClicks(child<QLineEdit>(row, "leditStartAddr"), typed);

    QCOMPARE(row->startAddrText(), kept);
    QMap<QString, QString> expected;
    expected.insert(SettingsKeys::startAddrKey(3), kept);
    QCOMPARE(storeSnapshot(), expected);
}

void tst_ConfigDialog::getUserConfig_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QStringList>("addrs");
    QTest::addColumn<QString>("storedSpeed");
    QTest::addColumn<int>("storedMode");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QStringList>("expectedPaths");
    QTest::addColumn<QList<quint32>>("expectedAddrs");

    const QString none;
    QTest::newRow("rows 0 and 2")
            << QStringList{ "/img/a.bin", none, "/img/c.bin", none } << QStringList{ "1000", none, "FFFFFFFF", none }
            << "921600" << 1 << true << QStringList{ "/img/a.bin", "/img/c.bin" } << QList<quint32>{ 0x1000, 0xFFFFFFFF };
    QTest::newRow("path without address left out")
            << QStringList{ "/img/a.bin", "/img/b.bin", none, none } << QStringList{ none, "20000", none, none }
            << "115200" << 0 << true << QStringList{ "/img/b.bin" } << QList<quint32>{ 0x20000 };
    QTest::newRow("only a path without address")
            << QStringList{ "/img/a.bin", none, none, none } << QStringList{ none, none, none, none }
            << "115200" << 0 << false << QStringList{} << QList<quint32>{};
    QTest::newRow("no usable row")
            << QStringList{ none, none, none, "/img/d.bin" } << QStringList{ "1000", none, none, "12G" }
            << "3000000" << 0 << false << QStringList{} << QList<quint32>{};
    QTest::newRow("address wider than 32 bits")
            << QStringList{ "/img/a.bin", none, none, none } << QStringList{ "100000000", none, none, none }
            << "115200" << 0 << false << QStringList{} << QList<quint32>{};
    QTest::newRow("stored mode out of range")
            << QStringList{ "/img/a.bin", none, none, none } << QStringList{ "0", none, none, none }
            << "115200" << 2 << false << QStringList{ "/img/a.bin" } << QList<quint32>{ 0 };
}

// Rows come from the fields; mode and speed from the store, whatever the widgets show.
void tst_ConfigDialog::getUserConfig()
{
    QFETCH(QStringList, paths);
    QFETCH(QStringList, addrs);
    QFETCH(QString, storedSpeed);
    QFETCH(int, storedMode);
    QFETCH(bool, valid);
    QFETCH(QStringList, expectedPaths);
    QFETCH(QList<quint32>, expectedAddrs);

    for (int n = 0; n < UserConfig::FILE_ROW_COUNT; ++n)
        storeRow(n, QStringLiteral("/stale/%1.bin").arg(n), QStringLiteral("4000"));
    ConfigDialog dialog;
    {
        QSettings settings;
        settings.setValue(SettingsKeys::Baudrate, storedSpeed);
        settings.setValue(SettingsKeys::DownloadModeIndex, storedMode);
    }
    child<QLineEdit>(&dialog, "leditBaudrate")->setText(QStringLiteral("1500000"));
    const QList<FileCfgWidget *> rows = rowsOf(&dialog);
    for (int n = 0; n < rows.size(); ++n) {
        rows.at(n)->setFilePath(paths.at(n));
        rows.at(n)->setStartAddr(addrs.at(n));
    }

    UserConfig config;
    QCOMPARE(dialog.getUserConfig(&config), valid);
    QCOMPARE(config.baudrate(), storedSpeed.toUInt());
    QCOMPARE(config.downloadMode(), quint32(storedMode));
    QStringList gotPaths;
    QList<quint32> gotAddrs;
    for (const FileCfg &file : config.fileList()) {
        gotPaths << file.filePath;
        gotAddrs << file.startAddr;
    }
    QCOMPARE(gotPaths, expectedPaths);
    QCOMPARE(gotAddrs, expectedAddrs);
}

void tst_ConfigDialog::getUserConfigNullPointer()
{
    storeRow(0, QStringLiteral("/img/a.bin"), QStringLiteral("1000"));
    QSettings().setValue(SettingsKeys::Baudrate, QStringLiteral("921600"));
    ConfigDialog dialog;
    const QMap<QString, QString> before = storeSnapshot();

    QVERIFY(!dialog.getUserConfig(nullptr));
    QCOMPARE(storeSnapshot(), before);
    QCOMPARE(rowsOf(&dialog).at(0)->filePathText(), QStringLiteral("/img/a.bin"));
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
    QSignalSpy rejected(&dialog, &QDialog::rejected);

    if (how == QLatin1String("confirm"))
        QTest::mouseClick(child<QPushButton>(&dialog, "btnConfirm"), Qt::LeftButton);
    else if (how == QLatin1String("close"))
        QVERIFY(dialog.close());
    else
        QTest::keyClick(&dialog, Qt::Key_Escape);

    QCOMPARE(dialog.result(), result);
    QCOMPARE(accepted.count(), result == QDialog::Accepted ? 1 : 0);
    QCOMPARE(rejected.count(), result == QDialog::Rejected ? 1 : 0);
    QVERIFY(!dialog.isVisible());
}

QTEST_MAIN(tst_ConfigDialog)
#include "tst_configdialog.moc"
