#include "ymodem.h"

#include <QtTest>

#include <cstring>

namespace {

const char C = 'C';
using Events = QVector<uint32_t>;
const QByteArray HEADER_DATA("firmware.bin\0" "1234\0", 18);
const uint32_t E = Ymodem::EVENT_ESTABLISH, T = Ymodem::EVENT_TRANSMIT, F = Ymodem::EVENT_FINISH;

// The receiving side and the file, scripted over byte vectors.
class ScriptedPeer : public Ymodem
{
public:
    using Ymodem::Ymodem;

    QByteArray line;             // sent by the receiver, not read yet
    QByteArray sent;             // everything the engine wrote
    Events events;
    uint32_t headerLength = SHORT_BLOCK_SIZE;
    QByteArray file;
    int filePos = 0;
    QVector<uint32_t> lengths;   // N reported per data block; 1024 when empty
    int cancelAt = -1;           // index of the fill request the owner answers with CAN
    bool refusing = false;
    uint32_t overReport = 0;     // a faulty owner claiming more bytes than asked for

    uint32_t now() const { return stage; }
    uint32_t idleTicks() const { return tickCount; }

    QByteArray step()
    {
        const int before = sent.size();
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
        if (events.size() - 1 == cancelAt)
            return CAN;
        if (event == EVENT_ESTABLISH) {
            std::memcpy(buffer, HEADER_DATA.constData(), size_t(HEADER_DATA.size()));
            *length = headerLength;
            return ACK;
        }
        if (event != EVENT_TRANSMIT)
            return 0;
        if (filePos >= file.size())
            return EOT;
        const uint32_t n = lengths.isEmpty() ? LONG_BLOCK_SIZE : lengths.takeFirst();
        const int take = int(qMin<qint64>(qMin(n, LONG_BLOCK_SIZE), file.size() - filePos));
        std::memcpy(buffer, file.constData() + filePos, size_t(take));
        filePos += take;
        *length = n;
        return ACK;
    }

    uint32_t readBytes(uint8_t *buffer, uint32_t length) override
    {
        const int n = qMin(int(length), line.size());
        std::memcpy(buffer, line.constData(), size_t(n));
        line.remove(0, n);
        return n > 0 ? uint32_t(n) + overReport : 0;
    }

    uint32_t writeBytes(uint8_t *buffer, uint32_t length) override
    {
        sent.append(reinterpret_cast<const char *>(buffer), int(length));
        return length;
    }

    bool isPeerRefusing() override { return refusing; }
};

QByteArray packet(uint8_t number, const QByteArray &data, int size)
{
    const QByteArray block = data.leftJustified(size, '\0');
    const uint16_t crc = Ymodem::crc16(reinterpret_cast<const uint8_t *>(block.constData()), uint32_t(size));
    QByteArray p;
    p.append(char(size == 128 ? Ymodem::SOH : Ymodem::STX)).append(char(number)).append(char(~number));
    return p.append(block).append(char(crc >> 8)).append(char(crc & 0xFF));
}

QByteArray patternFile(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + i / 256) & 0xFF);
    return data;
}

const QByteArray FIVE_CAN(5, Ymodem::CAN);
const QByteArray HEADER_START = QByteArray::fromHex("0100ff");

enum Stage { WaitStart, HeaderSent, Data, EotSent, BatchEndSent };

// Brings a one-block transfer to `stage`; returns the last thing sent.
QByteArray driveTo(ScriptedPeer &peer, int stage)
{
    peer.file = patternFile(300);
    peer.step();
    QByteArray last;
    const char replies[] = {C, Ymodem::ACK, C, Ymodem::ACK, C};
    const int answers[] = {0, 1, 3, 4, 5};
    for (int i = 0; i < answers[stage]; ++i)
        last = peer.answer(replies[i]);
    return last;
}

void addExchange(const QByteArray &name, const QList<QByteArray> &script, const Events &events,
                 const QByteArray &file = {}, const QVector<uint> &lengths = {}, int cancelAt = -1,
                 int refuseAt = -1, uint headerLength = 128)
{
    QTest::newRow(name.constData()) << file << lengths << cancelAt << refuseAt << headerLength << script << events;
}

} // namespace

class TestYmodem : public QObject
{
    Q_OBJECT

private slots:
    void exchange_data();
    void exchange();
    void idleResendAndFailure_data();
    void idleResendAndFailure();
};

void TestYmodem::exchange_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QVector<uint>>("lengths");
    QTest::addColumn<int>("cancelAt");
    QTest::addColumn<int>("refuseAt");
    QTest::addColumn<uint>("headerLength");
    QTest::addColumn<QList<QByteArray>>("script");   // each: the receiver's byte, then the reply expected
    QTest::addColumn<Events>("events");

    const QByteArray k(1, Ymodem::ACK), n(1, Ymodem::NAK), c(1, C), eot(1, Ymodem::EOT);
    const QByteArray header = HEADER_START + HEADER_DATA.leftJustified(128, '\0') + QByteArray::fromHex("4363");
    const QByteArray batchEnd = packet(0, QByteArray(), 128);
    const QList<QByteArray> end{k + eot, k, c + batchEnd, k};
    const uint error = Ymodem::EVENT_ERROR, aborted = Ymodem::EVENT_ABORT;

    // The EOT, like block 1, waits for the C that follows the header's ACK; an ACK to
    // the EOT waits for the C that asks for the next file. The header stays short.
    for (uint reported : {128u, 1024u, 0u})
        addExchange("empty file, header reported as " + QByteArray::number(reported),
                    {c + header, k, c + eot, n + eot, k, c + batchEnd, k}, {E, T, F}, {}, {}, -1, -1, reported);

    const QByteArray f = patternFile(3000);
    const struct { const char *name; uint reported; int bytes; int size; } blocks[] = {
        {"N 128 with 5 bytes is short", 128, 5, 128}, {"N 129 is long", 129, 129, 1024},
        {"N 1024 with 5 bytes is long", 1024, 5, 1024},
        {"N all ones clamped to long", 0xFFFFFFFFu, 1024, 1024}};
    for (const auto &b : blocks)
        addExchange(b.name, QList<QByteArray>{c + header, k, c + packet(1, f.left(b.bytes), b.size)} + end,
                    {E, T, T, F}, f.left(b.bytes), {b.reported});

    addExchange("blocks follow the owner's length",
                QList<QByteArray>{c + header, k, c + packet(1, f.left(1024), 1024),
                                  k + packet(2, f.mid(1024, 128), 128), k + packet(3, f.mid(1152, 1024), 1024)} + end,
                {E, T, T, T, T, F}, f.left(2176), {1024, 128, 1024});
    addExchange("second header ACK keeps block 1",
                QList<QByteArray>{c + header, k, k, c + packet(1, f.left(1024), 1024),
                                  k + packet(2, f.mid(1024, 1024), 1024), k + packet(3, f.mid(2048), 1024)} + end,
                {E, T, T, T, T, F}, f);

    const QByteArray w = patternFile(258 * 128);
    QList<QByteArray> wrap{c + header, k};
    for (int i = 0; i < 258; ++i)
        wrap << (i == 0 ? c : k) + packet(uint8_t(i + 1), w.mid(i * 128, 128), 128);
    addExchange("block numbers wrap 255, 0, 1", wrap + end, Events{E} + Events(259, T) + Events{F}, w,
                QVector<uint>(258, 128));

    // Two rejections are repeated unchanged; the third is one above the error limit of 2.
    const QByteArray p1 = packet(1, f.left(1024), 1024);
    addExchange("NAK repeats the header", {c + header, n + header, n + header, n + FIVE_CAN}, {E, error});
    addExchange("NAK repeats a data block", {c + header, k, c + p1, n + p1, n + p1, n + FIVE_CAN}, {E, T, error}, f);
    addExchange("C repeats the end-of-batch block",
                {c + header, k, c + eot, k, c + batchEnd, c + batchEnd, c + batchEnd, c + FIVE_CAN}, {E, T, error});

    const QList<QByteArray> stages[] = {{}, {c + header}, {c + header, k, c + p1}, {c + header, k, c + p1, k + eot},
                                        {c + header, k, c + p1, k + eot, k, c + batchEnd}};
    const Events stageEvents[] = {{}, {E}, {E, T}, {E, T, T}, {E, T, T}};
    const char *stageNames[] = {"waiting for start", "header sent", "data", "EOT sent", "end of batch sent"};
    for (int s = 0; s < 5; ++s) {
        for (char cancel : {char(Ymodem::CAN), 'A', 'a'})
            addExchange(QByteArray("receiver cancels, ") + stageNames[s] + ", 0x" + QByteArray(1, cancel).toHex(),
                        stages[s] + QList<QByteArray>{QByteArray(1, cancel)}, stageEvents[s] + Events{aborted},
                        f.left(1024));
    }

    // The owner knows why it cancelled: no further event.
    addExchange("owner cancels the header", {c + FIVE_CAN}, {E}, f, {}, 0);
    addExchange("owner cancels block 1", {c + header, k + FIVE_CAN}, {E, T}, f, {}, 1);
    addExchange("owner cancels block 2", {c + header, k, c + p1, k + FIVE_CAN}, {E, T, T}, f, {}, 2);

    // Looked for where the chip's loader prints its complaints: before the start and
    // between blocks, on steps that bring no reply the engine waits for.
    addExchange("peer refuses while waiting for start", {"x"}, {error}, f, {}, -1, 0);
    addExchange("peer refuses during data", {c + header, k, c + p1, "x"}, {E, T, error}, f, {}, -1, 3);
}

void TestYmodem::exchange()
{
    QFETCH(QByteArray, file);
    QFETCH(QVector<uint>, lengths);
    QFETCH(int, cancelAt);
    QFETCH(int, refuseAt);
    QFETCH(uint, headerLength);
    QFETCH(QList<QByteArray>, script);
    QFETCH(Events, events);
    ScriptedPeer peer(199, 2, 2);
    peer.file = file;
    peer.lengths = lengths;
    peer.cancelAt = cancelAt;
    peer.headerLength = headerLength;

    QVERIFY(peer.step().isEmpty());
    for (int i = 0; i < script.size(); ++i) {
        peer.refusing = i == refuseAt;
        const QByteArray sent = peer.answer(script.at(i).at(0));
        QVERIFY2(sent == script.at(i).mid(1), qPrintable(QStringLiteral("reply %1: %2").arg(i).arg(
                                                  QString::fromLatin1(sent.left(8).toHex()))));
    }
    QCOMPARE(peer.events, events);
    QCOMPARE(peer.now(), uint32_t(Ymodem::STAGE_IDLE));
    QCOMPARE(peer.idleTicks(), 0u);
    // However the transfer ended, the next one starts from the header.
    peer.cancelAt = -1;
    peer.refusing = false;
    QCOMPARE(peer.start().left(3).toHex(), HEADER_START.toHex());
}

void TestYmodem::idleResendAndFailure_data()
{
    QTest::addColumn<int>("stage");
    QTest::addColumn<uint>("divisor");
    QTest::addColumn<uint>("limit");
    // Put on the line in two pieces at the first two idle steps: the engine reads a byte a
    // step, a packet at once, and must resume a packet where it stopped.
    QTest::addColumn<QByteArray>("noise");
    QTest::addColumn<uint>("overReport");
    QTest::addColumn<uint>("event");

    const uint error = Ymodem::EVENT_ERROR;
    QTest::newRow("NAK while waiting for start is silence") << int(WaitStart) << 199u << 2u
            << QByteArray(299, 'x') + char(Ymodem::NAK) << 0u << uint(Ymodem::EVENT_TIMEOUT);
    QTest::newRow("header sent") << int(HeaderSent) << 199u << 2u << QByteArray() << 0u << error;
    QTest::newRow("data, C is silence") << int(Data) << 199u << 2u << QByteArray(3, C) << 0u << error;
    QTest::newRow("data, a short packet hides its CAN bytes")
            << int(Data) << 199u << 2u << char(Ymodem::SOH) + QByteArray(132, Ymodem::CAN) << 0u << error;
    QTest::newRow("data, a long packet hides its cancel letters")
            << int(Data) << 199u << 2u << char(Ymodem::STX) + QByteArray(1028, 'a') << 0u << error;
    QTest::newRow("data, owner claims more bytes than asked")
            << int(Data) << 199u << 2u << char(Ymodem::STX) + QByteArray(39, 'x') << 5000u << error;
    QTest::newRow("EOT sent, ACK is silence") << int(EotSent) << 199u << 2u << QByteArray(1, char(Ymodem::ACK)) << 0u
                                              << error;
    QTest::newRow("end of batch sent, divisor 9, limit 0")
            << int(BatchEndSent) << 9u << 0u << QByteArray() << 0u << error;
}

void TestYmodem::idleResendAndFailure()
{
    QFETCH(int, stage);
    QFETCH(uint, divisor);
    QFETCH(uint, limit);
    QFETCH(QByteArray, noise);
    QFETCH(uint, overReport);
    QFETCH(uint, event);
    ScriptedPeer peer(divisor, limit, 999);
    const QByteArray repeated = driveTo(peer, stage);
    peer.overReport = overReport;
    const uint32_t stageReached = peer.now();
    const int eventsBefore = peer.events.size();

    // Waiting for the start repeats nothing; every later stage repeats its packet.
    const uint32_t interval = divisor + 1;
    const uint32_t failAt = (limit + 1) * interval;
    for (uint32_t tick = 1; tick <= failAt; ++tick) {
        if (tick <= 2)
            peer.line += tick == 1 ? noise.left(noise.size() / 2) : noise.mid(noise.size() / 2);
        const QByteArray sent = peer.step();
        if (tick == failAt) {
            QCOMPARE(sent.toHex(), FIVE_CAN.toHex());
        } else if (stage != WaitStart && tick % interval == 0) {
            QVERIFY2(sent == repeated, qPrintable(QStringLiteral("no repeat at idle step %1").arg(tick)));
        } else {
            QVERIFY2(sent.isEmpty(), qPrintable(QStringLiteral("unexpected bytes at idle step %1").arg(tick)));
            QCOMPARE(peer.now(), stageReached);
            QCOMPARE(peer.events.size(), eventsBefore);
        }
    }
    QCOMPARE(peer.events.mid(eventsBefore), Events{event});
    QCOMPARE(peer.now(), uint32_t(Ymodem::STAGE_IDLE));
    QCOMPARE(peer.idleTicks(), 0u);
}

QTEST_GUILESS_MAIN(TestYmodem)
#include "tst_ymodem.moc"
