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
    void initTestCase()
    {
        QCoreApplication::setOrganizationName(QStringLiteral("Marwenta"));
        QCoreApplication::setApplicationName(QStringLiteral("tst_userconfig"));
        registerUserConfigMetaType();
    }
    void init() { QSettings().clear(); }

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

QTEST_GUILESS_MAIN(tst_UserConfig)
#include "tst_userconfig.moc"
