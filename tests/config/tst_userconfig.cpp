#include "settingskeys.h"
#include "userconfig.h"

#include <QSettings>
#include <QtTest>

// "path@hexaddr, ..." for every file the record holds.
static QString describe(const UserConfig &config)
{
    QStringList files;
    for (const FileCfg &file : config.fileList())
        files << file.filePath + '@' + QString::number(file.startAddr, 16);
    return files.join(", ");
}

class tst_UserConfig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { QSettings().clear(); }
    void build_data();
    void build();
    void copies();
};

void tst_UserConfig::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_userconfig"));
    registerUserConfigMetaType();
}

// What the settings hold (mode, speed, and with no rows given the rows too), and the
// dialog's rows as texts.
void tst_UserConfig::build_data()
{
    QTest::addColumn<QVariantMap>("stored");
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QStringList>("addrs");
    QTest::addColumn<QString>("files");
    QTest::addColumn<bool>("valid");

    const auto store = [](const QString &key, const char *text) { return QVariantMap{ { key, text } }; };
    const QVariantMap nothing,
        storedRow{ { SettingsKeys::filePathKey(0), "/a.bin" }, { SettingsKeys::LoaderDir, "/opt/vendor loaders" } };
    const QStringList one{ "/a.bin" }, at1000{ "1000" }, noRows, empty{ "", "", "", "" };
    QTest::newRow("stored row, missing address reads as 0") << storedRow << noRows << noRows << "/a.bin@0" << true;
    QTest::newRow("highest speed, mode 1, four files")
        << QVariantMap{ { SettingsKeys::Baudrate, "3000000" }, { SettingsKeys::DownloadModeIndex, "1" },
                        { SettingsKeys::LoaderDir, "/l" } }
        << QStringList{ "/a", "/b", "/c", "/d" } << QStringList{ "0", "1", "2", "3" } << "/a@0, /b@1, /c@2, /d@3"
        << true;
    QTest::newRow("speed just below") << store(SettingsKeys::Baudrate, "115199") << one << at1000 << "/a.bin@1000" << false;
    QTest::newRow("speed just above") << store(SettingsKeys::Baudrate, "3000001") << one << at1000 << "/a.bin@1000" << false;
    QTest::newRow("mode 2") << store(SettingsKeys::DownloadModeIndex, "2") << one << at1000 << "/a.bin@1000" << false;
    // Row 1 has no address, row 3 no path.
    QTest::newRow("rows 0 and 2") << nothing << QStringList{ "/a.bin", "/b.bin", "/c.bin", "" }
                                  << QStringList{ "1000", "", "20000", "5000" } << "/a.bin@1000, /c.bin@20000" << true;
    QTest::newRow("four empty rows") << nothing << empty << empty << "" << false;
    QTest::newRow("all ones, more than 32 bits, not hexadecimal")
        << nothing << QStringList{ "/a", "/b", "/c" } << QStringList{ "FFFFFFFF", "100000000", "12G" } << "/a@ffffffff" << true;
}

void tst_UserConfig::build()
{
    QFETCH(QVariantMap, stored);
    QFETCH(QStringList, paths);
    QFETCH(QStringList, addrs);
    QFETCH(QString, files);
    QFETCH(bool, valid);
    for (auto it = stored.cbegin(); it != stored.cend(); ++it)
        QSettings().setValue(it.key(), it.value());
    UserConfig config;
    QCOMPARE(paths.isEmpty() ? UserConfig::buildFromSettings(&config) : UserConfig::buildFromRows(&config, paths, addrs),
             valid);
    QCOMPARE(describe(config), files);
    QCOMPARE(config.loaderDir(), stored.value(SettingsKeys::LoaderDir).toString());
    QCOMPARE(int(config.validFileCount()), valid ? config.fileList().size() : 0);
}

// Copies carry the data; each record answers for its own validity. The record reaches
// worker threads through queued signals, copied by the registered type.
void tst_UserConfig::copies()
{
    UserConfig source;
    source.setDownloadMode(UserConfig::DOWNLOAD_MODE_CONTINUOUS);
    source.setFileList({ FileCfg{ QStringLiteral("/a.bin"), 0x1000 } });
    source.setLoaderDir(QStringLiteral("/l"));
    QCOMPARE(describe(UserConfig(source)), QStringLiteral("/a.bin@1000"));
    QCOMPARE(UserConfig(source).loaderDir(), QStringLiteral("/l"));
    UserConfig target;
    target = source;
    QCOMPARE(target.downloadMode(), quint32(UserConfig::DOWNLOAD_MODE_CONTINUOUS));
    QCOMPARE(target.loaderDir(), QStringLiteral("/l"));
    QVERIFY(target.isValid());
    target = UserConfig();
    QVERIFY(!target.isValid());

    const int id = QMetaType::type("UserConfig");
    QVERIFY(id != QMetaType::UnknownType && QMetaType::type("UserConfig&") == id);
}

QTEST_GUILESS_MAIN(tst_UserConfig)
#include "tst_userconfig.moc"
