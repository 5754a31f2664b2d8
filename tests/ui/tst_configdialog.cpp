#include "configdialog.h"
#include "filecfgwidget.h"
#include "msglabel.h"
#include "settingskeys.h"
#include "testsupport.h"
#include "userconfig.h"

#include <QtTest>
#include <QtWidgets>

namespace {

// The file rows in the order the dialog lays them out.
QList<FileCfgWidget *> rowsOf(ConfigDialog *dialog)
{
    return dialog->findChild<QGroupBox *>("filecfgBox")->findChildren<FileCfgWidget *>();
}

template<typename T>
T *child(QObject *parent, const char *name)
{
    T *found = parent->findChild<T *>(QLatin1String(name));
    return found ? found : (qFatal("no child %s", name), nullptr);
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
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_configdialog"));
        // A locale with a group separator, as on many operators' machines.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        registerUserConfigMetaType();
    }
    void init() { QSettings().clear(); }

    // A message goes after its own 3 s, not an earlier one's; an unknown level drops the previous style.
    void messageExpiry()
    {
        MsgLabel label;
        const QString error = "Valid range is: [115200, 3000000]!!!";
        label.showMsg("before", MsgLabel::MSG_LEVEL_STRONG_ERROR);
        label.showMsg("line speed", 7);
        QVERIFY(label.text() == "line speed" && label.styleSheet().isEmpty());
        label.showMsg("Acceptable baudrate [115200].", MsgLabel::MSG_LEVEL_SUCCESS);
        QTest::qWait(1000);
        label.showMsg(error, MsgLabel::MSG_LEVEL_ERROR);
        QElapsedTimer sinceSecond;
        sinceSecond.start();
        QTest::qWait(2300);
        QVERIFY(sinceSecond.elapsed() >= 2800 || label.text() + label.styleSheet() == error + "color: red;");
        QTRY_VERIFY_WITH_TIMEOUT(label.text().isEmpty(), 10000);
        // Coarse timers may fire up to 5 % early, never more.
        QVERIFY2(sinceSecond.elapsed() >= 2850 && label.styleSheet().isEmpty(),
                 qPrintable(QString::number(sinceSecond.elapsed())));
    }

    void storedAtOnce_data()
    {
        // "address:" and "speed:" type their text into row 3's address or the speed field.
        QTest::addColumn<QString>("action");
        // What changes in the store, "key=value" with {d} for the images' folder; every other key keeps its value.
        QTest::addColumn<QStringList>("changes");
        QTest::addColumn<QString>("message"); // text|style
        QTest::addColumn<QString>("ending"); // how the operator leaves the dialog afterwards
        QTest::newRow("single shot chosen") << "mode" << QStringList{ "key_download_mode_index=0" } << "|" << "Confirm";
        QTest::newRow("Clear on row 2")
            << "clear" << QStringList{ "key_filepath_index_2=", "key_startaddr_index_2=" } << "|" << "close";
        QTest::newRow("file chosen on row 1")
            << "choose" << QStringList{ "key_filepath_index_1={d}/new.bin" } << "|" << "Escape";
        QTest::newRow("file choice on row 1 cancelled") << "cancel" << QStringList() << "|" << "close";
        QTest::newRow("address cut at 32 bits")
            << "address:0x123456789A" << QStringList{ "key_startaddr_index_3=0x12345678" } << "|" << "Confirm";
        QTest::newRow("address not hexadecimal, kept as typed")
            << "address:12G" << QStringList{ "key_startaddr_index_3=12G" } << "|" << "Escape";
        QTest::newRow("speed below the range")
            << "speed:1152" << QStringList() << "Valid range is: [115200, 3000000]!!!|color: red;" << "close";
        QTest::newRow("lowest speed") << "speed:115200" << QStringList{ "key_baudrate=115200" }
                                      << "Acceptable baudrate [115200].|color: green;" << "Escape";
        // The locale's group separators are refused, so the stored speed is a plain number.
        QTest::newRow("speed with group separators") << "speed:1,500,000" << QStringList{ "key_baudrate=1500000" }
            << "Acceptable baudrate [1500000].|color: green;" << "Confirm";
    }

    // Each edit is stored at once under its own keys and shown as stored; Confirm and close accept, Escape not.
    void storedAtOnce()
    {
        QFETCH(QString, action);
        QFETCH(QStringList, changes);
        QFETCH(QString, message);
        QFETCH(QString, ending);
        QTemporaryDir dir;
        QVERIFY(writeFile(dir.filePath("new.bin"), "\x5a\xa5"));
        QSettings settings;
        for (int n = 0; n < UserConfig::FILE_ROW_COUNT; ++n) {
            settings.setValue(SettingsKeys::filePathKey(n), dir.filePath(QString("part%1.bin").arg(n)));
            settings.setValue(SettingsKeys::startAddrKey(n), QStringLiteral("%1000").arg(n + 1));
        }
        settings.setValue(SettingsKeys::Baudrate, QStringLiteral("921600"));
        settings.setValue(SettingsKeys::DownloadModeIndex, 1);
        QMap<QString, QString> expected = storeSnapshot();
        for (const QString &change : changes)
            expected.insert(change.section('=', 0, 0), change.section('=', 1).replace(QLatin1String("{d}"), dir.path()));
        ConfigDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QSignalSpy accepted(&dialog, &QDialog::accepted);
        const QList<FileCfgWidget *> rows = rowsOf(&dialog);
        auto *speed = child<QLineEdit>(&dialog, "leditBaudrate");

        // Plays the operator at the toolkit's file dialog; any other modal window is noted and closed.
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
        QString typed = action.section(':', 1);
        auto *field = action.startsWith("speed") ? speed : child<QLineEdit>(rows.at(3), "leditStartAddr");
        const bool clear = action == QLatin1String("clear");
        field->selectAll(); // typing replaces the stored text
        if (action == QLatin1String("mode"))
            QTest::keyClick(child<QComboBox>(&dialog, "cBoxMode"), Qt::Key_Up);
        else if (typed.isEmpty())
            QTest::mouseClick(child<QPushButton>(rows.at(clear ? 2 : 1), clear ? "btnReset" : "btnSelectFilepath"),
                              Qt::LeftButton);
        else
            QTest::keyClicks(field, typed);
        poll.stop();

        QCOMPARE(storeSnapshot(), expected);
        for (int n = 0; n < UserConfig::FILE_ROW_COUNT; ++n)
            QCOMPARE(rows.at(n)->filePathText() + '@' + rows.at(n)->startAddrText(),
                     expected.value(SettingsKeys::filePathKey(n)) + '@' + expected.value(SettingsKeys::startAddrKey(n)));
        QCOMPARE(child<QComboBox>(&dialog, "cBoxMode")->currentIndex(),
                 expected.value(SettingsKeys::DownloadModeIndex).toInt());
        QCOMPARE(speed->text(), field == speed ? typed.remove(',') : expected.value(SettingsKeys::Baudrate));
        auto *msg = child<QLabel>(&dialog, "msgLabel");
        QCOMPARE(msg->text() + '|' + msg->styleSheet(), message);
        const bool fileDialogAsked = action == QLatin1String("choose") || action == QLatin1String("cancel");
        QCOMPARE(modals, fileDialogAsked ? (QStringList{ "Select *.bin file:", dir.path(), "bin (*.bin)" }) : QStringList());

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

    // What the settings hold (with no rows given, the rows too) and the dialog's rows as texts.
    void build_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<QStringList>("addrs");
        QTest::addColumn<QString>("files"); // "path@hexaddr, ..." as the record holds them
        QTest::addColumn<bool>("valid");
        const auto store = [](const QString &key, const char *text) { return QVariantMap{ { key, text } }; };
        const QStringList one{ "/a.bin" }, at1000{ "1000" }, empty{ "", "", "", "" };
        QTest::newRow("stored row, missing address reads as 0")
            << QVariantMap{ { SettingsKeys::filePathKey(0), "/a.bin" }, { SettingsKeys::LoaderDir, "/opt/vendor loaders" } }
            << QStringList() << QStringList() << "/a.bin@0" << true;
        QTest::newRow("highest speed, mode 1, four files")
            << QVariantMap{ { SettingsKeys::Baudrate, "3000000" }, { SettingsKeys::DownloadModeIndex, "1" },
                            { SettingsKeys::LoaderDir, "/l" } }
            << QStringList{ "/a", "/b", "/c", "/d" } << QStringList{ "0", "1", "2", "3" } << "/a@0, /b@1, /c@2, /d@3" << true;
        QTest::newRow("speed just below") << store(SettingsKeys::Baudrate, "115199") << one << at1000 << "/a.bin@1000" << false;
        QTest::newRow("speed just above") << store(SettingsKeys::Baudrate, "3000001") << one << at1000 << "/a.bin@1000" << false;
        QTest::newRow("mode 2") << store(SettingsKeys::DownloadModeIndex, "2") << one << at1000 << "/a.bin@1000" << false;
        // Row 1 has no address, row 3 no path.
        QTest::newRow("rows 0 and 2") << QVariantMap() << QStringList{ "/a.bin", "/b.bin", "/c.bin", "" }
                                      << QStringList{ "1000", "", "20000", "5000" } << "/a.bin@1000, /c.bin@20000" << true;
        QTest::newRow("four empty rows") << QVariantMap() << empty << empty << "" << false;
        QTest::newRow("all ones, over 32 bits, not hexadecimal") << QVariantMap() << QStringList{ "/a", "/b", "/c" }
            << QStringList{ "FFFFFFFF", "100000000", "12G" } << "/a@ffffffff" << true;
    }

    // Rows set by program store nothing, show no message; the record's mode and speed come from the store.
    void build()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QStringList, paths);
        QFETCH(QStringList, addrs);
        QFETCH(QString, files);
        QFETCH(bool, valid);
        ConfigDialog dialog;
        for (auto it = stored.cbegin(); it != stored.cend(); ++it)
            QSettings().setValue(it.key(), it.value());
        const QMap<QString, QString> before = storeSnapshot();
        for (int n = 0; n < paths.size(); ++n) {
            rowsOf(&dialog).at(n)->setFilePath(paths.at(n));
            rowsOf(&dialog).at(n)->setStartAddr(addrs.at(n));
        }
        UserConfig config;
        QCOMPARE(paths.isEmpty() ? UserConfig::buildFromSettings(&config) : dialog.getUserConfig(&config), valid);
        QVERIFY(!dialog.getUserConfig(nullptr) && child<QLabel>(&dialog, "msgLabel")->text().isEmpty());
        QCOMPARE(storeSnapshot(), before);
        const int id = QMetaType::type("UserConfig");
        QVERIFY(id != QMetaType::UnknownType && QMetaType::type("UserConfig&") == id);
        QStringList held;
        for (const FileCfg &file : config.fileList())
            held << file.filePath + '@' + QString::number(file.startAddr, 16);
        QCOMPARE(held.join(", "), files);
        QCOMPARE(config.loaderDir(), stored.value(SettingsKeys::LoaderDir).toString());
        QCOMPARE((QList<quint32>{ config.downloadMode(), config.baudrate() }),
                 (QList<quint32>{ stored.value(SettingsKeys::DownloadModeIndex, 0).toUInt(),
                                  stored.value(SettingsKeys::Baudrate, "115200").toUInt() }));
        QCOMPARE(int(config.validFileCount()), valid ? config.fileList().size() : 0);
    }
};

QTEST_MAIN(tst_ConfigDialog)
#include "tst_configdialog.moc"
