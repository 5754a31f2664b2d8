#include "chipsimprocess.h"
#include "errorcodes.h"
#include "ramloader.h"
#include "resultmessage.h"
#include "testsupport.h"
#include "workerrig.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QSysInfo>
#include <QUuid>
#include <QtTest>

#include <algorithm>

static QString sha256(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

// What the chip received in order, each with the host's line speed at that moment:
// "line@baud" for a command line, "loader@baud" or "image@baud" for a whole transfer.
static QStringList linesWithBaud(const ChipSimProcess &sim)
{
    QStringList lines;
    for (const QJsonObject &event : sim.transcript(0))
        if (event.value("ev") == "rx" || event.value("ev") == "image")
            lines << event.value(event.value("ev") == "rx" ? "line" : "kind").toString() + '@'
                            + QString::number(event.value("baud").toInt());
    return lines;
}

// The loader the chip stored from its first upload.
static QByteArray storedLoader(const ChipSimProcess &sim)
{
    for (const QJsonObject &event : sim.transcript(0))
        if (event.value("ev") == "image" && event.value("kind") == "loader")
            return readFile(QDir(sim.outDir()).filePath(event.value("path").toString()));
    return QByteArray();
}

class tst_Worker : public QObject
{
    Q_OBJECT

private slots:
    // "zr740c" names the file that is replaced by `content` in an otherwise sound folder; a null
    // content removes it, "dir" puts a folder in its place.
    void loaderLookup_data()
    {
        QTest::addColumn<bool>("useFolder");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<qint64>("size");   // -1: refused

        QTest::newRow("built-in") << false << QByteArray() << qint64(14176);
        QTest::newRow("vendor 256 KiB") << true << randomBytes(256 * 1024, 9) << qint64(256 * 1024);
        QTest::newRow("over 256 KiB") << true << randomBytes(256 * 1024 + 1, 9) << qint64(-1);
        QTest::newRow("empty") << true << QByteArray("") << qint64(-1);
        QTest::newRow("missing") << true << QByteArray() << qint64(-1);
        QTest::newRow("a folder, not a file") << true << QByteArray("dir") << qint64(-1);
    }

    void loaderLookup()
    {
        QFETCH(bool, useFolder);
        QFETCH(QByteArray, content);
        QFETCH(qint64, size);
        QTemporaryDir dir;
        QVERIFY(fillLoaderFolder(dir, 1000));
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
        QCOMPARE(loader.sha256(), sha256(readFile(loader.path())));
    }

    void oneFile_data()
    {
        QTest::addColumn<QString>("family");   // none: the RAM loader is already running
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("downloadLine");
        QTest::addColumn<bool>("vendor");      // the loaders from a folder of 70001-byte files

        QTest::newRow("ZR740A ROM") << "ZR740A" << int(Worker::CodeInROM_ZR740A) << "download \r\n" << false;
        QTest::newRow("ZR740C ROM") << "ZR740C" << int(Worker::CodeInROM_ZR740C) << "download [rambin][0x20000000] [14176]\r\n" << false;
        QTest::newRow("ZR610A ROM") << "ZR610A" << int(Worker::CodeInROM_ZR610A) << "download [rambin] [0x20008000] [11372]\r\n" << false;
        QTest::newRow("ZR740C vendor loader") << "ZR740C" << int(Worker::CodeInROM_ZR740C) << "download [rambin][0x20000000] [70001]\r\n" << true;
        QTest::newRow("RAM loader already running") << QString() << -1 << QString() << false;
    }

    void oneFile()
    {
        QFETCH(QString, family);
        QFETCH(int, code);
        QFETCH(QString, downloadLine);
        QFETCH(bool, vendor);
        ChipSimProcess sim;
        QVERIFY(sim.start(1, family.isEmpty() ? QStringList{ "--set", "0:ram=1" } : QStringList{ "--families", family }));
        const FileCfg file = image("app.bin", 20000, 0x1000);
        QTemporaryDir folder;
        QVERIFY(!vendor || fillLoaderFolder(folder, 70001));
        WorkerRig rig;
        rig.run({ file }, sim.linkPath(0), 921600, UserConfig::DOWNLOAD_MODE_SINGLESHOT, Worker::WORK_MODE_DOWNLOAD, true,
                vendor ? folder.path() : QString());
        QTRY_COMPARE_WITH_TIMEOUT(rig.results, QList<int>{ ErrorCodes::RESULT_SUCCESS }, 20000);
        QCOMPARE(rig.ready, code < 0 ? QList<Code>() : QList<Code>{ Code(code) });

        // The host follows the loader's line speed: the file's lines at the configured speed,
        // the file count and the reboot back at 115200. A RAM loader needs no upload.
        QStringList expected = { "version \r\n@115200",      downloadLine + "@115200",      "loader@115200",
            "\r\nfilecount\r\n@115200", "baudrate 921600\r\n@115200", "\r\nstartaddr 0x00001000\r\n@921600",
            "upgrade \r\n@921600",      "image@921600",                "baudrate 115200\r\n@921600",
            "\r\nfilecount\r\n@115200", "\r\ndownloadsucess\r\n@115200", "reboot \r\n@115200" };
        if (downloadLine.isEmpty())
            expected.erase(expected.begin() + 1, expected.begin() + 3);
        // The result is reported as soon as "reboot" is written; give the chip time to read it.
        QTRY_COMPARE(linesWithBaud(sim), expected);
        QCOMPARE(sim.image(0, 0x1000), readFile(file.filePath));
        QCOMPARE(rig.progress.last(), qMakePair(1, 100));
        QVERIFY(std::all_of(rig.progress.begin(), rig.progress.end(), [](auto &report) { return report.first == 1; }));

        // The run's record names the chip, the loader and the image exactly as they went out.
        const RunRecord record = rig.records.value(0);
        const QString loader = family.isEmpty() ? QString() : "ramcode_" + family.toLower() + ".bin";
        const QByteArray loaderBytes = loader.isEmpty() ? QByteArray() : readFile(vendor ? folder.filePath(loader) : ":/bootram_bins/" + loader);
        QCOMPARE(storedLoader(sim), loaderBytes);
        QVERIFY(!QUuid(record.uuid).isNull() && !record.uuid.startsWith('{'));
        QVERIFY(record.startedAt <= record.finishedAt && record.finishedAt.timeSpec() == Qt::UTC);
        QCOMPARE(QStringList({ record.host, record.port, record.workMode, record.chipFamily, record.loaderState,
                               record.loaderName, record.loaderSha256, record.message }),
                 QStringList({ QSysInfo::machineHostName(), sim.linkPath(0), "download", family,
                               family.isEmpty() ? "ram" : "rom", loader,
                               loader.isEmpty() ? QString() : sha256(loaderBytes), "Success" }));
        QVERIFY(record.code == 0 && record.baudrate == 921600 && !record.continuous && !record.appVersion.isEmpty());
        const RunImage sent = record.images.value(0);
        QVERIFY(record.images.size() == 1 && sent.written && sent.path == file.filePath && sent.address == file.startAddr && sent.size == 20000);
        QCOMPARE(sent.sha256, sha256(sim.image(0, 0x1000)));
    }

    // The fault the simulated ZR740A shows, or a missing file or port on the host's side, or a loader
    // folder of 70001-byte loaders: "-NAME" without that file, "empty NAME" with it empty.
    void faults_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("folder");
        const auto row = [](const char *name, const QString &fault, int mode, int code, const QString &folder = QString()) {
            QTest::newRow(name) << fault << mode << code << folder;
        };

        const int download = Worker::WORK_MODE_DOWNLOAD, erase = Worker::WORK_MODE_ERASE;
        // A transfer status arriving outside any transfer must change nothing.
        row("silent chip, stray transfer status", "silent", download, ErrorCodes::RESULT_VERSION_READ_FAILED);
        row("baudrate answer lost", "drop=baudrate", download, 0);
        row("startaddr refused", "ffff=startaddr", download, ErrorCodes::RESULT_STARTADDR_READ_FAILED);
        row("CAN during the image", "can=2", download, ErrorCodes::RESULT_FILE_SEND_FAILED);
        row("missing file", "missing file", download, ErrorCodes::RESULT_ARG_FILENAME_INVALID);
        row("missing file, erase", "missing file", erase, ErrorCodes::RESULT_ARG_FILENAME_INVALID);
        row("absent port", "absent port", download, ErrorCodes::RESULT_PORT_OPEN_FAILED);
        // Nothing to write is never a pass, and the chip is not touched.
        row("no image configured", "no image", download, ErrorCodes::RESULT_ARGS_MISSING);
        row("record not valid", "bad speed", download, ErrorCodes::RESULT_ARGS_MISSING);
        row("erase on a ROM chip, vendor loader", "", erase, 0, "full");
        // A line of one family needs only that family's loader.
        row("another family's loader missing", "", download, 0, "-ramcode_zr610a.bin");
        // Only "version" tells the family: after it, nothing of the loader goes on the line.
        row("own loader missing", "", download, ErrorCodes::RESULT_RAMCODE_FILE_INVALID, "-ramcode_zr740a.bin");
        // A file that is there but unusable fails every run before anything is sent.
        row("another family's loader empty", "", download, ErrorCodes::RESULT_RAMCODE_FILE_INVALID, "empty ramcode_zr610a.bin");
        // Only the 30 s bound ends the wait for the erase.
        row("erase never confirmed", "ffff=ferase_all", erase, ErrorCodes::RESULT_ERASE_ALL_READ_FAILED);
    }

    void faults()
    {
        QFETCH(QString, fault);
        QFETCH(int, mode);
        QFETCH(int, code);
        QFETCH(QString, folder);
        const bool onHost = fault.contains(' ');
        QTemporaryDir loaders;
        QVERIFY(folder.isEmpty() || fillLoaderFolder(loaders, 70001));
        if (folder.startsWith("empty "))
            QVERIFY(writeFile(loaders.filePath(folder.mid(6)), QByteArray()));
        QVERIFY(!folder.startsWith('-') || QFile::remove(loaders.filePath(folder.mid(1))));
        ChipSimProcess sim;
        QVERIFY(sim.start(1, fault.isEmpty() || onHost ? QStringList() : QStringList{ "--fault", "0:" + fault }));
        QList<FileCfg> files = { image("f.bin", 4000, 0x3000) };
        if (fault == QLatin1String("missing file"))
            files.append(FileCfg{ imageDir().filePath("gone.bin"), 0x9000 });
        if (fault == QLatin1String("no image"))
            files.clear();
        WorkerRig rig;
        const QDeadlineTimer eraseBound(29000);
        rig.run(files, fault == QLatin1String("absent port") ? imageDir().filePath("ttyNONE") : sim.linkPath(0),
                fault == QLatin1String("bad speed") ? 9600 : 921600,
                UserConfig::DOWNLOAD_MODE_SINGLESHOT, mode, true, folder.isEmpty() ? QString() : loaders.path());
        if (fault == QLatin1String("silent")) {
            QTest::qWait(300);
            QVERIFY(QMetaObject::invokeMethod(rig.worker, "slotTransmitStatus", Qt::QueuedConnection,
                                              Q_ARG(YmodemFileTransmit::Status, YmodemFileTransmit::STATUS_FINISHED)));
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.results, QList<int>{ code }, 40000);
        QVERIFY(code != ErrorCodes::RESULT_ERASE_ALL_READ_FAILED || eraseBound.hasExpired());
        QTest::qWait(100);
        QCOMPARE(rig.results.size(), 1);
        const RunRecord record = rig.records.value(0);
        QCOMPARE(record.code, code);
        // A loader refused is named in the record.
        const QString culprit = loaders.filePath(folder.mid(folder.startsWith('-') ? 1 : 6));
        const bool refused = code == ErrorCodes::RESULT_RAMCODE_FILE_INVALID;
        QCOMPARE(record.message, refused ? ErrorCodes::errorString(code).arg(culprit) : ErrorCodes::errorString(code));
        QCOMPARE(record.workMode, QString(mode == Worker::WORK_MODE_ERASE ? "erase" : "download"));
        QCOMPARE(record.images.size(), files.size());
        for (const RunImage &entry : record.images)
            QCOMPARE(entry.written, code == 0 && mode == Worker::WORK_MODE_DOWNLOAD);

        const QStringList lines = sim.receivedLines(0);
        if (onHost || folder.startsWith("empty "))
            QVERIFY(lines.isEmpty());
        else if (refused)
            QCOMPARE(lines, QStringList{ "version \r\n" });
        else if (mode == Worker::WORK_MODE_ERASE)
            QCOMPARE(lines, QStringList({ "version \r\n", "download \r\n", "ferase_all \r\n" }));
        else if (fault == QLatin1String("silent"))
            QCOMPARE(lines.join(""), QString("version \r\n").repeated(5));
        if (!folder.isEmpty() && code == 0)
            QCOMPARE(storedLoader(sim), readFile(loaders.filePath("ramcode_zr740a.bin")));
        // The re-sent line already goes out at the speed the loader switched to.
        if (fault == QLatin1String("drop=baudrate")) {
            QCOMPARE(sim.image(0, 0x3000), readFile(files.first().filePath));
            QCOMPARE(linesWithBaud(sim).filter("baudrate 921600"),
                     QStringList({ "baudrate 921600\r\n@115200", "baudrate 921600\r\n@921600" }));
        }
    }

    // One continuous line through its day: a board that does not answer yet, boards of two
    // families whose loader already counts an image (an earlier run on the same board), an
    // adapter pulled out and put back, and Start pressed again in the middle of an image.
    void continuousLine()
    {
        ChipSimProcess sim;
        QVERIFY(sim.start(1, { "--throttle", "--c-interval-ms", "100", "--set", "0:filecount-start=1",
                               "--fault", "0:silent" }));
        const QList<FileCfg> files{ image("a.bin", 3000, 0x1000), image("b.bin", 5000, 0x20000),
                                    image("c.bin", 700, 0x40000) };
        const QList<FileCfg> next{ image("big.bin", 150000, 0x10000), image("small.bin", 3000, 0x80000) };
        const int continuous = UserConfig::DOWNLOAD_MODE_CONTINUOUS, download = Worker::WORK_MODE_DOWNLOAD;
        const int gone = ErrorCodes::RESULT_PORT_OPEN_FAILED;
        WorkerRig rig;
        rig.run(files, sim.linkPath(0), 460800, continuous);
        // Handed over while the line runs, a configuration waits for the next Start.
        rig.run(next, sim.linkPath(0), 921600, continuous, download, false);
        // No chip answers: the worker keeps asking without a report.
        QTRY_VERIFY_WITH_TIMEOUT(sim.receivedLines(0).size() > 6, 5000);
        QVERIFY(rig.results.isEmpty());

        // The host's "reboot" brings up a fresh chip: the next board, here of another family.
        QVERIFY(sim.command("set 0 family=ZR610A") && sim.command("clear 0"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.results, QList<int>({ 0, 0 }), 30000);
        const QStringList lines = sim.receivedLines(0);
        QCOMPARE(lines.filter("download "),
                 QStringList({ "download \r\n", "download [rambin] [0x20008000] [11372]\r\n" }));
        const QStringList startAddrs{ "\r\nstartaddr 0x00001000\r\n", "\r\nstartaddr 0x00020000\r\n",
                                      "\r\nstartaddr 0x00040000\r\n" };
        QCOMPARE(lines.filter("startaddr"), startAddrs + startAddrs);
        QCOMPARE(lines.filter("upgrade").size(), 6);
        QCOMPARE(rig.progress.last(), qMakePair(3, 100));
        QVERIFY(rig.records.value(0).baudrate == 460800 && rig.records.value(1).baudrate == 460800);
        for (const FileCfg &file : files)
            QCOMPARE(sim.image(0, file.startAddr), readFile(file.filePath));

        // An adapter pulled out: one report, calm retries, and production resumes on replug.
        QVERIFY(sim.command("unplug 0"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.results.size(), 3, 10000);
        QTest::qWait(2500);
        QCOMPARE(rig.results, QList<int>({ 0, 0, gone }));
        QVERIFY(sim.command("replug 0"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.results, QList<int>({ 0, 0, gone, 0 }), 30000);

        // Start, then Start again in the middle of the large first image: the old transfer ends
        // before the new run's first command, and the interrupted run reports nothing.
        rig.progress.clear();
        QMetaObject::invokeMethod(rig.worker, "slotWorkerStart");
        const auto midImage = [&rig] {
            const QPair<int, int> last = rig.progress.value(rig.progress.size() - 1);
            return last.first == 1 && last.second >= 20 && last.second <= 70;
        };
        QTRY_VERIFY_WITH_TIMEOUT(midImage(), 30000);
        const int before = sim.transcript(0).size();
        QMetaObject::invokeMethod(rig.worker, "slotWorkerStart");
        QTRY_COMPARE_WITH_TIMEOUT(rig.results, QList<int>({ 0, 0, gone, 0, 0 }), 30000);
        for (const FileCfg &file : next)
            QCOMPARE(sim.image(0, file.startAddr), readFile(file.filePath));
        QStringList heard;   // what the chip took amiss, and the new run's "version"
        for (const QJsonObject &event : sim.transcript(0).mid(before))
            if (event.value("ev") == "violation" || event.value("line") == "version \r\n")
                heard << event.value("what").toString() + event.value("line").toString();
        const int version = heard.indexOf("version \r\n");
        QVERIFY2(version > 0 && heard.mid(0, version).contains("transfer cancelled by the host"),
                 qPrintable(heard.join('|')));
        QCOMPARE(heard.mid(version).filter("version \r\n"), heard.mid(version));

        QSet<QString> uuids;
        for (const RunRecord &record : rig.records)
            uuids.insert(record.uuid);
        QCOMPARE(uuids.size(), 5);
        // Only the run without a port wrote nothing.
        QVERIFY(rig.records.last().continuous && rig.records.last().images.value(0).written);
        QVERIFY(!rig.records.at(2).images.value(0).written);
        QCOMPARE(rig.records.last().images.value(0).path, next.first().filePath);
    }
};

QTEST_GUILESS_MAIN(tst_Worker)
#include "tst_worker.moc"
