#include "ymodem.h"

#include <QtTest>

#include <cstring>

namespace {

const char C = 'C';

// The receiving side and the file, scripted over byte vectors.
class ScriptedPeer : public Ymodem
{
public:
    explicit ScriptedPeer(uint32_t divisor = 199, uint32_t limit = 2, uint32_t errors = 999)
        : Ymodem(divisor, limit, errors)
    {
    }

    QByteArray line;             // sent by the receiver, not read yet
    QByteArray sent;             // everything the engine wrote
    QVector<uint32_t> events;
    QByteArray header = QByteArray("firmware.bin\0" "1234\0", 18);
    uint32_t headerLength = SHORT_BLOCK_SIZE;
    QByteArray file;
    int filePos = 0;
    QVector<uint32_t> lengths;   // N reported per data block; 1024 when empty
    uint32_t establishReply = ACK;
    uint32_t transmitReply = ACK;
    bool refusing = false;
    uint32_t overReport = 0;     // a faulty owner claiming more bytes than asked for

    uint32_t currentStage() const { return stage; }
    uint32_t idleTicks() const { return tickCount; }

    QByteArray step(int count = 1)
    {
        const int before = sent.size();
        while (count-- > 0)
            transmit();
        return sent.mid(before);
    }

    QByteArray answer(char byte)
    {
        line.append(byte);
        return step();
    }

    // Arms the engine and answers its header.
    QByteArray start()
    {
        step();
        return answer(C);
    }

protected:
    uint32_t handleEvent(uint32_t event, uint8_t *buffer, uint32_t *length) override
    {
        events.append(event);
        if (event == EVENT_ESTABLISH) {
            std::memcpy(buffer, header.constData(), static_cast<size_t>(header.size()));
            *length = headerLength;
            return establishReply;
        }
        if (event == EVENT_TRANSMIT) {
            if (transmitReply != ACK)
                return transmitReply;
            if (filePos >= file.size())
                return EOT;
            const uint32_t n = lengths.isEmpty() ? LONG_BLOCK_SIZE : lengths.takeFirst();
            const int take = static_cast<int>(qMin<qint64>(qMin(n, LONG_BLOCK_SIZE), file.size() - filePos));
            std::memcpy(buffer, file.constData() + filePos, static_cast<size_t>(take));
            filePos += take;
            *length = n;
            return ACK;
        }
        return 0;
    }

    uint32_t readBytes(uint8_t *buffer, uint32_t length) override
    {
        const int n = qMin(static_cast<int>(length), line.size());
        std::memcpy(buffer, line.constData(), static_cast<size_t>(n));
        line.remove(0, n);
        return n > 0 ? static_cast<uint32_t>(n) + overReport : 0;
    }

    uint32_t writeBytes(uint8_t *buffer, uint32_t length) override
    {
        sent.append(reinterpret_cast<const char *>(buffer), static_cast<int>(length));
        return length;
    }

    bool isPeerRefusing() override { return refusing; }
};

QByteArray packet(uint8_t number, const QByteArray &data, int size)
{
    QByteArray p;
    p.append(static_cast<char>(size == 128 ? Ymodem::SOH : Ymodem::STX));
    p.append(static_cast<char>(number));
    p.append(static_cast<char>(~number));
    const QByteArray block = data.leftJustified(size, '\0');
    p += block;
    const uint16_t crc = Ymodem::crc16(reinterpret_cast<const uint8_t *>(block.constData()), size);
    p.append(static_cast<char>(crc >> 8));
    p.append(static_cast<char>(crc & 0xFF));
    return p;
}

QByteArray patternFile(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return data;
}

const QByteArray FIVE_CAN(5, Ymodem::CAN);
const QByteArray EOT_ALONE(1, Ymodem::EOT);
const QByteArray BATCH_END = packet(0, QByteArray(), 128);

enum Stage { WaitStart, HeaderSent, Data, EotSent, BatchEndSent };

// Brings a one-block transfer to `stage`; returns the last thing sent.
QByteArray driveTo(ScriptedPeer &peer, int stage)
{
    peer.file = patternFile(300);
    peer.step();
    if (stage == WaitStart)
        return QByteArray();
    QByteArray last = peer.answer(C);
    if (stage == HeaderSent)
        return last;
    peer.answer(Ymodem::ACK);
    last = peer.answer(C);
    if (stage == Data)
        return last;
    last = peer.answer(Ymodem::ACK);
    if (stage == EotSent)
        return last;
    return peer.answer(C);
}

} // namespace

class TestYmodem : public QObject
{
    Q_OBJECT

private slots:
    void crc16_data();
    void crc16();
    void header_data();
    void header();
    void blockTypeFollowsReportedLength_data();
    void blockTypeFollowsReportedLength();
    void blockNumbersWrap();
    void nakRepeatsPacket_data();
    void nakRepeatsPacket();
    void idleResendAndFailure_data();
    void idleResendAndFailure();
    void peerCancels_data();
    void peerCancels();
    void ownerCancels_data();
    void ownerCancels();
    void emptyFile();
    void twoBlockFile();
    void secondHeaderAckKeepsFirstBlock();
    void peerRefusing_data();
    void peerRefusing();
    void incomingPacketsAreSilence_data();
    void incomingPacketsAreSilence();
    void abortSendsFiveCan();
};

void TestYmodem::crc16_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("crc");
    QTest::newRow("check value") << QByteArray("123456789") << 0x31C3;
    QTest::newRow("one byte") << QByteArray("A") << 0x58E5;
    QTest::newRow("empty") << QByteArray() << 0x0000;
    QTest::newRow("zero block") << QByteArray(128, '\0') << 0x0000;
}

void TestYmodem::crc16()
{
    QFETCH(QByteArray, data);
    QFETCH(int, crc);
    QCOMPARE(int(Ymodem::crc16(reinterpret_cast<const uint8_t *>(data.constData()), uint32_t(data.size()))), crc);
}

void TestYmodem::header_data()
{
    QTest::addColumn<uint>("reported");
    QTest::newRow("owner reports 128") << 128u;
    QTest::newRow("owner reports 1024") << 1024u;
    QTest::newRow("owner reports 0") << 0u;
}

void TestYmodem::header()
{
    QFETCH(uint, reported);
    ScriptedPeer peer;
    peer.headerLength = reported;

    QVERIFY(peer.step().isEmpty());
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_WAIT_START));
    const QByteArray sent = peer.answer(C);

    QByteArray expected = QByteArray::fromHex("0100ff") + QByteArray("firmware.bin\0" "1234\0", 18);
    expected += QByteArray(128 - 18, '\0');
    expected += QByteArray::fromHex("4363");
    QCOMPARE(sent.toHex(), expected.toHex());
    QCOMPARE(peer.events, QVector<uint32_t>{Ymodem::EVENT_ESTABLISH});
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_HEADER_SENT));
}

void TestYmodem::blockTypeFollowsReportedLength_data()
{
    QTest::addColumn<uint>("reported");
    QTest::addColumn<int>("fileSize");
    QTest::addColumn<int>("blockSize");
    QTest::newRow("128 full") << 128u << 128 << 128;
    QTest::newRow("128 with 5 bytes") << 128u << 5 << 128;
    QTest::newRow("1024 with 5 bytes") << 1024u << 5 << 1024;
    QTest::newRow("1024 full") << 1024u << 1024 << 1024;
    QTest::newRow("0 is short") << 0u << 5 << 128;
    QTest::newRow("129 is long") << 129u << 129 << 1024;
    QTest::newRow("5000 clamped to long") << 5000u << 1024 << 1024;
    QTest::newRow("all ones clamped to long") << 0xFFFFFFFFu << 1024 << 1024;
}

void TestYmodem::blockTypeFollowsReportedLength()
{
    QFETCH(uint, reported);
    QFETCH(int, fileSize);
    QFETCH(int, blockSize);
    ScriptedPeer peer;
    peer.file = patternFile(fileSize);
    peer.lengths = {reported};

    peer.start();
    QVERIFY2(peer.answer(Ymodem::ACK).isEmpty(), "block 1 waits for the receiver's C");
    const QByteArray sent = peer.answer(C);
    const int copied = int(qMin<quint64>(qMin<quint64>(reported, 1024), quint64(fileSize)));
    QCOMPARE(sent.toHex(), packet(1, peer.file.left(copied), blockSize).toHex());
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_DATA));
}

void TestYmodem::blockNumbersWrap()
{
    ScriptedPeer peer;
    peer.file = patternFile(258 * 128);
    peer.lengths.fill(128, 258);

    peer.start();
    peer.answer(Ymodem::ACK);
    peer.answer(C);
    QByteArray atWrap;
    for (int block = 2; block <= 257; ++block) {
        const QByteArray sent = peer.answer(Ymodem::ACK);
        if (block >= 255)
            atWrap += sent;
    }
    const QByteArray expected = packet(255, peer.file.mid(254 * 128, 128), 128)
            + packet(0, peer.file.mid(255 * 128, 128), 128) + packet(1, peer.file.mid(256 * 128, 128), 128);
    QCOMPARE(atWrap.toHex(), expected.toHex());
    QCOMPARE(atWrap.mid(1, 2).toHex(), QByteArray("ff00"));
    QCOMPARE(atWrap.mid(133 + 1, 2).toHex(), QByteArray("00ff"));
    QCOMPARE(atWrap.mid(266 + 1, 2).toHex(), QByteArray("01fe"));
}

void TestYmodem::nakRepeatsPacket_data()
{
    QTest::addColumn<int>("stage");
    QTest::addColumn<char>("rejection");
    QTest::newRow("header") << int(HeaderSent) << char(Ymodem::NAK);
    QTest::newRow("data block") << int(Data) << char(Ymodem::NAK);
    QTest::newRow("end-of-batch block, NAK") << int(BatchEndSent) << char(Ymodem::NAK);
    QTest::newRow("end-of-batch block, C") << int(BatchEndSent) << C;
}

void TestYmodem::nakRepeatsPacket()
{
    QFETCH(int, stage);
    QFETCH(char, rejection);
    ScriptedPeer peer(199, 2, 2);
    const QByteArray packetSent = driveTo(peer, stage);
    QVERIFY(!packetSent.isEmpty());
    const int eventsBefore = peer.events.size();

    QCOMPARE(peer.answer(rejection).toHex(), packetSent.toHex());
    peer.step(10);
    QCOMPARE(peer.answer(rejection).toHex(), packetSent.toHex());
    QCOMPARE(peer.events.size(), eventsBefore);

    // The third rejection is one above the error limit of 2.
    QCOMPARE(peer.answer(rejection).toHex(), FIVE_CAN.toHex());
    QCOMPARE(peer.events.mid(eventsBefore), QVector<uint32_t>{Ymodem::EVENT_ERROR});
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_IDLE));
}

void TestYmodem::idleResendAndFailure_data()
{
    QTest::addColumn<int>("stage");
    QTest::addColumn<uint>("divisor");
    QTest::addColumn<uint>("limit");
    QTest::addColumn<QByteArray>("noise");   // one byte per step from the first idle step on
    QTest::addColumn<bool>("resends");
    QTest::addColumn<uint>("event");

    const QByteArray none;
    const QByteArray nak(1, Ymodem::NAK);
    QTest::newRow("waiting for start") << int(WaitStart) << 199u << 2u << none << false << uint(Ymodem::EVENT_TIMEOUT);
    QTest::newRow("NAK while waiting for start is silence")
            << int(WaitStart) << 199u << 2u << QByteArray(299, 'x') + nak << false << uint(Ymodem::EVENT_TIMEOUT);
    QTest::newRow("header sent") << int(HeaderSent) << 199u << 2u << none << true << uint(Ymodem::EVENT_ERROR);
    QTest::newRow("data, C is silence")
            << int(Data) << 199u << 2u << QByteArray(3, C) << true << uint(Ymodem::EVENT_ERROR);
    QTest::newRow("EOT sent, ACK is silence")
            << int(EotSent) << 199u << 2u << QByteArray(1, Ymodem::ACK) << true << uint(Ymodem::EVENT_ERROR);
    QTest::newRow("end of batch sent") << int(BatchEndSent) << 199u << 2u << none << true << uint(Ymodem::EVENT_ERROR);
    QTest::newRow("divisor 9, limit 0") << int(Data) << 9u << 0u << none << true << uint(Ymodem::EVENT_ERROR);
}

void TestYmodem::idleResendAndFailure()
{
    QFETCH(int, stage);
    QFETCH(uint, divisor);
    QFETCH(uint, limit);
    QFETCH(QByteArray, noise);
    QFETCH(bool, resends);
    QFETCH(uint, event);
    ScriptedPeer peer(divisor, limit);
    const QByteArray repeated = driveTo(peer, stage);
    const uint32_t stageReached = peer.currentStage();
    const int eventsBefore = peer.events.size();

    const uint32_t interval = divisor + 1;
    const uint32_t failAt = (limit + 1) * interval;
    for (uint32_t tick = 1; tick <= failAt; ++tick) {
        const int noiseIndex = int(tick) - 1;
        const QByteArray sent = noiseIndex < noise.size() ? peer.answer(noise.at(noiseIndex)) : peer.step();
        if (tick == failAt) {
            QCOMPARE(sent.toHex(), FIVE_CAN.toHex());
        } else if (resends && tick % interval == 0) {
            QVERIFY2(sent == repeated, qPrintable(QStringLiteral("no repeat at idle step %1").arg(tick)));
        } else {
            QVERIFY2(sent.isEmpty(), qPrintable(QStringLiteral("unexpected bytes at idle step %1").arg(tick)));
            QCOMPARE(peer.currentStage(), stageReached);
            QCOMPARE(peer.events.size(), eventsBefore);
        }
    }
    QCOMPARE(peer.events.mid(eventsBefore), QVector<uint32_t>{event});
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_IDLE));
    QCOMPARE(peer.idleTicks(), 0u);
}

void TestYmodem::peerCancels_data()
{
    QTest::addColumn<int>("stage");
    QTest::addColumn<char>("cancel");
    const char *stageNames[] = {"waiting for start", "header sent", "data", "EOT sent", "end of batch sent"};
    const char cancels[] = {char(Ymodem::CAN), 'A', 'a'};
    for (int stage = WaitStart; stage <= BatchEndSent; ++stage) {
        for (char cancel : cancels)
            QTest::addRow("%s, 0x%02x", stageNames[stage], cancel) << stage << cancel;
    }
}

void TestYmodem::peerCancels()
{
    QFETCH(int, stage);
    QFETCH(char, cancel);
    ScriptedPeer peer;
    driveTo(peer, stage);
    const int eventsBefore = peer.events.size();

    QVERIFY(peer.answer(cancel).isEmpty());
    QCOMPARE(peer.events.mid(eventsBefore), QVector<uint32_t>{Ymodem::EVENT_ABORT});
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_IDLE));

    // A fresh transfer starts from the header.
    QCOMPARE(peer.start().left(3).toHex(), QByteArray::fromHex("0100ff").toHex());
}

void TestYmodem::ownerCancels_data()
{
    QTest::addColumn<int>("stage");
    QTest::newRow("header") << int(WaitStart);
    QTest::newRow("first block") << int(HeaderSent);
    QTest::newRow("later block") << int(Data);
}

void TestYmodem::ownerCancels()
{
    QFETCH(int, stage);
    ScriptedPeer peer;
    driveTo(peer, stage);
    peer.file = patternFile(3000);
    peer.establishReply = Ymodem::CAN;
    peer.transmitReply = Ymodem::CAN;
    const int eventsBefore = peer.events.size();

    const QByteArray sent = peer.answer(stage == WaitStart ? C : char(Ymodem::ACK));
    QCOMPARE(sent.toHex(), FIVE_CAN.toHex());
    QCOMPARE(peer.events.size(), eventsBefore + 1);   // only the fill request itself
    QVERIFY(peer.events.last() == Ymodem::EVENT_ESTABLISH || peer.events.last() == Ymodem::EVENT_TRANSMIT);
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_IDLE));
}

void TestYmodem::emptyFile()
{
    ScriptedPeer peer;
    peer.header = QByteArray("empty.bin\0" "0\0", 12);

    QCOMPARE(peer.start().mid(3, 12), peer.header);
    // Like block 1, the EOT waits for the C that follows the header's ACK.
    QVERIFY(peer.answer(Ymodem::ACK).isEmpty());
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_HEADER_SENT));
    QCOMPARE(peer.answer(C).toHex(), EOT_ALONE.toHex());
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_EOT_SENT));
    QCOMPARE(peer.answer(Ymodem::NAK).toHex(), EOT_ALONE.toHex());
    QVERIFY(peer.answer(Ymodem::ACK).isEmpty());
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_EOT_SENT));
    QCOMPARE(peer.answer(C).toHex(), BATCH_END.toHex());
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_BATCH_END_SENT));
    QVERIFY(peer.answer(Ymodem::ACK).isEmpty());
    QCOMPARE(peer.events, (QVector<uint32_t>{Ymodem::EVENT_ESTABLISH, Ymodem::EVENT_TRANSMIT, Ymodem::EVENT_FINISH}));
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_IDLE));
}

void TestYmodem::twoBlockFile()
{
    ScriptedPeer peer;
    peer.file = patternFile(1500);
    peer.lengths = {1024, 128, 1024};

    peer.start();
    peer.answer(Ymodem::ACK);
    QCOMPARE(peer.answer(C).toHex(), packet(1, peer.file.left(1024), 1024).toHex());
    // Blocks follow the owner's length choice block by block.
    QCOMPARE(peer.answer(Ymodem::ACK).toHex(), packet(2, peer.file.mid(1024, 128), 128).toHex());
    QCOMPARE(peer.answer(Ymodem::ACK).toHex(), packet(3, peer.file.mid(1152), 1024).toHex());
    QCOMPARE(peer.answer(Ymodem::ACK).toHex(), EOT_ALONE.toHex());
    QCOMPARE(peer.answer(Ymodem::NAK).toHex(), EOT_ALONE.toHex());
    QVERIFY(peer.answer(Ymodem::ACK).isEmpty());
    QCOMPARE(peer.answer(C).toHex(), BATCH_END.toHex());
    QVERIFY(peer.answer(Ymodem::ACK).isEmpty());
    QCOMPARE(peer.events.last(), uint32_t(Ymodem::EVENT_FINISH));
    QCOMPARE(peer.events.count(Ymodem::EVENT_TRANSMIT), 4);
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_IDLE));
}

void TestYmodem::secondHeaderAckKeepsFirstBlock()
{
    ScriptedPeer peer;
    peer.file = patternFile(3000);

    peer.start();
    QVERIFY(peer.answer(Ymodem::ACK).isEmpty());
    QVERIFY(peer.answer(Ymodem::ACK).isEmpty());
    QCOMPARE(peer.answer(C).toHex(), packet(1, peer.file.left(1024), 1024).toHex());
    QCOMPARE(peer.events.count(Ymodem::EVENT_TRANSMIT), 1);
}

void TestYmodem::peerRefusing_data()
{
    QTest::addColumn<int>("stage");
    QTest::addColumn<bool>("checked");
    QTest::newRow("waiting for start") << int(WaitStart) << true;
    QTest::newRow("data") << int(Data) << true;
    QTest::newRow("header sent, not checked") << int(HeaderSent) << false;
    QTest::newRow("EOT sent, not checked") << int(EotSent) << false;
}

void TestYmodem::peerRefusing()
{
    QFETCH(int, stage);
    QFETCH(bool, checked);
    ScriptedPeer peer;
    driveTo(peer, stage);
    const uint32_t stageReached = peer.currentStage();
    const int eventsBefore = peer.events.size();
    peer.refusing = true;

    QVERIFY(peer.step().isEmpty());
    if (!checked) {
        QCOMPARE(peer.currentStage(), stageReached);
        QCOMPARE(peer.events.size(), eventsBefore);
        return;
    }
    QCOMPARE(peer.events.mid(eventsBefore), QVector<uint32_t>{Ymodem::EVENT_ERROR});
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_IDLE));
    QCOMPARE(peer.idleTicks(), 0u);

    // The next transfer starts from the header, not from the old block.
    peer.refusing = false;
    peer.header = QByteArray("next.bin\0" "7\0", 11);
    const QByteArray sent = peer.start();
    QCOMPARE(sent.left(3).toHex(), QByteArray::fromHex("0100ff").toHex());
    QCOMPARE(sent.mid(3, 11), peer.header);
}

void TestYmodem::incomingPacketsAreSilence_data()
{
    QTest::addColumn<QByteArray>("incoming");
    QTest::addColumn<uint>("overReport");
    QTest::addColumn<int>("steps");

    QByteArray shortPacket(133, Ymodem::CAN);
    shortPacket[0] = Ymodem::SOH;
    QByteArray longPacket(1029, 'a');
    longPacket[0] = Ymodem::STX;
    QTest::newRow("short packet hides its CAN bytes") << shortPacket << 0u << 1;
    QTest::newRow("long packet hides its cancel letters") << longPacket << 0u << 1;
    QTest::newRow("owner claims more bytes than asked")
            << QByteArray(1, Ymodem::STX) + QByteArray(39, 'x') << 5000u << 3;
}

void TestYmodem::incomingPacketsAreSilence()
{
    QFETCH(QByteArray, incoming);
    QFETCH(uint, overReport);
    QFETCH(int, steps);
    ScriptedPeer peer;
    driveTo(peer, Data);
    const int eventsBefore = peer.events.size();
    peer.overReport = overReport;

    // Delivered in two pieces: the collector must resume where it stopped.
    peer.line = incoming.left(incoming.size() / 2);
    QVERIFY(peer.step().isEmpty());
    peer.line += incoming.mid(incoming.size() / 2);
    QVERIFY(peer.step(steps).isEmpty());

    QCOMPARE(peer.events.size(), eventsBefore);
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_DATA));
    QCOMPARE(peer.idleTicks(), uint32_t(1 + steps));
}

void TestYmodem::abortSendsFiveCan()
{
    ScriptedPeer peer;
    driveTo(peer, Data);
    const int eventsBefore = peer.events.size();
    const int sentBefore = peer.sent.size();

    peer.abort();
    QCOMPARE(peer.sent.mid(sentBefore).toHex(), FIVE_CAN.toHex());
    QCOMPARE(peer.events.size(), eventsBefore);
    QCOMPARE(peer.currentStage(), uint32_t(Ymodem::STAGE_IDLE));
}

QTEST_GUILESS_MAIN(TestYmodem)
#include "tst_ymodem.moc"
