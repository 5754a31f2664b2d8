#include "configdialog.h"
#include "filecfgwidget.h"
#include "msglabel.h"
#include "settingskeys.h"
#include "testsupport.h"
#include "userconfig.h"

#include <QtTest>
#include <QtWidgets>

namespace {

template<typename T>
T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QLatin1String(name));
    return found ? found : (qFatal("no child %s", name), nullptr);
}

QList<FileCfgWidget *> rowsOf(ConfigDialog *dialog)
{
    QList<FileCfgWidget *> rows;
    QLayout *layout = child<QGroupBox>(dialog, "filecfgBox")->layout();
    for (int i = 0; i < layout->count(); ++i)
        if (auto *row = qobject_cast<FileCfgWidget *>(layout->itemAt(i)->widget()))
            rows.append(row);
    return rows;
}

template<typename Path, typename Addr>
void storeRows(Path path, Addr addr)
{
    QSettings settings;
    for (int n = 0; n < UserConfig::FILE_ROW_COUNT; ++n) {
        settings.setValue(SettingsKeys::filePathKey(n), path(n));
        settings.setValue(SettingsKeys::startAddrKey(n), addr(n));
    }
}

QMap<QString, QString> storeSnapshot()
{
    QSettings settings;
    QMap<QString, QString> snapshot;
    for (const QString &key : settings.allKeys())
        snapshot.insert(key, settings.value(key).toString());
    return snapshot;
}

// "path@hexaddr, ..." for every file the record holds.
QString describe(const UserConfig &config)
{
    QStringList files;
    for (const FileCfg &file : config.fileList())
        files << file.filePath + '@' + QString::number(file.startAddr, 16);
    return files.join(", ");
}

} // namespace

class tst_ConfigDialog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_configdialog"));
        // A locale with a group separator, as on many operators' machines.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        registerUserConfigMetaType();
    }
    void init() { QSettings().clear(); }

    // Loading shows the store; filling the fields by program stores nothing and shows no message;
    // the record takes its rows from the fields (judged as the record's rows are), mode and speed
    // from the store, whatever the widgets show; no record to fill is a failure. Then typing: no
    // message for an address; a typed speed is judged at once and stored only when accepted.
    void typing()
    {
        const QStringList fields{ "/img/a.bin@1000", "/img/b.bin@", "/img/c.bin@FFFFFFFF", "@20000" };
        storeRows([](int n) { return QStringLiteral("/stale/%1.bin").arg(n); }, [](int) { return QStringLiteral("4000"); });
        QSettings().setValue(SettingsKeys::Baudrate, QStringLiteral("921600"));
        QSettings().setValue(SettingsKeys::DownloadModeIndex, 1);
        QMap<QString, QString> stored = storeSnapshot();
        ConfigDialog dialog;
        const QList<FileCfgWidget *> rows = rowsOf(&dialog);
        auto *speed = child<QLineEdit>(&dialog, "leditBaudrate");
        auto *address = child<QLineEdit>(rows.at(3), "leditStartAddr");
        auto *msg = child<QLabel>(&dialog, "msgLabel");
        const auto shows = [&](const char *text, const char *style) { return msg->text() == text && msg->styleSheet() == style; };
        QCOMPARE(child<QComboBox>(&dialog, "cBoxMode")->currentIndex(), 1);
        QCOMPARE((QStringList{ speed->text(), rows.at(3)->filePathText(), rows.at(3)->startAddrText() }), (QStringList{ "921600", "/stale/3.bin", "4000" }));
        speed->setText(QStringLiteral("1500000"));
        for (int n = 0; n < rows.size(); ++n) {
            rows.at(n)->setFilePath(fields.at(n).section('@', 0, 0));
            rows.at(n)->setStartAddr(fields.at(n).section('@', 1));
        }
        UserConfig config;
        QVERIFY(dialog.getUserConfig(&config) && !dialog.getUserConfig(nullptr));
        QCOMPARE(storeSnapshot(), stored);
        QVERIFY(shows("", ""));
        QCOMPARE(describe(config), QStringLiteral("/img/a.bin@1000, /img/c.bin@ffffffff"));
        QVERIFY(config.baudrate() == 921600u && config.downloadMode() == quint32(UserConfig::DOWNLOAD_MODE_CONTINUOUS));

        address->clear();
        QTest::keyClicks(address, "0x123456789A");
        QCOMPARE(address->text(), QStringLiteral("0x12345678"));
        stored.insert(SettingsKeys::startAddrKey(3), "0x12345678");
        QCOMPARE(storeSnapshot(), stored);
        address->clear();
        QTest::keyClicks(address, "12G");
        stored.insert(SettingsKeys::startAddrKey(3), "12G");
        QCOMPARE(storeSnapshot(), stored);
        QVERIFY(shows("", ""));

        speed->clear();
        QTest::keyClicks(speed, "1152");
        QVERIFY(shows("Valid range is: [115200, 3000000]!!!", "color: red;"));
        QCOMPARE(storeSnapshot(), stored);
        QTest::keyClicks(speed, "00");
        QVERIFY(shows("Acceptable baudrate [115200].", "color: green;"));
        stored.insert(SettingsKeys::Baudrate, "115200");
        QCOMPARE(storeSnapshot(), stored);
        // The locale's group separators are refused, so the stored speed is a plain number.
        speed->clear();
        QTest::keyClicks(speed, "1,500,000");
        QVERIFY(speed->text() == "1500000" && shows("Acceptable baudrate [1500000].", "color: green;"));
        QCOMPARE(QSettings().value(SettingsKeys::Baudrate).toString(), QStringLiteral("1500000"));
    }

    // A message goes after its own 3 s, not after an earlier one's; an unknown level after a
    // styled message drops the previous style.
    void messageExpiry()
    {
        MsgLabel label;
        label.showMsg("before", MsgLabel::MSG_LEVEL_STRONG_ERROR);
        label.showMsg("line speed", 7);
        QVERIFY(label.text() == "line speed" && label.styleSheet().isEmpty());
        label.showMsg("Acceptable baudrate [115200].", MsgLabel::MSG_LEVEL_SUCCESS);
        QTest::qWait(1000);
        label.showMsg("Valid range is: [115200, 3000000]!!!", MsgLabel::MSG_LEVEL_ERROR);
        QElapsedTimer sinceSecond;
        sinceSecond.start();
        QTest::qWait(2300);
        QVERIFY(sinceSecond.elapsed() >= 2800 || (label.text() == "Valid range is: [115200, 3000000]!!!" && label.styleSheet() == "color: red;"));
        QTRY_VERIFY_WITH_TIMEOUT(label.text().isEmpty(), 10000);
        // Coarse timers may fire up to 5 % early, never more.
        QVERIFY2(sinceSecond.elapsed() >= 2850 && label.styleSheet().isEmpty(), qPrintable(QString::number(sinceSecond.elapsed())));
    }

    void storedAtOnce_data()
    {
        QTest::addColumn<QString>("action");
        // What changes in the store, "key=value" with {d} for the images' folder; every other key keeps its value.
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("ending"); // how the operator leaves the dialog afterwards
        QTest::newRow("continuous chosen") << "mode" << QStringList{ "key_download_mode_index=1" } << "Confirm";
        QTest::newRow("Clear on row 2") << "clear" << QStringList{ "key_filepath_index_2=", "key_startaddr_index_2=" } << "close";
        QTest::newRow("file chosen on row 1") << "choose" << QStringList{ "key_filepath_index_1={d}/new.bin" } << "Escape";
        QTest::newRow("file choice on row 1 cancelled") << "cancel" << QStringList() << "close";
    }

    // Each edit by the operator is stored at once, before Confirm, under its own row's keys only,
    // and shown as stored. Confirm and closing the window accept, Escape does not.
    void storedAtOnce()
    {
        QFETCH(QString, action);
        QFETCH(QStringList, changes);
        QFETCH(QString, ending);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("new.bin"), "\x5a\xa5"));
        storeRows([&](int n) { return dir.filePath(QStringLiteral("part%1.bin").arg(n)); }, [](int n) { return QStringLiteral("%1000").arg(n + 1); });
        QMap<QString, QString> expected = storeSnapshot();
        for (const QString &change : changes)
            expected.insert(change.section('=', 0, 0), change.section('=', 1).replace(QLatin1String("{d}"), dir.path()));
        ConfigDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QSignalSpy accepted(&dialog, &QDialog::accepted);
        const QList<FileCfgWidget *> rows = rowsOf(&dialog);

        // Plays the operator in front of the toolkit's file dialog; any other modal window is noted
        // and closed, so the test never hangs.
        QStringList modals;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            auto *modal = qobject_cast<QDialog *>(QApplication::activeModalWidget());
            auto *fileDialog = qobject_cast<QFileDialog *>(modal);
            if (!modal)
                return;
            modals << modal->windowTitle();
            if (fileDialog && fileDialog->parentWidget() == rows.at(1))
                modals << fileDialog->directory().absolutePath() << fileDialog->nameFilters();
            if (!fileDialog || modals.size() > 3 || action == QLatin1String("cancel"))
                return modal->reject();
            fileDialog->selectFile(dir.filePath(QStringLiteral("new.bin")));
            // QFileDialog narrows accept() to protected; it still checks the file exists.
            static_cast<QDialog *>(fileDialog)->accept();
        });
        poll.start(10);
        if (action == QLatin1String("mode"))
            QTest::keyClick(child<QComboBox>(&dialog, "cBoxMode"), Qt::Key_Down);
        else
            QTest::mouseClick(action == "clear" ? child<QPushButton>(rows.at(2), "btnReset") : child<QPushButton>(rows.at(1), "btnSelectFilepath"), Qt::LeftButton);
        poll.stop();

        QCOMPARE(storeSnapshot(), expected);
        for (int n = 0; n < UserConfig::FILE_ROW_COUNT; ++n)
            QCOMPARE(rows.at(n)->filePathText() + '@' + rows.at(n)->startAddrText(),
                     expected.value(SettingsKeys::filePathKey(n)) + '@' + expected.value(SettingsKeys::startAddrKey(n)));
        QCOMPARE(child<QComboBox>(&dialog, "cBoxMode")->currentIndex(), expected.value(SettingsKeys::DownloadModeIndex, "0").toInt());
        const bool fileDialogAsked = action == QLatin1String("choose") || action == QLatin1String("cancel");
        QCOMPARE(modals, fileDialogAsked ? (QStringList{ "Select *.bin file:", dir.path(), "bin (*.bin)" }) : QStringList());
        QCOMPARE(accepted.count(), 0);

        // A result left over from an earlier showing must not be mistaken for this one.
        const bool escape = ending == QLatin1String("Escape");
        dialog.setResult(escape ? QDialog::Accepted : QDialog::Rejected);
        if (ending == QLatin1String("Confirm"))
            QTest::mouseClick(child<QPushButton>(&dialog, "btnConfirm"), Qt::LeftButton);
        else if (ending == QLatin1String("close"))
            QVERIFY(dialog.close());
        else
            QTest::keyClick(&dialog, Qt::Key_Escape);
        QCOMPARE(dialog.result(), escape ? int(QDialog::Rejected) : int(QDialog::Accepted));
        QVERIFY(accepted.count() == (escape ? 0 : 1) && !dialog.isVisible());
    }

    // What the settings hold (mode, speed, and with no rows given the rows too), and the
    // dialog's rows as texts.
    void build_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QStringList>("addrs");
        QTest::addColumn<QString>("files");
        QTest::addColumn<bool>("valid");
        const auto store = [](const QString &key, const char *text) { return QVariantMap{ { key, text } }; };
        const QStringList one{ "/a.bin" }, at1000{ "1000" }, empty{ "", "", "", "" };
        QTest::newRow("stored row, missing address reads as 0")
            << QVariantMap{ { SettingsKeys::filePathKey(0), "/a.bin" }, { SettingsKeys::LoaderDir, "/opt/vendor loaders" } }
            << QStringList() << QStringList() << "/a.bin@0" << true;
        QTest::newRow("highest speed, mode 1, four files")
            << QVariantMap{ { SettingsKeys::Baudrate, "3000000" }, { SettingsKeys::DownloadModeIndex, "1" }, { SettingsKeys::LoaderDir, "/l" } }
            << QStringList{ "/a", "/b", "/c", "/d" } << QStringList{ "0", "1", "2", "3" } << "/a@0, /b@1, /c@2, /d@3" << true;
        QTest::newRow("speed just below") << store(SettingsKeys::Baudrate, "115199") << one << at1000 << "/a.bin@1000" << false;
        QTest::newRow("speed just above") << store(SettingsKeys::Baudrate, "3000001") << one << at1000 << "/a.bin@1000" << false;
        QTest::newRow("mode 2") << store(SettingsKeys::DownloadModeIndex, "2") << one << at1000 << "/a.bin@1000" << false;
        // Row 1 has no address, row 3 no path.
        QTest::newRow("rows 0 and 2") << QVariantMap() << QStringList{ "/a.bin", "/b.bin", "/c.bin", "" }
                                      << QStringList{ "1000", "", "20000", "5000" } << "/a.bin@1000, /c.bin@20000" << true;
        QTest::newRow("four empty rows") << QVariantMap() << empty << empty << "" << false;
        QTest::newRow("all ones, more than 32 bits, not hexadecimal")
            << QVariantMap() << QStringList{ "/a", "/b", "/c" } << QStringList{ "FFFFFFFF", "100000000", "12G" } << "/a@ffffffff" << true;
    }

    // Each record answers for its own validity, and a copy (also the one a queued signal makes
    // for a worker thread) carries everything, the loader folder too.
    void build()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QStringList, paths);
        QFETCH(QStringList, addrs);
        QFETCH(QString, files);
        QFETCH(bool, valid);
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            QSettings().setValue(it.key(), it.value());
        UserConfig config;
        QCOMPARE(paths.isEmpty() ? UserConfig::buildFromSettings(&config) : UserConfig::buildFromRows(&config, paths, addrs), valid);
        const int id = QMetaType::type("UserConfig");
        QVERIFY(id != QMetaType::UnknownType && QMetaType::type("UserConfig&") == id);
        UserConfig assigned;
        assigned = QVariant::fromValue(config).value<UserConfig>();
        for (UserConfig copy : { config, UserConfig(config), assigned }) {
            QCOMPARE(describe(copy), files);
            QCOMPARE(copy.loaderDir(), stored.value(SettingsKeys::LoaderDir).toString());
            QCOMPARE((QList<quint32>{ copy.downloadMode(), copy.baudrate() }), (QList<quint32>{ config.downloadMode(), config.baudrate() }));
            QCOMPARE(int(copy.validFileCount()), valid ? copy.fileList().size() : 0);
        }
        assigned = UserConfig();
        QVERIFY(!assigned.isValid());
    }
};

QTEST_MAIN(tst_ConfigDialog)
#include "tst_configdialog.moc"
