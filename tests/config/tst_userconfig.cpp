#include "settingskeys.h"
#include "userconfig.h"

#include <QSettings>
#include <QtTest>

namespace {

// "path@hexaddr, ..." for every file the record holds.
QString describe(const UserConfig &config)
{
    QStringList files;
    for (const FileCfg &file : config.fileList())
        files << file.filePath + '@' + QString::number(file.startAddr, 16);
    return files.join(", ");
}

} // namespace

class tst_UserConfig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init() { QSettings().clear(); }
    void validity_data();
    void validity();
    void rows_data();
    void rows();
    void copyKeepsDataNotValidity();
    void buildFromSettings_data();
    void buildFromSettings();
    void queuedCopyCarriesData();
};

void tst_UserConfig::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_userconfig"));
    registerUserConfigMetaType();
}

void tst_UserConfig::validity_data()
{
    QTest::addColumn<quint32>("baudrate");
    QTest::addColumn<quint32>("mode");
    QTest::addColumn<int>("files");
    QTest::addColumn<bool>("valid");

    QTest::newRow("lowest speed") << 115200u << 0u << 1 << true;
    QTest::newRow("highest speed, four files") << 3000000u << 1u << 4 << true;
    QTest::newRow("speed just below") << 115199u << 0u << 1 << false;
    QTest::newRow("speed just above") << 3000001u << 0u << 1 << false;
    QTest::newRow("mode 2") << 115200u << 2u << 1 << false;
    QTest::newRow("no file") << 115200u << 0u << 0 << false;
}

void tst_UserConfig::validity()
{
    QFETCH(quint32, baudrate);
    QFETCH(quint32, mode);
    QFETCH(int, files);
    QFETCH(bool, valid);

    UserConfig config;
    config.setBaudrate(baudrate);
    config.setDownloadMode(mode);
    QList<FileCfg> list;
    for (int i = 0; i < files; ++i)
        list.append(FileCfg{ QStringLiteral("/f%1.bin").arg(i), quint32(0x1000 * i) });
    config.setFileList(list);

    QCOMPARE(config.isValid(), valid);
    QCOMPARE(int(config.validFileCount()), valid ? files : 0);
}

void tst_UserConfig::rows_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QStringList>("addrs");
    QTest::addColumn<QString>("files");

    QTest::newRow("rows 0 and 2") << QStringList{ "/a.bin", "", "/c.bin", "" } << QStringList{ "1000", "", "20000", "" }
                                  << "/a.bin@1000, /c.bin@20000";
    QTest::newRow("all ones") << QStringList{ "/a.bin" } << QStringList{ "FFFFFFFF" } << "/a.bin@ffffffff";
    QTest::newRow("more than 32 bits") << QStringList{ "/a.bin" } << QStringList{ "100000000" } << "";
    QTest::newRow("not hexadecimal") << QStringList{ "/a.bin" } << QStringList{ "12G" } << "";
    QTest::newRow("path without address") << QStringList{ "/a.bin", "/b.bin" } << QStringList{ "", "0" } << "/b.bin@0";
    QTest::newRow("address without path") << QStringList{ "", "" } << QStringList{ "1000", "" } << "";
}

void tst_UserConfig::rows()
{
    QFETCH(QStringList, paths);
    QFETCH(QStringList, addrs);
    QFETCH(QString, files);

    UserConfig config;
    QCOMPARE(UserConfig::buildFromRows(&config, paths, addrs), !files.isEmpty());
    QCOMPARE(describe(config), files);
    QCOMPARE(int(config.validFileCount()), config.fileList().size());
}

void tst_UserConfig::copyKeepsDataNotValidity()
{
    UserConfig source;
    source.setBaudrate(921600);
    source.setDownloadMode(UserConfig::DOWNLOAD_MODE_CONTINUOUS);
    source.setFileList({ FileCfg{ QStringLiteral("/a.bin"), 0x1000 } });
    QVERIFY(source.isValid());

    UserConfig copy(source);
    QCOMPARE(copy.parent(), nullptr);
    QCOMPARE(copy.baudrate(), 921600u);
    QCOMPARE(copy.downloadMode(), quint32(UserConfig::DOWNLOAD_MODE_CONTINUOUS));
    QCOMPARE(describe(copy), QStringLiteral("/a.bin@1000"));
    QCOMPARE(int(copy.validFileCount()), 1);

    // Assignment carries the data but keeps the target's own outcome of its last check.
    UserConfig invalidTarget;
    QVERIFY(!invalidTarget.isValid());
    invalidTarget = source;
    QCOMPARE(invalidTarget.baudrate(), 921600u);
    QVERIFY(invalidTarget.isValid());

    UserConfig validTarget(source);
    QVERIFY(validTarget.isValid());
    validTarget = UserConfig();
    QVERIFY(validTarget.fileList().isEmpty());
    QVERIFY(!validTarget.isValid());

    UserConfig &alias = validTarget;
    validTarget = alias;
    QVERIFY(validTarget.fileList().isEmpty());
}

// Texts as the dialog stores them; an empty one is not stored at all.
void tst_UserConfig::buildFromSettings_data()
{
    QTest::addColumn<QStringList>("stored");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("files");

    QTest::newRow("defaults, missing address reads as 0") << QStringList{ "", "", "" } << true << "/image.bin@0";
    QTest::newRow("stored values") << QStringList{ "1", "921600", "8000" } << true << "/image.bin@8000";
    QTest::newRow("speed text not a number") << QStringList{ "0", "fast", "8000" } << false << "/image.bin@8000";
}

void tst_UserConfig::buildFromSettings()
{
    QFETCH(QStringList, stored);
    QFETCH(bool, valid);
    QFETCH(QString, files);

    {
        QSettings settings;
        settings.setValue(SettingsKeys::filePathKey(1), "/image.bin");
        const QStringList keys = { SettingsKeys::DownloadModeIndex, SettingsKeys::Baudrate,
                                   SettingsKeys::startAddrKey(1) };
        for (int i = 0; i < keys.size(); ++i) {
            if (!stored.at(i).isEmpty())
                settings.setValue(keys.at(i), stored.at(i));
        }
    }
    UserConfig config;
    QCOMPARE(UserConfig::buildFromSettings(&config), valid);
    QCOMPARE(describe(config), files);
    QVERIFY(!UserConfig::buildFromSettings(nullptr));
}

// The record reaches worker threads through queued signals, copied by the registered type.
void tst_UserConfig::queuedCopyCarriesData()
{
    UserConfig source;
    source.setBaudrate(1500000);
    source.setFileList({ FileCfg{ QStringLiteral("/x.bin"), 0x4000 } });
    const int id = QMetaType::type("UserConfig");
    QVERIFY(id != QMetaType::UnknownType);
    QCOMPARE(QMetaType::type("UserConfig&"), id);
    void *copy = QMetaType::create(id, &source);
    QVERIFY(copy);
    QCOMPARE(static_cast<UserConfig *>(copy)->baudrate(), 1500000u);
    QCOMPARE(describe(*static_cast<UserConfig *>(copy)), QStringLiteral("/x.bin@4000"));
    QMetaType::destroy(id, copy);
}

QTEST_GUILESS_MAIN(tst_UserConfig)
#include "tst_userconfig.moc"
