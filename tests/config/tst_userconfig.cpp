#include "settingskeys.h"
#include "userconfig.h"

#include <QSettings>
#include <QtTest>

Q_DECLARE_METATYPE(QList<quint32>)

class tst_UserConfig : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
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

void tst_UserConfig::init()
{
    QSettings().clear();
}

void tst_UserConfig::validity_data()
{
    QTest::addColumn<quint32>("baudrate");
    QTest::addColumn<quint32>("mode");
    QTest::addColumn<int>("files");
    QTest::addColumn<bool>("valid");

    QTest::newRow("lowest speed") << 115200u << 0u << 1 << true;
    QTest::newRow("highest speed") << 3000000u << 1u << 2 << true;
    QTest::newRow("speed just below") << 115199u << 0u << 1 << false;
    QTest::newRow("speed just above") << 3000001u << 0u << 1 << false;
    QTest::newRow("speed 0 (unreadable text)") << 0u << 0u << 1 << false;
    QTest::newRow("mode 2") << 115200u << 2u << 1 << false;
    QTest::newRow("mode wrapped from -1") << 115200u << 0xFFFFFFFFu << 1 << false;
    QTest::newRow("no file") << 115200u << 0u << 0 << false;
    QTest::newRow("four files") << 921600u << 0u << 4 << true;
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
    QTest::addColumn<QStringList>("expectedPaths");
    QTest::addColumn<QList<quint32>>("expectedAddrs");

    const QStringList empty4 = { QString(), QString(), QString(), QString() };
    QTest::newRow("four empty rows") << empty4 << empty4 << QStringList() << QList<quint32>();
    QTest::newRow("rows 0 and 2") << QStringList{ "/a.bin", "", "/c.bin", "" }
                                  << QStringList{ "1000", "", "20000", "" } << QStringList{ "/a.bin", "/c.bin" }
                                  << QList<quint32>{ 0x1000, 0x20000 };
    QTest::newRow("all ones") << QStringList{ "/a.bin", "", "", "" } << QStringList{ "FFFFFFFF", "", "", "" }
                              << QStringList{ "/a.bin" } << QList<quint32>{ 4294967295u };
    QTest::newRow("more than 32 bits") << QStringList{ "/a.bin", "", "", "" }
                                       << QStringList{ "100000000", "", "", "" } << QStringList()
                                       << QList<quint32>();
    QTest::newRow("not hexadecimal") << QStringList{ "/a.bin", "", "", "" } << QStringList{ "12G", "", "", "" }
                                     << QStringList() << QList<quint32>();
    QTest::newRow("path without address") << QStringList{ "/a.bin", "/b.bin", "", "" }
                                          << QStringList{ "", "0", "", "" } << QStringList{ "/b.bin" }
                                          << QList<quint32>{ 0 };
    QTest::newRow("address without path") << QStringList{ "", "", "", "" } << QStringList{ "1000", "", "", "" }
                                          << QStringList() << QList<quint32>();
}

void tst_UserConfig::rows()
{
    QFETCH(QStringList, paths);
    QFETCH(QStringList, addrs);
    QFETCH(QStringList, expectedPaths);
    QFETCH(QList<quint32>, expectedAddrs);

    UserConfig config;
    const bool valid = UserConfig::buildFromRows(&config, paths, addrs);
    const QList<FileCfg> files = config.fileList();
    QCOMPARE(files.size(), expectedPaths.size());
    for (int i = 0; i < files.size(); ++i) {
        QCOMPARE(files.at(i).filePath, expectedPaths.at(i));
        QCOMPARE(files.at(i).startAddr, expectedAddrs.at(i));
    }
    QCOMPARE(valid, !expectedPaths.isEmpty());
    QCOMPARE(int(config.validFileCount()), expectedPaths.size());
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
    QCOMPARE(copy.fileList().size(), 1);
    QCOMPARE(copy.fileList().first().startAddr, 0x1000u);
    QCOMPARE(int(copy.validFileCount()), 1);

    // Assignment carries the data but keeps the target's own outcome of its last check.
    UserConfig invalidTarget;
    QVERIFY(!invalidTarget.isValid());
    invalidTarget = source;
    QCOMPARE(invalidTarget.baudrate(), 921600u);
    QVERIFY(invalidTarget.isValid());

    UserConfig empty;
    UserConfig validTarget(source);
    QVERIFY(validTarget.isValid());
    validTarget = empty;
    QVERIFY(validTarget.fileList().isEmpty());
    QVERIFY(!validTarget.isValid());

    UserConfig &alias = validTarget;
    validTarget = alias;
    QVERIFY(validTarget.fileList().isEmpty());
}

void tst_UserConfig::buildFromSettings_data()
{
    QTest::addColumn<QVariant>("mode");
    QTest::addColumn<QVariant>("baudrate");
    QTest::addColumn<bool>("storeAddress");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<quint32>("expectedAddr");

    QTest::newRow("defaults, missing address reads as 0") << QVariant() << QVariant() << false << true << 0u;
    QTest::newRow("stored address") << QVariant(1) << QVariant(QStringLiteral("921600")) << true << true << 0x8000u;
    QTest::newRow("speed text not a number") << QVariant(0) << QVariant(QStringLiteral("fast")) << true << false
                                             << 0x8000u;
    QTest::newRow("mode 2") << QVariant(2) << QVariant() << true << false << 0x8000u;
}

void tst_UserConfig::buildFromSettings()
{
    QFETCH(QVariant, mode);
    QFETCH(QVariant, baudrate);
    QFETCH(bool, storeAddress);
    QFETCH(bool, valid);
    QFETCH(quint32, expectedAddr);

    {
        QSettings settings;
        if (mode.isValid())
            settings.setValue(SettingsKeys::DownloadModeIndex, mode);
        if (baudrate.isValid())
            settings.setValue(SettingsKeys::Baudrate, baudrate);
        settings.setValue(SettingsKeys::filePathKey(1), QStringLiteral("/image.bin"));
        if (storeAddress)
            settings.setValue(SettingsKeys::startAddrKey(1), QStringLiteral("8000"));
        settings.sync();
    }
    UserConfig config;
    QCOMPARE(UserConfig::buildFromSettings(&config), valid);
    QCOMPARE(config.fileList().size(), 1);
    QCOMPARE(config.fileList().first().filePath, QStringLiteral("/image.bin"));
    QCOMPARE(config.fileList().first().startAddr, expectedAddr);
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
    auto *record = static_cast<UserConfig *>(copy);
    QCOMPARE(record->baudrate(), 1500000u);
    QCOMPARE(record->fileList().first().filePath, QStringLiteral("/x.bin"));
    QMetaType::destroy(id, copy);
}

QTEST_GUILESS_MAIN(tst_UserConfig)
#include "tst_userconfig.moc"
