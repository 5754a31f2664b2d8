#include "chipdialogue.h"
#include "ptypair.h"

#include <QSerialPort>
#include <QtTest>



class tst_ChipDialogue : public QObject
{
    Q_OBJECT

private slots:
    void commandLines_data();
    void commandLines();
    void downloadLines_data();
    void downloadLines();
    void ramcodeFilePath_data();
    void ramcodeFilePath();
    void version_data();
    void version();
    void answers_data();
    void answers();
    void fileCount_data();
    void fileCount();
    void collectFromLine_data();
    void collectFromLine();
    void collectedTextStaysBounded();
};

void tst_ChipDialogue::commandLines_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("version") << ChipDialogue::versionLine() << QByteArray("version \r\n");
    QTest::newRow("ferase_all") << ChipDialogue::eraseAllLine() << QByteArray("ferase_all \r\n");
    QTest::newRow("baudrate 921600") << ChipDialogue::baudrateLine(921600) << QByteArray("baudrate 921600\r\n");
    QTest::newRow("baudrate 115200") << ChipDialogue::baudrateLine(115200) << QByteArray("baudrate 115200\r\n");
    QTest::newRow("baudrate max") << ChipDialogue::baudrateLine(3000000) << QByteArray("baudrate 3000000\r\n");
    QTest::newRow("startaddr 0x1000") << ChipDialogue::startAddrLine(0x1000)
                                      << QByteArray("\r\nstartaddr 0x00001000\r\n");
    QTest::newRow("startaddr upper case") << ChipDialogue::startAddrLine(0xABCDEF01)
                                          << QByteArray("\r\nstartaddr 0xABCDEF01\r\n");
    QTest::newRow("startaddr 0") << ChipDialogue::startAddrLine(0) << QByteArray("\r\nstartaddr 0x00000000\r\n");
    QTest::newRow("upgrade") << ChipDialogue::upgradeLine() << QByteArray("upgrade \r\n");
    QTest::newRow("filecount") << ChipDialogue::fileCountLine() << QByteArray("\r\nfilecount\r\n");
    QTest::newRow("downloadsucess") << ChipDialogue::downloadSuccessLine() << QByteArray("\r\ndownloadsucess\r\n");
    QTest::newRow("reboot") << ChipDialogue::rebootLine() << QByteArray("reboot \r\n");
}

void tst_ChipDialogue::commandLines()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, expected);
    QCOMPARE(line, expected);
}

void tst_ChipDialogue::downloadLines_data()
{
    QTest::addColumn<Worker::ChipCodeVerFlag>("code");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("ZR740A") << Worker::CodeInROM_ZR740A << qint64(18120) << QByteArray("download \r\n");
    QTest::newRow("ZR740C") << Worker::CodeInROM_ZR740C << qint64(14176)
                            << QByteArray("download [rambin][0x20000000] [14176]\r\n");
    QTest::newRow("ZR610A") << Worker::CodeInROM_ZR610A << qint64(11372)
                            << QByteArray("download [rambin] [0x20008000] [11372]\r\n");
    QTest::newRow("RAM loader has no download") << Worker::CodeInRAM << qint64(1) << QByteArray();
    QTest::newRow("unknown") << Worker::CodeUnKnown << qint64(1) << QByteArray();
    QTest::newRow("generic ROM") << Worker::CodeInROM << qint64(1) << QByteArray();
}

void tst_ChipDialogue::downloadLines()
{
    QFETCH(Worker::ChipCodeVerFlag, code);
    QFETCH(qint64, size);
    QFETCH(QByteArray, expected);
    QCOMPARE(ChipDialogue::downloadLine(code, size), expected);
}

void tst_ChipDialogue::ramcodeFilePath_data()
{
    QTest::addColumn<Worker::ChipCodeVerFlag>("code");
    QTest::addColumn<QString>("path");

    QTest::newRow("ZR740A") << Worker::CodeInROM_ZR740A << QStringLiteral(":/bootram_bins/ramcode_zr740a.bin");
    QTest::newRow("ZR740C") << Worker::CodeInROM_ZR740C << QStringLiteral(":/bootram_bins/ramcode_zr740c.bin");
    QTest::newRow("ZR610A") << Worker::CodeInROM_ZR610A << QStringLiteral(":/bootram_bins/ramcode_zr610a.bin");
    QTest::newRow("RAM") << Worker::CodeInRAM << QString();
    QTest::newRow("ROM of no family") << Worker::CodeInROM << QString();
    QTest::newRow("unknown") << Worker::CodeUnKnown << QString();
}

void tst_ChipDialogue::ramcodeFilePath()
{
    QFETCH(Worker::ChipCodeVerFlag, code);
    QFETCH(QString, path);
    QCOMPARE(ChipDialogue::ramcodeFilePath(code), path);
}

void tst_ChipDialogue::version_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<Worker::ChipCodeVerFlag>("code");

    QTest::newRow("ZR740A") << QByteArray("ZR740A boot Jun 19 2019/21:01:04\r\n") << Worker::CodeInROM_ZR740A;
    QTest::newRow("ZR740C") << QByteArray("boot Mar 14 2021/00:23:32\r\n") << Worker::CodeInROM_ZR740C;
    QTest::newRow("ZR610A") << QByteArray("boot Jan 08 2020\r\n") << Worker::CodeInROM_ZR610A;
    QTest::newRow("RAM loader") << QByteArray("\r\nRAMCODE\r\n") << Worker::CodeInRAM;
    QTest::newRow("ZR740C marker wins over Jan") << QByteArray("Jan Mar 14 2021/00:23:32\r\n")
                                                 << Worker::CodeInROM_ZR740C;
    QTest::newRow("ZR740A marker wins over all") << QByteArray("RAMCODE Jan Jun 19 2019/21:01:04")
                                                 << Worker::CodeInROM_ZR740A;
    QTest::newRow("Jan wins over RAMCODE") << QByteArray("RAMCODE Jan") << Worker::CodeInROM_ZR610A;
    QTest::newRow("case matters") << QByteArray("ramcode jan") << Worker::CodeUnKnown;
    QTest::newRow("other build") << QByteArray("boot Feb 01 2020\r\n") << Worker::CodeUnKnown;
    QTest::newRow("marker behind NUL is hidden") << QByteArray("boot\0Jan 08\r\n", 14) << Worker::CodeUnKnown;
}

void tst_ChipDialogue::version()
{
    QFETCH(QByteArray, answer);
    QFETCH(Worker::ChipCodeVerFlag, code);
    QCOMPARE(ChipDialogue::recognizeVersion(ChipDialogue::answerText(answer)), code);
}

void tst_ChipDialogue::answers_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("recognised");

    QTest::newRow("download: C") << "download" << QByteArray("C") << true;
    QTest::newRow("download: any capital C") << "download" << QByteArray("xxCxx") << true;
    QTest::newRow("download: lower c") << "download" << QByteArray("ccc") << false;
    QTest::newRow("erase: pppp") << "erase" << QByteArray("\r\npppp\r\n") << true;
    QTest::newRow("erase: ffff") << "erase" << QByteArray("\r\nffff\r\n") << false;
    QTest::newRow("erase: ppp") << "erase" << QByteArray("ppp") << false;
    QTest::newRow("baudrate: echo") << "baudrate" << QByteArray("\r\nbaudrate 921600\r\n") << true;
    QTest::newRow("baudrate: other") << "baudrate" << QByteArray("\r\nBaudrate\r\n") << false;
    QTest::newRow("startaddr: echo and pppp")
        << "startaddr" << QByteArray("\r\nstartaddr 0x00001000\r\n\r\npppp\r\n") << true;
    QTest::newRow("startaddr: no pppp") << "startaddr" << QByteArray("\r\nstartaddr 0x00001000\r\n") << false;
    QTest::newRow("startaddr: ffff") << "startaddr" << QByteArray("startaddr 0x00001000\r\nffff") << false;
    QTest::newRow("startaddr: lower-case digits")
        << "startaddr" << QByteArray("startaddr 0x0000abcd\r\npppp") << false;
    QTest::newRow("startaddr: other address") << "startaddr" << QByteArray("startaddr 0x00002000\r\npppp") << false;
    QTest::newRow("startaddr: pppp behind NUL")
        << "startaddr" << QByteArray("startaddr 0x00001000\0pppp", 25) << false;
    QTest::newRow("upgrade: echo and C") << "upgrade" << QByteArray("\r\nupgrade\r\nC") << true;
    QTest::newRow("upgrade: echo only") << "upgrade" << QByteArray("\r\nupgrade\r\n") << false;
    QTest::newRow("upgrade: C only") << "upgrade" << QByteArray("CCC") << false;
}

void tst_ChipDialogue::answers()
{
    QFETCH(QString, step);
    QFETCH(QByteArray, answer);
    QFETCH(bool, recognised);

    const QString text = ChipDialogue::answerText(answer);
    bool result = false;
    if (step == QLatin1String("download"))
        result = ChipDialogue::isReceiverReady(text);
    else if (step == QLatin1String("erase"))
        result = ChipDialogue::isEraseConfirmed(text);
    else if (step == QLatin1String("baudrate"))
        result = ChipDialogue::isBaudrateAccepted(text);
    else if (step == QLatin1String("startaddr"))
        result = ChipDialogue::isStartAddrAccepted(text, QStringLiteral("startaddr 0x00001000"));
    else if (step == QLatin1String("upgrade"))
        result = ChipDialogue::isUpgradeReady(text);
    QCOMPARE(result, recognised);
}

void tst_ChipDialogue::fileCount_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("recognised");
    QTest::addColumn<int>("count");

    QTest::newRow("framed 2") << QByteArray("\r\nfc:2\r\n") << true << 2;
    QTest::newRow("bare 0") << QByteArray("fc:0") << true << 0;
    QTest::newRow("negative") << QByteArray("\r\nfc:-1\r\n") << true << -1;
    QTest::newRow("after noise") << QByteArray("junk\r\nfc:3\r\n") << true << 3;
    QTest::newRow("not a number") << QByteArray("\r\nfc:x\r\n") << false << 0;
    QTest::newRow("nothing behind") << QByteArray("fc:") << false << 0;
    QTest::newRow("three parts") << QByteArray("\r\nfc:1:2\r\n") << false << 0;
    QTest::newRow("no marker") << QByteArray("\r\nfc 2\r\n") << false << 0;
    QTest::newRow("largest 8-bit") << QByteArray("\r\nfc:127\r\n") << true << 127;
    QTest::newRow("would wrap to 44") << QByteArray("\r\nfc:300\r\n") << false << 0;
    QTest::newRow("would wrap negative") << QByteArray("\r\nfc:-129\r\n") << false << 0;
    QTest::newRow("count behind NUL") << QByteArray("\r\n\0fc:2\r\n", 9) << false << 0;
    QTest::newRow("split answer, first piece") << QByteArray("\r\nfc") << false << 0;
}

void tst_ChipDialogue::fileCount()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, recognised);
    QFETCH(int, count);

    qint8 parsed = 99;
    QCOMPARE(ChipDialogue::parseFileCount(ChipDialogue::answerText(answer), &parsed), recognised);
    QCOMPARE(int(parsed), recognised ? count : 99);
}

void tst_ChipDialogue::collectFromLine_data()
{
    QTest::addColumn<bool>("versionWait");
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<bool>("recognisedAfterFirst");
    QTest::addColumn<bool>("recognisedAfterSecond");

    // Waiting for the version only whole lines count, and a NUL inside the line is a blank.
    QTest::newRow("version split over two reads")
        << true << QByteArray("ZR740A Jun 19 20") << QByteArray("19/21:01:04\r\n") << false << true;
    QTest::newRow("version with NUL") << true << QByteArray("boot\0 Mar 14 2021/00:23:32\r\n", 29) << QByteArray()
                                      << true << true;
    QTest::newRow("filecount with NUL") << false << QByteArray("\r\n\0fc:2\r\n", 9) << QByteArray() << false << false;
    QTest::newRow("filecount split over two reads")
        << false << QByteArray("\r\nfc") << QByteArray(":1\r\n") << false << true;
}

void tst_ChipDialogue::collectFromLine()
{
    QFETCH(bool, versionWait);
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(bool, recognisedAfterFirst);
    QFETCH(bool, recognisedAfterSecond);

    PtyPair pty;
    QVERIFY(pty.open());
    QSerialPort port;
    port.setPortName(pty.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));

    auto recognised = [&](const QByteArray &buffer) {
        const QString text = ChipDialogue::answerText(buffer);
        qint8 count = 0;
        return versionWait ? ChipDialogue::recognizeVersion(text) != Worker::CodeUnKnown
                           : ChipDialogue::parseFileCount(text, &count);
    };
    auto deliver = [&](const QByteArray &bytes, QByteArray *buffer) {
        if (!bytes.isEmpty()) {
            const qint64 pending = port.bytesAvailable() + bytes.size();
            QVERIFY(pty.writeMaster(bytes));
            QTRY_COMPARE(port.bytesAvailable(), pending);
        }
        ChipDialogue::collect(&port, versionWait, buffer);
    };

    QByteArray buffer;
    deliver(first, &buffer);
    QCOMPARE(recognised(buffer), recognisedAfterFirst);
    deliver(second, &buffer);
    QCOMPARE(recognised(buffer), recognisedAfterSecond);
}

// Noise on an idle line for days must not grow the collected bytes without end.
void tst_ChipDialogue::collectedTextStaysBounded()
{
    PtyPair pty;
    QVERIFY(pty.open());
    QSerialPort port;
    port.setPortName(pty.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));

    QByteArray buffer;
    const QByteArray noise(1000, 'x');
    for (int i = 0; i < 20; ++i) {
        QVERIFY(pty.writeMaster(noise));
        QTRY_COMPARE(port.bytesAvailable(), qint64(noise.size()));
        ChipDialogue::collect(&port, false, &buffer);
        QVERIFY(buffer.size() <= ChipDialogue::MaxCollectedBytes);
    }
    QVERIFY(pty.writeMaster("\r\nfc:1\r\n"));
    QTRY_COMPARE(port.bytesAvailable(), qint64(8));
    ChipDialogue::collect(&port, false, &buffer);
    qint8 count = 0;
    QVERIFY(ChipDialogue::parseFileCount(ChipDialogue::answerText(buffer), &count));
    QCOMPARE(int(count), 1);
}

QTEST_GUILESS_MAIN(tst_ChipDialogue)
#include "tst_chipdialogue.moc"
