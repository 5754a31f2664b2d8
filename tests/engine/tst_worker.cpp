#include "chipsimprocess.h"
#include "errorcodes.h"
#include "testsupport.h"
#include "workerrig.h"

#include <QCryptographicHash>
#include <QJsonObject>
#include <QSysInfo>
#include <QtTest>

static QString sha256(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

// Each line ("line@baud") and transfer ("loader@baud", "image@baud") the chip received, at the host's speed then.
static QStringList linesWithBaud(const ChipSimProcess &sim)
{
    QStringList lines;
    for (const QJsonObject &event : sim.transcript(0))
        if (event.value("ev") == "rx" || event.value("ev") == "image")
            lines << event.value(event.value("ev") == "rx" ? "line" : "kind").toString() + '@'
                            + QString::number(event.value("baud").toInt());
    return lines;
}

class tst_Worker : public QObject
{
    Q_OBJECT

private slots:
    // One run against a simulated chip, a host-side fault, or a folder of 70001-byte loaders whose `loader` gets
    // `content` ("-" removes it, "dir" puts a folder there). `family`: who answered ("ram": a RAM loader);
    // `dialogue`: each line and transfer the chip received with the host's speed then; after "..." anything goes.
    void run_data()
    {
        QTest::addColumn<QString>("chip");
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("loader");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("dialogue");
        const int download = Worker::WORK_MODE_DOWNLOAD, erase = Worker::WORK_MODE_ERASE;
        const int invalid = ErrorCodes::RESULT_RAMCODE_FILE_INVALID;
        const QString own = "ramcode_zr740a.bin", other = "ramcode_zr610a.bin";
        const auto row = [](const char *name, const QString &chip, const QString &family, int mode, int code,
                            const QStringList &lines, const QString &loader = {}, const QByteArray &bytes = {}) {
            QTest::newRow(name) << chip << family << mode << loader << bytes << code << lines;
        };
        const auto rom = [](const QString &downloadLine) {
            return QStringList{ "version \r\n@115200", downloadLine + "@115200", "loader@115200" };
        };
        // The host follows the loader's speed: the file's lines at the configured one, count and reboot at 115200.
        const QStringList written{ "\r\nfilecount\r\n@115200", "baudrate 921600\r\n@115200",
            "\r\nstartaddr 0x00001000\r\n@921600", "upgrade \r\n@921600", "image@921600",
            "baudrate 115200\r\n@921600", "\r\nfilecount\r\n@115200", "\r\ndownloadsucess\r\n@115200",
            "reboot \r\n@115200" };
        const QStringList zr740a = rom("download \r\n");
        const QStringList erased = zr740a + QStringList{ "ferase_all \r\n@115200" };
        // The re-sent line already goes out at the speed the loader switched to.
        QStringList resent = zr740a + written;
        resent.insert(5, "baudrate 921600\r\n@921600");

        row("ZR740A ROM", "", "ZR740A", download, 0, zr740a + written);
        row("ZR740C ROM", "--families ZR740C", "ZR740C", download, 0,
            rom("download [rambin][0x20000000] [14176]\r\n") + written);
        row("ZR610A ROM", "--families ZR610A", "ZR610A", download, 0,
            rom("download [rambin] [0x20008000] [11372]\r\n") + written);
        row("ZR740C vendor loader", "--families ZR740C", "ZR740C", download, 0,
            rom("download [rambin][0x20000000] [70001]\r\n") + written, "ramcode_zr740c.bin");
        // A RAM loader needs no upload.
        row("RAM loader already running", "--set 0:ram=1", "ram", download, 0,
            QStringList{ "version \r\n@115200" } + written);
        // A transfer status arriving outside any transfer must change nothing.
        row("silent chip, stray transfer status", "--fault 0:silent", "", download,
            ErrorCodes::RESULT_VERSION_READ_FAILED, QVector<QString>(5, "version \r\n@115200").toList());
        row("baudrate answer lost", "--fault 0:drop=baudrate", "ZR740A", download, 0, resent);
        row("startaddr refused", "--fault 0:ffff=startaddr", "ZR740A", download,
            ErrorCodes::RESULT_STARTADDR_READ_FAILED, zr740a + written.mid(0, 3) + QStringList{ "..." });
        row("CAN during the image", "--fault 0:can=2", "ZR740A", download,
            ErrorCodes::RESULT_FILE_SEND_FAILED, zr740a + written.mid(0, 4) + QStringList{ "..." });
        row("missing file", "missing file", "", download, ErrorCodes::RESULT_ARG_FILENAME_INVALID, {});
        row("missing file, erase", "missing file", "", erase, ErrorCodes::RESULT_ARG_FILENAME_INVALID, {});
        row("absent port", "absent port", "", download, ErrorCodes::RESULT_PORT_OPEN_FAILED, {});
        // Nothing to write is never a pass, and the chip is not touched.
        row("no image configured", "no image", "", download, ErrorCodes::RESULT_ARGS_MISSING, {});
        row("record not valid", "bad speed", "", download, ErrorCodes::RESULT_ARGS_MISSING, {});
        row("erase on a ROM chip, vendor loader", "", "ZR740A", erase, 0, erased, own);
        // No ROM loader holds more than 256 KiB in RAM.
        row("own loader of 256 KiB", "", "ZR740A", download, 0, zr740a + written, own, patternBytes(0x40000));
        // A line of one family needs only that family's loader.
        row("another family's loader missing", "", "ZR740A", download, 0, zr740a + written, other, "-");
        // Only "version" tells the family: after it, nothing of the loader goes on the line.
        row("own loader missing", "", "ZR740A", download, invalid, zr740a.mid(0, 1), own, "-");
        // A file that is there but unusable fails every run before anything is sent.
        row("another family's loader empty", "", "", download, invalid, {}, other, "");
        row("own loader over 256 KiB", "", "", download, invalid, {}, own, patternBytes(0x40001));
        row("a folder in a loader's place", "", "", download, invalid, {}, other, "dir");
        // Only the 30 s bound ends the wait for the erase.
        row("erase never confirmed", "--fault 0:ffff=ferase_all", "ZR740A", erase,
            ErrorCodes::RESULT_ERASE_ALL_READ_FAILED, erased);
    }

    void run()
    {
        QFETCH(QString, chip);
        QFETCH(QString, family);
        QFETCH(int, mode);
        QFETCH(QString, loader);
        QFETCH(QByteArray, content);
        QFETCH(int, code);
        QFETCH(QStringList, dialogue);
        const bool onHost = !chip.isEmpty() && !chip.startsWith("--");
        QTemporaryDir loaders;
        const QString culprit = loaders.filePath(loader);
        QVERIFY(loader.isEmpty() || fillLoaderFolder(loaders, 70001));
        QVERIFY(content.isNull() || QFile::remove(culprit));
        QVERIFY(content.isNull() || content == "-"
                || (content == "dir" ? QDir().mkdir(culprit) : writeFile(culprit, content)));
        ChipSimProcess sim;
        QVERIFY(sim.start(1, onHost ? QStringList() : chip.split(' ', Qt::SkipEmptyParts)));
        QList<FileCfg> files = { image("app.bin", 20000, 0x1000) };
        if (chip == "missing file")
            files.append(FileCfg{ imageDir.filePath("gone.bin"), 0x9000 });
        if (chip == "no image")
            files.clear();
        const QString port = chip == "absent port" ? imageDir.filePath("ttyNONE") : sim.linkPath(0);
        const quint32 baudrate = chip == "bad speed" ? 9600 : 921600;
        WorkerRig rig;
        const QDeadlineTimer eraseBound(29000);
        rig.run(files, port, baudrate, UserConfig::DOWNLOAD_MODE_SINGLESHOT, mode, true,
                loader.isEmpty() ? QString() : loaders.path());
        if (chip.endsWith("silent")) {
            QTest::qWait(300);
            QVERIFY(QMetaObject::invokeMethod(rig.worker, "slotTransmitStatus", Qt::QueuedConnection,
                                              Q_ARG(YmodemFileTransmit::Status, YmodemFileTransmit::STATUS_FINISHED)));
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.results, QList<int>{ code }, 40000);
        QVERIFY(code != ErrorCodes::RESULT_ERASE_ALL_READ_FAILED || eraseBound.hasExpired());
        // The result is reported as soon as "reboot" is written; give the chip time to read it.
        const int heard = dialogue.endsWith("...") ? dialogue.size() - 1 : -1;
        QTRY_COMPARE(linesWithBaud(sim).mid(0, heard), dialogue.mid(0, heard));
        QTest::qWait(100);
        QCOMPARE(rig.results.size(), 1);
        const int rom = QMetaEnum::fromType<Code>().keyToValue(qPrintable("CodeInROM_" + family));
        const bool download = mode == Worker::WORK_MODE_DOWNLOAD;
        QCOMPARE(rig.ready, rom < 0 || !download ? QList<Code>() : QList<Code>{ Code(rom) });

        // The record names chip, loader and images as they went out; a refused loader is named in its message.
        const RunRecord record = rig.records.value(0);
        const QString loaded = sim.fields(0, "image", "path").filter("-loader-").value(0);
        const QByteArray stored = loaded.isEmpty() ? QByteArray() : readFile(QDir(sim.outDir()).filePath(loaded));
        const QString name = stored.isEmpty() ? QString() : "ramcode_" + family.toLower() + ".bin";
        const QString source = loader.isEmpty() ? ":/bootram_bins/" + name : loaders.filePath(name);
        QCOMPARE(stored, name.isEmpty() ? QByteArray() : readFile(source));
        QVERIFY(!record.appVersion.isEmpty() && record.finishedAt.timeSpec() == Qt::UTC);
        const QString message = ErrorCodes::errorString(code);
        const bool refused = code == ErrorCodes::RESULT_RAMCODE_FILE_INVALID;
        const QString state = family.isEmpty() ? "" : family == "ram" ? "ram" : "rom";
        QCOMPARE(QStringList({ record.host, record.port, record.workMode, record.chipFamily, record.loaderState,
                               record.loaderName, record.loaderSha256, record.message }),
                 QStringList({ QSysInfo::machineHostName(), port, download ? "download" : "erase",
                               state == "rom" ? family : "", state, name, name.isEmpty() ? "" : sha256(stored),
                               refused ? message.arg(culprit) : message }));
        for (int i = 0; i < files.size(); ++i) {
            const RunImage entry = record.images.value(i);
            const QByteArray bytes = readFile(files.at(i).filePath);
            QCOMPARE(entry.size, QFile::exists(entry.path) ? qint64(bytes.size()) : qint64(-1));
            QCOMPARE(entry.sha256, entry.size < 0 ? QString() : sha256(bytes));
            QCOMPARE(entry.written, code == 0 && download);
            QVERIFY(!entry.written || sim.image(0, entry.address) == bytes);
        }
    }

    // A line's day: a board not answering yet, two families whose loader counts an earlier image, an adapter
    // pulled out and put back, and Start pressed again mid-image.
    void continuousLine()
    {
        ChipSimProcess sim;
        QVERIFY(sim.start(1, { "--throttle", "--c-interval-ms", "100", "--set", "0:filecount-start=1",
                               "--fault", "0:silent" }));
        const QList<FileCfg> files{ image("a.bin", 3000, 0x1000), image("b.bin", 5000, 0x20000),
                                    image("c.bin", 700, 0x40000) };
        const QList<FileCfg> next{ image("big.bin", 150000, 0x10000), image("small.bin", 3001, 0x80000) };
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

        // Start again mid-image: the old transfer ends before the new run's first command; the cut run reports nothing.
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

        // Only the run without a port wrote nothing.
        QVERIFY(rig.records.last().continuous && rig.records.last().images.value(0).written);
        QVERIFY(!rig.records.at(2).images.value(0).written);
        QCOMPARE(rig.records.last().images.value(0).path, next.first().filePath);
    }
};

QTEST_GUILESS_MAIN(tst_Worker)
#include "tst_worker.moc"
