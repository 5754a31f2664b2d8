#include "chipdialogue.h"
#include "chipfamilytable.h"
#include "ptypair.h"

#include <QSerialPort>
#include <QtTest>

class tst_ChipDialogue : public QObject
{
    Q_OBJECT

private slots:
    void commandLines();
    void families_data();
    void families();
    void answers();
    void fileCount_data();
    void fileCount();
    void collectFromLine_data();
    void collectFromLine();
};

void tst_ChipDialogue::commandLines()
{
    QCOMPARE(ChipDialogue::versionLine(), QByteArray("version \r\n"));
    QCOMPARE(ChipDialogue::eraseAllLine(), QByteArray("ferase_all \r\n"));
    QCOMPARE(ChipDialogue::baudrateLine(3000000), QByteArray("baudrate 3000000\r\n"));
    QCOMPARE(ChipDialogue::startAddrLine(0xABCDE0), QByteArray("\r\nstartaddr 0x00ABCDE0\r\n"));
    QCOMPARE(ChipDialogue::upgradeLine(), QByteArray("upgrade \r\n"));
    QCOMPARE(ChipDialogue::fileCountLine(), QByteArray("\r\nfilecount\r\n"));
    QCOMPARE(ChipDialogue::downloadSuccessLine(), QByteArray("\r\ndownloadsucess\r\n"));
    QCOMPARE(ChipDialogue::rebootLine(), QByteArray("reboot \r\n"));
    QCOMPARE(ChipDialogue::downloadLine(Worker::CodeInRAM, 1), QByteArray());
    QCOMPARE(ChipDialogue::ramcodeFilePath(Worker::CodeInRAM), QString());
}

// Every row of the family table: the boot line that names it, the download line for a loader
// of another size than the built-in one, and a built-in loader the ROM loader can hold.
void tst_ChipDialogue::families_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("bootLine");
    QTest::addColumn<QByteArray>("downloadLine");
    QTest::addColumn<QString>("loader");

    const QHash<QString, QStringList> expected = {
        { "ZR740A", { "RAMCODE Jan Jun 19 2019/21:01:04\r\n", "download \r\n", "ramcode_zr740a.bin" } },
        { "ZR740C", { "BootROM Jan Mar 14 2021/00:23:32\r\n", "download [rambin][0x20000000] [70001]\r\n",
                      "ramcode_zr740c.bin" } },
        { "ZR610A", { "ZR610A BootROM v1.0 Jan 08 2018 RAMCODE\r\n", "download [rambin] [0x20008000] [70001]\r\n",
                      "ramcode_zr610a.bin" } },
    };
    QCOMPARE(ChipFamilyTable::count(), expected.size());
    for (const ChipFamilyRow *row = ChipFamilyTable::begin(); row != ChipFamilyTable::end(); ++row) {
        const QStringList e = expected.value(row->name);
        QVERIFY2(e.size() == 3, row->name);
        QTest::newRow(row->name) << int(row->code) << e[0] << e[1].toLatin1() << e[2];
    }
}

void tst_ChipDialogue::families()
{
    QFETCH(int, code);
    QFETCH(QString, bootLine);
    QFETCH(QByteArray, downloadLine);
    QFETCH(QString, loader);
    const auto family = Worker::ChipCodeVerFlag(code);
    QCOMPARE(ChipDialogue::recognizeVersion(bootLine), family);
    QCOMPARE(ChipDialogue::downloadLine(family, 70001), downloadLine);
    QCOMPARE(ChipDialogue::ramcodeFilePath(family), ":/bootram_bins/" + loader);
    const QFileInfo builtIn(ChipDialogue::ramcodeFilePath(family));
    QVERIFY(builtIn.size() > 0 && builtIn.size() <= 256 * 1024);
}

void tst_ChipDialogue::answers()
{
    // Family markers go before the RAM loader's own.
    QCOMPARE(ChipDialogue::recognizeVersion("\r\nRAMCODE\r\n"), Worker::CodeInRAM);
    QCOMPARE(ChipDialogue::recognizeVersion("BootROM v1.2 jun 19"), Worker::CodeUnKnown);
    const QString lastCmd = QStringLiteral("startaddr 0x00001000");
    QVERIFY(ChipDialogue::isStartAddrAccepted("\r\nstartaddr 0x00001000\r\n\r\npppp\r\n", lastCmd));
    QVERIFY(!ChipDialogue::isStartAddrAccepted("startaddr 0x00001000\r\nffff", lastCmd));
    QVERIFY(!ChipDialogue::isStartAddrAccepted("startaddr 0x00002000\r\npppp", lastCmd));
    QVERIFY(ChipDialogue::isUpgradeReady("\r\nupgrade\r\nC"));
    QVERIFY(!ChipDialogue::isUpgradeReady("\r\nupgrade\r\n"));
    QVERIFY(!ChipDialogue::isUpgradeReady("CCC"));
}

// 99: nothing recognised, the count passed in is left alone.
void tst_ChipDialogue::fileCount_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("count");

    QTest::newRow("fc:2") << "junk\r\nfc:2\r\n" << 2;
    QTest::newRow("fc:-1") << "\r\nfc:-1\r\n" << -1;
    QTest::newRow("fc:x") << "\r\nfc:x\r\n" << 99;
    QTest::newRow("fc:") << "\r\nfc:\r\n" << 99;
    QTest::newRow("fc:1:2") << "\r\nfc:1:2\r\n" << 99;
    // Would wrap into 44 files in the loader's 8-bit count.
    QTest::newRow("fc:300") << "\r\nfc:300\r\n" << 99;
}

void tst_ChipDialogue::fileCount()
{
    QFETCH(QString, answer);
    QFETCH(int, count);
    qint8 parsed = 99;
    QCOMPARE(ChipDialogue::parseFileCount(answer, &parsed), count != 99);
    QCOMPARE(int(parsed), count);
}

// Waiting for the version only whole lines count, and a NUL inside the line is a blank;
// elsewhere the text ends at the first NUL. "01": not recognised after the first piece,
// recognised after the second.
void tst_ChipDialogue::collectFromLine_data()
{
    QTest::addColumn<bool>("versionWait");
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QString>("recognised");

    QTest::newRow("version split") << true << QByteArrayList{ "ZR740A Jun 19 20", "19/21:01:04\r\n" } << "01";
    QTest::newRow("version with NUL") << true << QByteArrayList{ QByteArray("boot\0 Mar 14 2021/00:23:32\r\n", 29) } << "1";
    QTest::newRow("filecount with NUL") << false << QByteArrayList{ QByteArray("\r\n\0fc:2\r\n", 9) } << "0";
    // Noise on an idle line for days must not grow the collected bytes without end.
    QTest::newRow("fc after endless noise") << false << QByteArrayList{ QByteArray(20000, 'x'), "\r\nfc:1\r\n" } << "01";
}

void tst_ChipDialogue::collectFromLine()
{
    QFETCH(bool, versionWait);
    QFETCH(QByteArrayList, pieces);
    QFETCH(QString, recognised);
    PtyPair pty;
    QVERIFY(pty.open());
    QSerialPort port(pty.slavePath());
    QVERIFY(port.open(QIODevice::ReadWrite));
    QByteArray buffer;
    for (int i = 0; i < pieces.size(); ++i) {
        // In parts the pty can hold, each waited for until the port has it.
        for (int at = 0; at < pieces[i].size(); at += 1000) {
            const qint64 pending = port.bytesAvailable() + qMin(1000, pieces[i].size() - at);
            QVERIFY(pty.writeMaster(pieces[i].mid(at, 1000)));
            QTRY_COMPARE(port.bytesAvailable(), pending);
        }
        ChipDialogue::collect(&port, versionWait, &buffer);
        const QString text = ChipDialogue::answerText(buffer);
        qint8 count = 0;
        QCOMPARE(versionWait ? ChipDialogue::recognizeVersion(text) != Worker::CodeUnKnown
                             : ChipDialogue::parseFileCount(text, &count),
                 recognised.at(i) == '1');
    }
    QVERIFY(buffer.size() <= ChipDialogue::MaxCollectedBytes);
}

QTEST_GUILESS_MAIN(tst_ChipDialogue)
#include "tst_chipdialogue.moc"
