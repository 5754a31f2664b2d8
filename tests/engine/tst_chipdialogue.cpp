#include "chipdialogue.h"
#include "errorcodes.h"

#include <QtTest>

class tst_ChipDialogue : public QObject
{
    Q_OBJECT

private slots:
    // Per answer: family named, "startaddr 0x00001000" accepted, loader awaiting the image, file count (99: none).
    void answers_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("family");
        QTest::addColumn<bool>("startAddr");
        QTest::addColumn<bool>("upgrade");
        QTest::addColumn<int>("count");
        const int none = Worker::CodeUnKnown;
        // The first marker in this order decides.
        QTest::newRow("ZR740A") << "RAMCODE Jan Jun 19 2019/21:01:04" << int(Worker::CodeInROM_ZR740A) << false << false << 99;
        QTest::newRow("ZR740C") << "Jan Mar 14 2021/00:23:32\r\n" << int(Worker::CodeInROM_ZR740C) << false << false << 99;
        QTest::newRow("ZR610A") << "RAMCODE Jan" << int(Worker::CodeInROM_ZR610A) << false << false << 99;
        QTest::newRow("startaddr ok") << "\r\nstartaddr 0x00001000\r\n\r\npppp\r\n" << none << true << false << 99;
        QTest::newRow("startaddr refused") << "startaddr 0x00001000\r\nffff" << none << false << false << 99;
        QTest::newRow("startaddr of another") << "startaddr 0x00002000\r\npppp" << none << false << false << 99;
        QTest::newRow("upgrade C") << "\r\nupgrade\r\nC" << none << false << true << 99;
        QTest::newRow("upgrade no C") << "\r\nupgrade\r\n" << none << false << false << 99;
        QTest::newRow("C alone") << "CCC" << none << false << false << 99;
        QTest::newRow("fc:2") << "junk\r\nfc:2\r\n" << none << false << false << 2;
        QTest::newRow("fc:-1") << "\r\nfc:-1\r\n" << none << false << false << -1;
        QTest::newRow("fc:x") << "\r\nfc:x\r\n" << none << false << false << 99;
        QTest::newRow("fc:1:2") << "\r\nfc:1:2\r\n" << none << false << false << 99;
        // Would wrap into 44 files in the loader's 8-bit count.
        QTest::newRow("fc:300") << "\r\nfc:300\r\n" << none << false << false << 99;
    }

    void answers()
    {
        QFETCH(QString, answer);
        QFETCH(int, family);
        QFETCH(bool, startAddr);
        QFETCH(bool, upgrade);
        QFETCH(int, count);
        QCOMPARE(int(ChipDialogue::recognizeVersion(answer)), family);
        QCOMPARE(ChipDialogue::isStartAddrAccepted(answer, "startaddr 0x00001000"), startAddr);
        QCOMPARE(ChipDialogue::isUpgradeReady(answer), upgrade);
        qint8 parsed = 99;
        QCOMPARE(ChipDialogue::parseFileCount(answer, &parsed), count != 99);
        QCOMPARE(int(parsed), count);
    }

    // Every code has a message of its own (a shared one would hide which phase failed); a gap inside a phase has none.
    void errorStrings()
    {
        QSet<QString> messages;
        for (int code : { 0x0000, 0x0101, 0x0102, 0x0103, 0x0104, 0x0105, 0x0106, 0x0107, 0x0201, 0x0202, 0x0203, 0x0301,
                          0x0302, 0x0401, 0x0402, 0x0403, 0x0404, 0x0405, 0x0406, 0x0407, 0x0408, 0x0409, 0x040A, 0xFFFF })
            messages << ErrorCodes::errorString(code);
        QVERIFY(messages.size() == 24 && !messages.contains(QString()));
        QCOMPARE(ErrorCodes::errorString(0xFFFF), QStringLiteral("Unknown error."));
        for (int code : { 0x0100, 0x0300, 0x040B, 0x0108, 0x0001, -1, 0x10000 })
            QVERIFY2(ErrorCodes::errorString(code).isEmpty(), qPrintable(QString::number(code, 16)));
    }
};

QTEST_GUILESS_MAIN(tst_ChipDialogue)
#include "tst_chipdialogue.moc"
