#include "testsupport.h"
#include "ymodempacket.h"

#include <QtTest>

#include <cstring>

namespace {

using Events = QVector<uint32_t>;
const QByteArray HEADER_DATA("firmware.bin\0" "1234\0", 18);
const QByteArray FIVE_CAN(5, Ymodem::CAN);
const uint32_t E = Ymodem::EVENT_ESTABLISH, T = Ymodem::EVENT_TRANSMIT, F = Ymodem::EVENT_FINISH;

// The receiving side and the file, scripted over byte vectors.
class ScriptedPeer : public Ymodem
{
public:
    using Ymodem::Ymodem;
    using Ymodem::stage;

    QByteArray line;         // sent by the receiver, not read yet
    QByteArray sent, file;   // everything the engine wrote; what the owner has still to send
    Events events;
    uint32_t blockSize = LONG_BLOCK_SIZE;   // the N reported for every data block
    int cancelAt = -1;       // index of the fill request the owner answers with CAN
    bool refusing = false;
    bool ownClock = false;   // time from `now` instead of one tick per idle step
    uint64_t now = 0;

    QByteArray answer(const QByteArray &bytes)
    {
        line += bytes;
        const int before = sent.size();
        transmit();
        return sent.mid(before);
    }

protected:
    uint32_t handleEvent(uint32_t event, uint8_t *buffer, uint32_t *length) override
    {
        events.append(event);
        if (events.size() - 1 == cancelAt)
            return CAN;
        if (event != EVENT_ESTABLISH && (event != EVENT_TRANSMIT || file.isEmpty()))
            return EOT;
        const QByteArray data = event == EVENT_ESTABLISH ? HEADER_DATA : file.left(int(blockSize));
        std::memcpy(buffer, data.constData(), size_t(data.size()));
        *length = event == EVENT_ESTABLISH ? SHORT_BLOCK_SIZE : blockSize;
        if (event == EVENT_TRANSMIT)
            file.remove(0, data.size());
        return ACK;
    }

    uint32_t readBytes(uint8_t *buffer, uint32_t length) override
    {
        const int n = qMin(int(length), line.size());
        std::memcpy(buffer, line.constData(), size_t(n));
        line.remove(0, n);
        return uint32_t(n);
    }

    uint32_t writeBytes(uint8_t *buffer, uint32_t length) override
    {
        sent.append(reinterpret_cast<const char *>(buffer), int(length));
        return length;
    }

    bool isPeerRefusing() override { return refusing; }
    uint64_t clockNow() override { return ownClock ? now : Ymodem::clockNow(); }
};

void addExchange(const QString &name, const QList<QByteArray> &script, const Events &events,
                 const QByteArray &file = {}, uint blockSize = 1024, int cancelAt = -1, int refuseAt = -1)
{
    QTest::newRow(qPrintable(name)) << file << blockSize << cancelAt << refuseAt << script << events;
}

} // namespace

class TestYmodem : public QObject
{
    Q_OBJECT

private slots:
    void exchange_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<uint>("blockSize");
        QTest::addColumn<int>("cancelAt");
        QTest::addColumn<int>("refuseAt");
        QTest::addColumn<QList<QByteArray>>("script");   // each: the receiver's byte, then the reply expected
        QTest::addColumn<Events>("events");

        const QByteArray k(1, Ymodem::ACK), n(1, Ymodem::NAK), c(1, 'C'), eot(1, Ymodem::EOT);
        // Name, NUL, size, NUL, padded with zeros, and the CRC worked out by hand.
        const QByteArray header =
                QByteArray::fromHex("0100ff") + HEADER_DATA.leftJustified(128, '\0') + QByteArray::fromHex("4363");
        const QByteArray batchEnd = ymodemPacket(0, QByteArray());
        // The first EOT is refused; an ACK to the EOT waits for the C that asks for the next file.
        const QList<QByteArray> end{k + eot, n + eot, k, c + batchEnd, k};
        const uint error = Ymodem::EVENT_ERROR;
        const QByteArray f = patternBytes(258 * 128);

        // 128-byte blocks only for an N of 128 or less (the wrap below), zero-padded.
        addExchange("N 129 is long", QList<QByteArray>{c + header, k, c + ymodemPacket(1, f.left(129))} + end,
                    {E, T, T, F}, f.left(129), 129);
        QList<QByteArray> wrap{c + header, k};
        for (int i = 0; i < 258; ++i)
            wrap << (i == 0 ? c : k) + ymodemPacket(uint8_t(i + 1), f.mid(i * 128, 128));
        addExchange("block numbers wrap 255, 0, 1", wrap + end, Events{E} + Events(259, T) + Events{F}, f, 128);

        // Two rejections are repeated unchanged; the third is one above the error limit of 2.
        const QByteArray p1 = ymodemPacket(1, f.left(1024));
        addExchange("NAK repeats the header", {c + header, n + header, n + header, n + FIVE_CAN}, {E, error});
        addExchange("NAK repeats a data block", {c + header, k, c + p1, n + p1, n + p1, n + FIVE_CAN}, {E, T, error}, f);

        const QList<QByteArray> full{c + header, k, c + p1, k + eot, k, c + batchEnd};
        const int steps[] = {0, 1, 3, 4, 6}, raised[] = {0, 1, 2, 3, 3};
        for (int s = 0; s < 5; ++s)
            for (char cancel : {char(Ymodem::CAN), 'A', 'a'})
                addExchange(QStringLiteral("receiver cancels after %1 steps with %2").arg(steps[s]).arg(int(cancel)),
                            full.mid(0, steps[s]) << QByteArray(1, cancel),
                            Events{E, T, T}.mid(0, raised[s]) << Ymodem::EVENT_ABORT, f.left(1024));
        // The owner knows why it cancelled: no further event.
        addExchange("owner cancels the header", {c + FIVE_CAN}, {E}, f, 1024, 0);

        // Looked for where the loader prints its complaints: between blocks, on steps that bring no awaited reply.
        addExchange("peer refuses during data", {c + header, k, c + p1, "x"}, {E, T, error}, f, 1024, -1, 3);
    }

    void exchange()
    {
        QFETCH(QByteArray, file);
        QFETCH(uint, blockSize);
        QFETCH(int, cancelAt);
        QFETCH(int, refuseAt);
        QFETCH(QList<QByteArray>, script);
        QFETCH(Events, events);
        ScriptedPeer peer(199, 2, 2);
        peer.file = file;
        peer.blockSize = blockSize;
        peer.cancelAt = cancelAt;

        QVERIFY(peer.answer({}).isEmpty());
        for (int i = 0; i < script.size(); ++i) {
            peer.refusing = i == refuseAt;
            QCOMPARE(peer.answer(script.at(i).left(1)).toHex(), script.at(i).mid(1).toHex());
        }
        QCOMPARE(peer.events, events);
        QCOMPARE(peer.stage, uint32_t(Ymodem::STAGE_IDLE));
        // However the transfer ended, the next one starts from the header.
        peer.refusing = false;
        peer.answer({});
        QCOMPARE(peer.answer("C").left(3).toHex(), QByteArray("0100ff"));
    }

    // With divisor 199 and limit 2 the last packet goes again after 200 and 400 idle steps, the stage fails at 600.
    void idleResendAndFailure_data()
    {
        QTest::addColumn<int>("answers");   // how far a one-block transfer is driven first
        // Two pieces at the first two idle steps: a byte is read a step, a packet at once and resumed where it stopped.
        QTest::addColumn<QByteArray>("noise");

        // The receiver never started: a time-out; later stages fail.
        QTest::newRow("NAK while waiting for start is silence") << 0 << QByteArray(299, 'x') + char(Ymodem::NAK);
        QTest::newRow("data, a short packet hides its CAN bytes") << 3 << char(Ymodem::SOH) + QByteArray(132, Ymodem::CAN);
        QTest::newRow("EOT sent, ACK is silence") << 4 << QByteArray(1, char(Ymodem::ACK));
    }

    void idleResendAndFailure()
    {
        QFETCH(int, answers);
        QFETCH(QByteArray, noise);
        ScriptedPeer peer(199, 2, 999);
        peer.file = QByteArray(300, 'x');
        QByteArray repeated = peer.answer({});
        for (int i = 0; i < answers; ++i)
            repeated = peer.answer(QByteArray(1, "C\x06" "C\x06" "C"[i]));
        const uint32_t stageReached = peer.stage;
        const int eventsBefore = peer.events.size();

        const int half = (noise.size() + 1) / 2;
        for (int tick = 1; tick <= 600; ++tick) {
            const QByteArray sent = peer.answer(noise.mid((tick - 1) * half, half));
            const QByteArray expected = tick == 600 ? FIVE_CAN : answers > 0 && tick % 200 == 0 ? repeated : QByteArray();
            QVERIFY2(sent == expected, qPrintable(QStringLiteral("idle step %1: %2").arg(tick).arg(QString(sent.toHex()))));
            if (tick < 600)
                QVERIFY2(peer.stage == stageReached && peer.events.size() == eventsBefore, qPrintable(QString::number(tick)));
        }
        QCOMPARE(peer.events.mid(eventsBefore), Events{answers == 0 ? Ymodem::EVENT_TIMEOUT : Ymodem::EVENT_ERROR});
        QCOMPARE(peer.stage, uint32_t(Ymodem::STAGE_IDLE));
    }

    // On the owner's clock (us, 5 ms ticks) a late step repeats once, the next a full interval and half a tick
    // later, so that a repeat stays behind a receiver's own interval of silence.
    void ownerClock()
    {
        ScriptedPeer peer(199, 2, 999);
        peer.ownClock = true;
        peer.setClockUnitsPerTick(5000);
        peer.file = QByteArray(300, 'x');
        for (const char *reply : {"", "C", "\x06"})
            peer.answer(reply);
        const QByteArray block = peer.answer("C");
        const struct { uint64_t us; QByteArray sent; } steps[] = {
            {1250000, block}, {1002499, {}}, {1, block}, {1002499, {}}, {1, FIVE_CAN}};
        for (const auto &step : steps) {
            peer.now += step.us;
            QCOMPARE(peer.answer({}).toHex(), step.sent.toHex());
        }
        QCOMPARE(peer.events, (Events{E, T, Ymodem::EVENT_ERROR}));
    }
};

QTEST_GUILESS_MAIN(TestYmodem)
#include "tst_ymodem.moc"
