#include "chipsimprocess.h"
#include "errorcodes.h"
#include "ramloader.h"
#include "resultmessage.h"
#include "testsupport.h"
#include "workerrig.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

// A vendor loader of a size no built-in one has, in a folder of its own, for every family.
static QByteArray vendorLoader(int size, char seed)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(seed + i * 7 + (i >> 9));
    return data;
}

static bool fillFolder(const QTemporaryDir &dir, int size)
{
    return writeFile(dir.filePath("ramcode_zr740a.bin"), vendorLoader(size, 'a'))
        && writeFile(dir.filePath("ramcode_zr740c.bin"), vendorLoader(size, 'c'))
        && writeFile(dir.filePath("ramcode_zr610a.bin"), vendorLoader(size, 'z'));
}

class tst_RamLoader : public QObject
{
    Q_OBJECT

private slots:
    void lookup_data();
    void lookup();
    void runsWithFolder_data();
    void runsWithFolder();
};

// "zr740c" names the file that is replaced by `content` in an otherwise sound folder; a null
// content removes it, "dir" puts a folder in its place. (A vendor loader of an unusual size is
// run by runsWithFolder.)
void tst_RamLoader::lookup_data()
{
    QTest::addColumn<bool>("useFolder");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<qint64>("size");   // -1: refused

    QTest::newRow("built-in") << false << QByteArray() << qint64(14176);
    QTest::newRow("vendor 256 KiB") << true << vendorLoader(256 * 1024, 'c') << qint64(256 * 1024);
    QTest::newRow("over 256 KiB") << true << vendorLoader(256 * 1024 + 1, 'c') << qint64(-1);
    QTest::newRow("empty") << true << QByteArray("") << qint64(-1);
    QTest::newRow("missing") << true << QByteArray() << qint64(-1);
    QTest::newRow("a folder, not a file") << true << QByteArray("dir") << qint64(-1);
}

void tst_RamLoader::lookup()
{
    QFETCH(bool, useFolder);
    QFETCH(QByteArray, content);
    QFETCH(qint64, size);
    QTemporaryDir dir;
    QVERIFY(fillFolder(dir, 1000));
    const QString file = dir.filePath("ramcode_zr740c.bin");
    QFile::remove(file);
    if (content == "dir")
        QVERIFY(QDir(dir.path()).mkdir("ramcode_zr740c.bin"));
    else if (!content.isNull())
        QVERIFY(writeFile(file, content));

    const QString folder = useFolder ? dir.path() : QString();
    const RamLoader loader = RamLoader::resolve(Worker::CodeInROM_ZR740C, folder);
    const RamLoader all = RamLoader::checkAll(folder);
    QCOMPARE(loader.isOk(), size >= 0);
    // An absent file fails only a chip of its family; a present but unusable one fails every run.
    const bool absent = useFolder && content.isNull();
    QCOMPARE(all.errorCode(), size >= 0 || absent ? 0 : ErrorCodes::RESULT_RAMCODE_FILE_INVALID);
    QCOMPARE(loader.path(), useFolder ? file : QStringLiteral(":/bootram_bins/ramcode_zr740c.bin"));
    QCOMPARE(RamLoader::placeholderInUse(folder), !useFolder);
    if (size < 0) {
        QVERIFY(absent || all.path() == file);
        QVERIFY(ResultMessage::text(loader.errorCode(), "ttyUSB0", loader.path()).contains("'" + file + "'"));
        return;
    }
    QCOMPARE(loader.size(), size);
    QCOMPARE(loader.sha256(), QString(QCryptographicHash::hash(readFile(loader.path()), QCryptographicHash::Sha256).toHex()));
}

// A chip of each row's family on the line; "missing" names a loader taken out of the folder
// ("empty:" a loader left empty).
void tst_RamLoader::runsWithFolder_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("missing");
    QTest::addColumn<QString>("downloadLine");   // empty: nothing may reach the line

    QTest::newRow("ZR740C download") << "ZR740C" << int(Worker::WORK_MODE_DOWNLOAD) << QString()
                                     << "download [rambin][0x20000000] [70001]\r\n";
    QTest::newRow("ZR610A erase") << "ZR610A" << int(Worker::WORK_MODE_ERASE) << QString()
                                  << "download [rambin] [0x20008000] [70001]\r\n";
    // A line of one family needs only that family's loader.
    QTest::newRow("another family's loader missing") << "ZR740A" << int(Worker::WORK_MODE_DOWNLOAD)
                                                     << "ramcode_zr610a.bin" << "download \r\n";
    // Only "version" tells the family: after it, nothing of the loader goes on the line.
    QTest::newRow("own loader missing") << "ZR740A" << int(Worker::WORK_MODE_DOWNLOAD) << "ramcode_zr740a.bin"
                                        << QString();
    // A file that is there but unusable fails every run before anything is sent.
    QTest::newRow("another family's loader empty") << "ZR740C" << int(Worker::WORK_MODE_DOWNLOAD)
                                                   << "empty:ramcode_zr610a.bin" << QString();
}

void tst_RamLoader::runsWithFolder()
{
    QFETCH(QString, family);
    QFETCH(int, mode);
    QFETCH(QString, missing);
    QFETCH(QString, downloadLine);
    QTemporaryDir dir;
    QVERIFY(fillFolder(dir, 70001) && writeFile(dir.filePath("app.bin"), vendorLoader(5000, 'i')));
    if (missing.startsWith("empty:"))
        QVERIFY(writeFile(dir.filePath(missing.mid(6)), QByteArray()));
    else
        QVERIFY(missing.isEmpty() || QFile::remove(dir.filePath(missing)));
    ChipSimProcess sim;
    QVERIFY(sim.start(1, { "--families", family }));

    WorkerRig rig;
    rig.run({ FileCfg{ dir.filePath("app.bin"), 0x1000 } }, sim.linkPath(0), 921600,
            UserConfig::DOWNLOAD_MODE_SINGLESHOT, mode, true, dir.path());
    QTRY_COMPARE_WITH_TIMEOUT(rig.results, QList<int>{ downloadLine.isEmpty() ? ErrorCodes::RESULT_RAMCODE_FILE_INVALID : 0 }, 20000);
    if (downloadLine.isEmpty()) {
        QTest::qWait(300);
        const QStringList expected = missing.startsWith("empty:") ? QStringList() : QStringList{ "version \r\n" };
        QCOMPARE(sim.receivedLines(0), expected);
        return;
    }
    QTRY_VERIFY(sim.receivedLines(0).size() >= 2);
    QCOMPARE(sim.receivedLines(0).at(1), downloadLine);
    QString stored;
    for (const QJsonObject &event : sim.transcript(0))
        if (event.value("ev") == "image" && event.value("kind") == "loader")
            stored = event.value("path").toString();
    QCOMPARE(readFile(QDir(sim.outDir()).filePath(stored)), readFile(dir.filePath("ramcode_" + family.toLower() + ".bin")));
}

QTEST_GUILESS_MAIN(tst_RamLoader)
#include "tst_ramloader.moc"
