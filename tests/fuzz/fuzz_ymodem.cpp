// The YMODEM sender against a raw peer and owner driven by the input, or the chip receiver behind a lossy line.

#include "ymodem.h"
#include "ymodemreceiver.h"
#include "fuzzcheck.h"

#include <QAbstractEventDispatcher>
#include <QThread>
#include <QTimerEvent>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

#define EXPECT(cond, what) FUZZ_EXPECT("ymodem", cond, what)

using Bytes = std::vector<uint8_t>;

bool allZero(const uint8_t *p, uint32_t n) { return std::all_of(p, p + n, [](uint8_t b) { return b == 0; }); }

// The input picks size and seed, not bytes, so it cannot plant a packet for a line fault to expose.
Bytes makeImage(uint32_t size, uint32_t seed)
{
    std::minstd_rand gen(seed);
    Bytes image(size);
    std::generate(image.begin(), image.end(), [&] { return static_cast<uint8_t>(gen() >> 8); });
    return image;
}

struct Limits {
    uint32_t divisor, timeout, errors;

    // Every stage gives up after (timeoutLimit + 1) x (tickDivisor + 1) ticks without progress.
    uint64_t waitTicks() const { return (uint64_t(divisor) + 1) * (uint64_t(timeout) + 1); }
    uint64_t silentBound() const { return 3 * waitTicks(); }
    // The transmitter's clock reads microseconds in 5 ms ticks; a plain owner counts ticks.
    uint32_t unitsPerTick() const { return divisor % 2 ? 5000 : 1; }
};

Limits consumeLimits(FuzzedDataProvider &in)
{
    // The transmitter's own settings now and then; small ones keep every step cheap.
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0)
        return {199, 2, 999};
    return {in.ConsumeIntegralInRange<uint32_t>(0, 31), in.ConsumeIntegralInRange<uint32_t>(0, 3),
            in.ConsumeIntegralInRange<uint32_t>(0, 15)};
}

// One transfer on the sending side: what the owner handed over and what reached the line.
struct TransferLog {
    // The first send and each NAK or C up to the error limit may each bring the idle repeats.
    explicit TransferLog(const Limits &l) : repeatLimit((uint64_t(l.errors) + 2) * (uint64_t(l.timeout) + 2)) {}

    bool ended = false, finished = false;

    void filled(uint32_t event, const uint8_t *data, uint32_t reported, uint32_t reply)
    {
        if (event == Ymodem::EVENT_ESTABLISH) {
            if (reply == Ymodem::ACK) {
                header.assign(data, data + Ymodem::SHORT_BLOCK_SIZE);
                headerWrites = 0;
            }
            return;
        }
        EXPECT(headerWrites > 0, "data prepared before the header reached the line");
        EXPECT(blocks == 0 || lastWrites > 0, "a block was prepared and replaced before it reached the line");
        ownerSaidEot = ownerSaidEot || reply == Ymodem::EOT;
        if (reply != Ymodem::ACK)
            return;
        EXPECT(!ownerSaidEot, "data prepared after the end of the file");
        ++blocks;
        lastSize = reported <= Ymodem::SHORT_BLOCK_SIZE ? Ymodem::SHORT_BLOCK_SIZE : Ymodem::LONG_BLOCK_SIZE;
        last.assign(data, data + lastSize);
        lastWrites = 0;
    }

    void written(const uint8_t *p, uint32_t n)
    {
        if (n == Ymodem::CANCEL_COUNT && std::all_of(p, p + n, [](uint8_t b) { return b == Ymodem::CAN; }))
            return;
        if (n == 1 && p[0] == Ymodem::EOT) {
            EXPECT(ownerSaidEot, "EOT before the owner ended the file");
            EXPECT(blocks == 0 || lastWrites > 0, "EOT before the last block reached the line");
            return bump(&eotWrites);
        }
        const bool shortPacket = n == Ymodem::SHORT_PACKET_SIZE && p[0] == Ymodem::SOH;
        EXPECT(shortPacket || (n == Ymodem::LONG_PACKET_SIZE && p[0] == Ymodem::STX), "malformed packet on the line");
        const uint32_t size = n - 5;
        EXPECT(p[2] == static_cast<uint8_t>(~p[1]), "block number complement wrong");
        const uint16_t crc = Ymodem::crc16(p + 3, size);
        EXPECT(p[3 + size] == (crc >> 8) && p[4 + size] == (crc & 0xFF), "CRC wrong");

        if (eotWrites > 0) {
            EXPECT(shortPacket && p[1] == 0 && allZero(p + 3, size), "end of batch is not an empty header block");
            return bump(&batchEndWrites);
        }
        if (blocks == 0) {
            EXPECT(shortPacket && p[1] == 0, "header is not a short block 0");
            EXPECT(std::memcmp(p + 3, header.data(), size) == 0, "header differs from the owner's");
            return bump(&headerWrites);
        }
        EXPECT(p[1] == static_cast<uint8_t>(blocks), "data block out of sequence");
        EXPECT(size == lastSize, "packet type does not follow the reported length");
        EXPECT(std::memcmp(p + 3, last.data(), size) == 0, "data block differs from what the owner filled");
        bump(&lastWrites);
    }

    void event(uint32_t event)
    {
        ended = true, finished = event == Ymodem::EVENT_FINISH;
        EXPECT(!finished || (ownerSaidEot && eotWrites > 0 && batchEndWrites > 0), "finished without closing the batch");
    }

    void bump(uint64_t *writes) { EXPECT(++*writes <= repeatLimit, "packet repeated without bound"); }

    const uint64_t repeatLimit;
    Bytes header, last;
    uint32_t lastSize = 0, blocks = 0;
    bool ownerSaidEot = false;
    uint64_t headerWrites = 0, lastWrites = 0, eotWrites = 0, batchEndWrites = 0;
};

// The engine with its line and owner sides checked and logged, talking to the chosen peer.
class Sender final : public Ymodem
{
public:
    // Limits, then block mode, in the order the seeds give them.
    explicit Sender(FuzzedDataProvider &in) : Sender(consumeLimits(in))
    {
        setBlockMode(in.ConsumeIntegralInRange<uint32_t>(0, 2));
    }
    explicit Sender(const Limits &l) : Ymodem(l.divisor, l.timeout, l.errors), limits(l) { setClockUnitsPerTick(l.unitsPerTick()); }

    const Limits limits;
    TransferLog *log = nullptr;
    bool refuse = false;
    uint64_t now = 0, armedAt = 0;

    // A step on the timer, one at the same moment as the last (bytes arrived), or a late one.
    void step(uint32_t eighthsOfTick)
    {
        now += uint64_t(eighthsOfTick) * limits.unitsPerTick() / 8;
        transmit();
    }
    std::function<uint32_t(uint32_t, uint8_t *, uint32_t *)> onFill;
    std::function<uint32_t(uint8_t *, uint32_t)> onRead;
    std::function<void(const uint8_t *, uint32_t)> onWrite = [](const uint8_t *, uint32_t) {};
    using Ymodem::stage;

protected:
    uint32_t handleEvent(uint32_t event, uint8_t *buffer, uint32_t *length) override
    {
        if (event > EVENT_TRANSMIT) {
            EXPECT(event != EVENT_TIMEOUT || now - armedAt >= limits.waitTicks() * limits.unitsPerTick(),
                   "the receiver's start timed out early");
            log->event(event);
            return CAN;
        }
        const uint32_t capacity = event == EVENT_ESTABLISH ? SHORT_BLOCK_SIZE : LONG_BLOCK_SIZE;
        EXPECT(buffer == txBuffer + 3 && length == &txLength && *length == capacity,
               "fill event without the packet's data area and capacity");
        const uint32_t reply = onFill(event, buffer, length);
        log->filled(event, buffer, *length, reply);
        return reply;
    }

    uint32_t readBytes(uint8_t *buffer, uint32_t length) override
    {
        const bool intoPacket = buffer >= rxBuffer && buffer < rxBuffer + sizeof rxBuffer;
        EXPECT(length > 0 && length <= (intoPacket ? static_cast<uint32_t>(rxBuffer + sizeof rxBuffer - buffer) : 1u),
               "read of nothing, past the receive buffer, or of more than one control byte");
        return onRead(buffer, length);
    }

    uint32_t writeBytes(uint8_t *buffer, uint32_t length) override
    {
        log->written(buffer, length);
        onWrite(buffer, length);
        return length;
    }

    bool isPeerRefusing() override { return refuse; }
    uint64_t clockNow() override { return now; }
};

void runRaw(FuzzedDataProvider &in)
{
    Sender sender(in);
    const Limits &limits = sender.limits;
    uint32_t budget = 0; // bytes the peer hands over in this step
    bool overReport = false;

    sender.onRead = [&](uint8_t *buffer, uint32_t length) -> uint32_t {
        const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(std::min(budget, length));
        std::copy(bytes.begin(), bytes.end(), buffer);
        budget -= static_cast<uint32_t>(bytes.size());
        return overReport && !bytes.empty() ? length + 7 : static_cast<uint32_t>(bytes.size());
    };
    // Anything an owner could answer: the reply, the length and the data are the input's.
    sender.onFill = [&](uint32_t, uint8_t *buffer, uint32_t *length) -> uint32_t {
        const std::vector<uint8_t> data = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<uint32_t>(0, *length));
        std::copy(data.begin(), data.end(), buffer);
        static const uint32_t replies[7] = {Ymodem::ACK, Ymodem::ACK, Ymodem::ACK, Ymodem::ACK, Ymodem::ACK, Ymodem::EOT, Ymodem::CAN};
        const int replyKind = in.ConsumeIntegralInRange<int>(0, 7);
        const uint32_t reply = replyKind == 7 ? in.ConsumeIntegral<uint32_t>() : replies[replyKind];
        const int lengthKind = in.ConsumeIntegralInRange<int>(0, 7);
        *length = lengthKind == 0 ? Ymodem::SHORT_BLOCK_SIZE : lengthKind <= 2 ? in.ConsumeIntegral<uint32_t>() : *length;
        return reply;
    };

    for (int transfer = 0; transfer < 8 && (transfer == 0 || in.remaining_bytes() > 0); ++transfer) {
        TransferLog current(limits);
        sender.log = &current;
        sender.step(8);
        sender.armedAt = sender.now;

        uint64_t silentSteps = 0;
        while (!current.ended) {
            // A silent step hands over nothing, as a control byte with the top bit set does.
            const bool silent = in.remaining_bytes() == 0;
            const uint8_t control = silent ? 0x80 : in.ConsumeIntegral<uint8_t>();
            EXPECT(!silent || ++silentSteps <= limits.silentBound(), "transfer never ends on a silent line");
            sender.refuse = control == 0xFE;
            overReport = control == 0xFD;
            budget = (control & 0x80) ? 0 : (control & 0x0F) == 0x0F ? UINT32_MAX : (control & 0x0F) + 1u;
            if (control == 0xFF) {
                sender.abort();
                break;
            }
            // Bits 4 to 6: no time (bytes arrived), a tick, half a tick or three ticks.
            static const uint32_t eighths[8] = {0, 0, 8, 8, 8, 8, 4, 24};
            sender.step(silent ? 8 : eighths[(control >> 4) & 7]);
            current.ended = current.ended || sender.stage == Ymodem::STAGE_IDLE;
        }
        EXPECT(sender.stage == Ymodem::STAGE_IDLE, "engine not idle after the end of a transfer");
    }
}

// A line in one direction: the input may drop or repeat each byte while it lasts.
struct Line {
    explicit Line(FuzzedDataProvider &in) : in(in) {}

    FuzzedDataProvider &in;
    QByteArray bytes;
    bool faulty = false;

    void put(uint8_t b)
    {
        const int fate = in.remaining_bytes() > 0 ? in.ConsumeIntegralInRange<int>(0, 31) : 0;
        faulty = faulty || fate == 1 || fate == 2;
        bytes.append(fate == 1 ? 0 : fate == 2 ? 2 : 1, char(b));
    }
};

// The chip receiver's timers fire only when the run moves this clock on, so a run replays exactly.
class FuzzClock final : public QAbstractEventDispatcher
{
public:
    void advance(qint64 ms)
    {
        for (const qint64 until = now + ms;; ) {
            const auto earlier = [](const auto &a, const auto &b) { return a.second.due < b.second.due; };
            const auto next = std::min_element(timers.begin(), timers.end(), earlier);
            if (next == timers.end() || next->second.due > until)
                return void(now = until);
            now = next->second.due;
            next->second.due += std::max(1, next->second.interval);
            QTimerEvent event(next->first);
            next->second.object->event(&event);
        }
    }

    bool processEvents(QEventLoop::ProcessEventsFlags) override { return false; }
    bool hasPendingEvents() override { return false; }
    void registerSocketNotifier(QSocketNotifier *) override {}
    void unregisterSocketNotifier(QSocketNotifier *) override {}
    void registerTimer(int id, int ms, Qt::TimerType, QObject *object) override { timers[id] = {now + ms, ms, object}; }
    bool unregisterTimer(int id) override { return timers.erase(id) > 0; }
    bool unregisterTimers(QObject *object) override
    {
        for (auto t = timers.begin(); t != timers.end();)
            t = t->second.object == object ? timers.erase(t) : std::next(t);
        return true;
    }
    QList<TimerInfo> registeredTimers(QObject *) const override { return {}; }
    int remainingTime(int id) override { return timers.count(id) ? int(timers[id].due - now) : -1; }
    void wakeUp() override {}
    void interrupt() override {}
    void flush() override {}

private:
    struct Timer { qint64 due; int interval; QObject *object; };
    std::map<int, Timer> timers;
    qint64 now = 0;
};

void runLine(FuzzedDataProvider &in)
{
    static FuzzClock *const clock = [] {
        auto *c = new FuzzClock;
        QThread::currentThread()->setEventDispatcher(c);
        return c;
    }();
    Sender sender(in);
    const Limits &limits = sender.limits;
    const uint32_t size = in.ConsumeIntegralInRange<uint32_t>(0, 6000);
    const uint32_t seed = in.ConsumeIntegral<uint32_t>();
    const uint32_t promptEvery = in.ConsumeIntegralInRange<uint32_t>(4, 2 * (limits.divisor + 1) + 4);

    const Bytes image = makeImage(size, seed);
    size_t offset = 0;
    TransferLog log(limits);
    Line toChip{in}, toHost{in};
    // Data and block number of every packet the sender wrote.
    std::set<Bytes> written;
    YmodemReceiver chip;
    bool flagged = false; // the chip knows that something went wrong
    std::optional<YmodemReceiver::File> file;
    QObject::connect(&chip, &YmodemReceiver::output, [&](const QByteArray &bytes) {
        for (const char b : bytes)
            toHost.put(uint8_t(b));
    });
    QObject::connect(&chip, &YmodemReceiver::violation, [&] { flagged = true; });
    QObject::connect(&chip, &YmodemReceiver::finished, [&](YmodemReceiver::Outcome outcome) {
        flagged = flagged || outcome != YmodemReceiver::Outcome::Completed;
    });
    QObject::connect(&chip, &YmodemReceiver::fileReceived, [&](const YmodemReceiver::File &f) { file = f; });
    // The transmitter steps every 5 ms.
    chip.setTiming(int(promptEvery) * 5, 10000);

    sender.log = &log;
    sender.onWrite = [&](const uint8_t *p, uint32_t n) {
        if (n > 1) {
            Bytes key(p + 3, p + n - 2);
            key.push_back(p[1]);
            written.insert(key);
        }
        for (uint32_t i = 0; i < n; ++i)
            toChip.put(p[i]);
    };
    uint64_t bytesRead = 0;
    sender.onRead = [&](uint8_t *buffer, uint32_t length) -> uint32_t {
        const uint32_t n = std::min(length, uint32_t(toHost.bytes.size()));
        std::memcpy(buffer, toHost.bytes.constData(), n);
        toHost.bytes.remove(0, int(n));
        bytesRead += n;
        return n;
    };
    // The owner as the file transmitter: name and size in the header, then the image in blocks by the block mode.
    sender.onFill = [&](uint32_t event, uint8_t *buffer, uint32_t *length) -> uint32_t {
        if (event == Ymodem::EVENT_ESTABLISH) {
            std::snprintf(reinterpret_cast<char *>(buffer), *length, "image.bin%c%zu", 0, image.size());
            return Ymodem::ACK;
        }
        if (offset >= image.size())
            return Ymodem::EOT;
        const size_t remaining = image.size() - offset;
        if (remaining <= Ymodem::SHORT_BLOCK_SIZE || sender.blockMode() == 0)
            *length = Ymodem::SHORT_BLOCK_SIZE;
        std::memcpy(buffer, image.data() + offset, std::min<size_t>(remaining, *length));
        offset += std::min<size_t>(remaining, *length);
        return Ymodem::ACK;
    };
    const auto feedChip = [&] {
        if (!toChip.bytes.isEmpty())
            chip.feed(std::exchange(toChip.bytes, {}));
    };

    sender.step(8);
    chip.start(true);
    const uint64_t bound =
        (size / Ymodem::SHORT_BLOCK_SIZE + 8) * (uint64_t(limits.errors) + 2) * limits.silentBound() + 4 * promptEvery;
    uint64_t settledSteps = 0, instantSteps = 0;
    while (!log.ended) {
        feedChip();
        // Waiting reply bytes step the engine at once, as on readyRead; each step must take at least one of them.
        const bool replyWaiting = !toHost.bytes.isEmpty();
        if (replyWaiting)
            EXPECT(++instantSteps <= bytesRead + 1, "a step on waiting bytes took none of them");
        else if (in.remaining_bytes() == 0)
            EXPECT(++settledSteps <= bound, "transfer never ends on a sound line");
        sender.step(replyWaiting ? 0 : 8);
        clock->advance(replyWaiting ? 0 : 5);
        log.ended = log.ended || sender.stage == Ymodem::STAGE_IDLE;
    }
    // The chip either ends the batch or gives up on the silent line.
    feedChip();
    clock->advance(10000);

    // Dropped and repeated bytes can forge a packet with a sound CRC: an image counts only if each block was written.
    const auto fromWritten = [&](const YmodemReceiver::File &f) {
        bool all = f.name == QLatin1String("image.bin") && f.size == qint64(image.size());
        for (int k = 0, at = 0; k < f.blocks.size(); at += f.blocks.at(k++)) {
            Bytes key(size_t(f.blocks.at(k)), 0);
            const QByteArray data = f.data.mid(at, f.blocks.at(k));
            std::copy(data.begin(), data.end(), key.begin());
            key.push_back(uint8_t(k + 1));
            all = all && written.count(key);
        }
        return all;
    };
    const bool taken = file.has_value();
    EXPECT(!taken || file->data == QByteArray(reinterpret_cast<const char *>(image.data()), int(image.size()))
               || !fromWritten(*file), "receiver took an image that differs from the one sent");
    EXPECT(!log.finished || taken || flagged, "finished while the receiver misses the image unawares");
    // A sound line owes a finished transfer where the limits leave room for the refused first EOT and its ACK.
    if (limits.errors >= 2 && limits.silentBound() >= 3 * 8 && !toChip.faulty && !toHost.faulty)
        EXPECT(log.finished && taken, "a sound line did not carry the image");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    if (in.ConsumeBool())
        runLine(in);
    else
        runRaw(in);
    return 0;
}
