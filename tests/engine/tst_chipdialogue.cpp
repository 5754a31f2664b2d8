#include "chipdialogue.h"
#include "ptypair.h"

#include <QSerialPort>
#include <QtTest>

class tst_ChipDialogue : public QObject
{
    Q_OBJECT

private slots:
    void outgoing_data();
    void outgoing();
    void answers_data();
    void answers();
    void collectFromLine_data();
    void collectFromLine();

private:
    // Puts bytes on the line in pieces the pty can hold, waits until the port holds them
    // all, then collects.
    static void deliver(PtyPair &pty, QSerialPort &port, const QByteArray &bytes, bool versionWait,
                        QByteArray *buffer)
    {
        for (int at = 0; at < bytes.size(); at += 1000) {
            const qint64 pending = port.bytesAvailable() + qMin(1000, bytes.size() - at);
            QVERIFY(pty.writeMaster(bytes.mid(at, 1000)));
            QTRY_COMPARE(port.bytesAvailable(), pending);
        }
        ChipDialogue::collect(&port, versionWait, buffer);
    }
};

// Every command line byte for byte, and the loader each ROM is sent.
void tst_ChipDialogue::outgoing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("version") << ChipDialogue::versionLine() << QByteArray("version \r\n");
    QTest::newRow("ferase_all") << ChipDialogue::eraseAllLine() << QByteArray("ferase_all \r\n");
    QTest::newRow("baudrate 921600") << ChipDialogue::baudrateLine(921600) << QByteArray("baudrate 921600\r\n");
    QTest::newRow("baudrate max") << ChipDialogue::baudrateLine(3000000) << QByteArray("baudrate 3000000\r\n");
    QTest::newRow("startaddr 0x1000") << ChipDialogue::startAddrLine(0x1000)
                                      << QByteArray("\r\nstartaddr 0x00001000\r\n");
    QTest::newRow("startaddr upper case") << ChipDialogue::startAddrLine(0xABCDEF01)
                                          << QByteArray("\r\nstartaddr 0xABCDEF01\r\n");
    QTest::newRow("upgrade") << ChipDialogue::upgradeLine() << QByteArray("upgrade \r\n");
    QTest::newRow("filecount") << ChipDialogue::fileCountLine() << QByteArray("\r\nfilecount\r\n");
    QTest::newRow("downloadsucess") << ChipDialogue::downloadSuccessLine() << QByteArray("\r\ndownloadsucess\r\n");
    QTest::newRow("reboot") << ChipDialogue::rebootLine() << QByteArray("reboot \r\n");

    QTest::newRow("download ZR740A") << ChipDialogue::downloadLine(Worker::CodeInROM_ZR740A, 18120)
                                     << QByteArray("download \r\n");
    QTest::newRow("download ZR740C") << ChipDialogue::downloadLine(Worker::CodeInROM_ZR740C, 14176)
                                     << QByteArray("download [rambin][0x20000000] [14176]\r\n");
    QTest::newRow("download ZR610A") << ChipDialogue::downloadLine(Worker::CodeInROM_ZR610A, 11372)
                                     << QByteArray("download [rambin] [0x20008000] [11372]\r\n");
    QTest::newRow("no download for RAM") << ChipDialogue::downloadLine(Worker::CodeInRAM, 1) << QByteArray();
    QTest::newRow("no download for a ROM of no family") << ChipDialogue::downloadLine(Worker::CodeInROM, 1)
                                                        << QByteArray();

    const auto loader = [](Worker::ChipCodeVerFlag code) { return ChipDialogue::ramcodeFilePath(code).toUtf8(); };
    QTest::newRow("loader ZR740A") << loader(Worker::CodeInROM_ZR740A)
                                   << QByteArray(":/bootram_bins/ramcode_zr740a.bin");
    QTest::newRow("loader ZR740C") << loader(Worker::CodeInROM_ZR740C)
                                   << QByteArray(":/bootram_bins/ramcode_zr740c.bin");
    QTest::newRow("loader ZR610A") << loader(Worker::CodeInROM_ZR610A)
                                   << QByteArray(":/bootram_bins/ramcode_zr610a.bin");
    QTest::newRow("no loader for RAM") << loader(Worker::CodeInRAM) << QByteArray();
    QTest::newRow("no loader for a ROM of no family") << loader(Worker::CodeInROM) << QByteArray();
}

void tst_ChipDialogue::outgoing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, expected);
    QCOMPARE(bytes, expected);
}

// What each wait makes of the collected bytes: the chip code for "version", the count
// for "filecount" (99: none, the count passed in is left alone), 1 or 0 for the others.
void tst_ChipDialogue::answers_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("expected");

    const int zr740a = Worker::CodeInROM_ZR740A;
    const int zr740c = Worker::CodeInROM_ZR740C;
    const int zr610a = Worker::CodeInROM_ZR610A;
    const int unknown = Worker::CodeUnKnown;
    QTest::newRow("ZR740A") << "version" << QByteArray("ZR740A boot Jun 19 2019/21:01:04\r\n") << zr740a;
    QTest::newRow("ZR740C") << "version" << QByteArray("boot Mar 14 2021/00:23:32\r\n") << zr740c;
    QTest::newRow("ZR610A") << "version" << QByteArray("boot Jan 08 2020\r\n") << zr610a;
    QTest::newRow("RAM loader") << "version" << QByteArray("\r\nRAMCODE\r\n") << int(Worker::CodeInRAM);
    QTest::newRow("ZR740C marker wins over Jan") << "version" << QByteArray("Jan Mar 14 2021/00:23:32\r\n") << zr740c;
    QTest::newRow("ZR740A marker wins over all") << "version" << QByteArray("RAMCODE Jan Jun 19 2019/21:01:04")
                                                 << zr740a;
    QTest::newRow("Jan wins over RAMCODE") << "version" << QByteArray("RAMCODE Jan") << zr610a;
    QTest::newRow("case matters") << "version" << QByteArray("ramcode jan") << unknown;
    QTest::newRow("marker behind NUL is hidden") << "version" << QByteArray("boot\0Jan 08\r\n", 14) << unknown;

    QTest::newRow("download: any capital C") << "download" << QByteArray("xxCxx") << 1;
    QTest::newRow("download: lower c") << "download" << QByteArray("ccc") << 0;
    QTest::newRow("erase: pppp") << "erase" << QByteArray("\r\npppp\r\n") << 1;
    QTest::newRow("erase: ppp") << "erase" << QByteArray("ppp") << 0;
    QTest::newRow("baudrate: echo") << "baudrate" << QByteArray("\r\nbaudrate 921600\r\n") << 1;
    QTest::newRow("baudrate: other") << "baudrate" << QByteArray("\r\nBaudrate\r\n") << 0;
    QTest::newRow("startaddr: echo and pppp")
        << "startaddr" << QByteArray("\r\nstartaddr 0x00001000\r\n\r\npppp\r\n") << 1;
    QTest::newRow("startaddr: ffff") << "startaddr" << QByteArray("startaddr 0x00001000\r\nffff") << 0;
    QTest::newRow("startaddr: lower-case digits") << "startaddr" << QByteArray("startaddr 0x0000abcd\r\npppp") << 0;
    QTest::newRow("startaddr: other address") << "startaddr" << QByteArray("startaddr 0x00002000\r\npppp") << 0;
    QTest::newRow("startaddr: pppp behind NUL") << "startaddr" << QByteArray("startaddr 0x00001000\0pppp", 25) << 0;
    QTest::newRow("upgrade: echo and C") << "upgrade" << QByteArray("\r\nupgrade\r\nC") << 1;
    QTest::newRow("upgrade: echo only") << "upgrade" << QByteArray("\r\nupgrade\r\n") << 0;
    QTest::newRow("upgrade: C only") << "upgrade" << QByteArray("CCC") << 0;

    QTest::newRow("fc framed 2") << "filecount" << QByteArray("\r\nfc:2\r\n") << 2;
    QTest::newRow("fc bare 0") << "filecount" << QByteArray("fc:0") << 0;
    QTest::newRow("fc negative") << "filecount" << QByteArray("\r\nfc:-1\r\n") << -1;
    QTest::newRow("fc after noise") << "filecount" << QByteArray("junk\r\nfc:3\r\n") << 3;
    QTest::newRow("fc largest 8-bit") << "filecount" << QByteArray("\r\nfc:127\r\n") << 127;
    QTest::newRow("fc not a number") << "filecount" << QByteArray("\r\nfc:x\r\n") << 99;
    QTest::newRow("fc three parts") << "filecount" << QByteArray("\r\nfc:1:2\r\n") << 99;
    QTest::newRow("fc no marker") << "filecount" << QByteArray("\r\nfc 2\r\n") << 99;
    QTest::newRow("fc would wrap to 44") << "filecount" << QByteArray("\r\nfc:300\r\n") << 99;
    QTest::newRow("fc would wrap negative") << "filecount" << QByteArray("\r\nfc:-129\r\n") << 99;
}

void tst_ChipDialogue::answers()
{
    QFETCH(QString, step);
    QFETCH(QByteArray, answer);
    QFETCH(int, expected);

    const QString text = ChipDialogue::answerText(answer);
    qint8 count = 99;
    const bool counted = step == "filecount" && ChipDialogue::parseFileCount(text, &count);
    const int result = step == "version"     ? int(ChipDialogue::recognizeVersion(text))
                       : step == "filecount" ? int(count)
                       : step == "download"  ? ChipDialogue::isReceiverReady(text)
                       : step == "erase"     ? ChipDialogue::isEraseConfirmed(text)
                       : step == "baudrate"  ? ChipDialogue::isBaudrateAccepted(text)
                       : step == "upgrade"   ? ChipDialogue::isUpgradeReady(text)
                                             : ChipDialogue::isStartAddrAccepted(text, "startaddr 0x00001000");
    QCOMPARE(result, expected);
    if (step == "filecount")
        QCOMPARE(counted, expected != 99);
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
    // Noise on an idle line for days must not grow the collected bytes without end.
    QTest::newRow("answer after endless noise")
        << false << QByteArray(20000, 'x') << QByteArray("\r\nfc:1\r\n") << false << true;
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
    QSerialPort port(pty.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    auto recognised = [&](const QByteArray &buffer) {
        const QString text = ChipDialogue::answerText(buffer);
        qint8 count = 0;
        return versionWait ? ChipDialogue::recognizeVersion(text) != Worker::CodeUnKnown
                           : ChipDialogue::parseFileCount(text, &count);
    };

    QByteArray buffer;
    deliver(pty, port, first, versionWait, &buffer);
    QCOMPARE(recognised(buffer), recognisedAfterFirst);
    deliver(pty, port, second, versionWait, &buffer);
    QCOMPARE(recognised(buffer), recognisedAfterSecond);
    QVERIFY(buffer.size() <= ChipDialogue::MaxCollectedBytes);
}

QTEST_GUILESS_MAIN(tst_ChipDialogue)
#include "tst_chipdialogue.moc"
