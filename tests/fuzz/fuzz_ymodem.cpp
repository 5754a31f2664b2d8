// The YMODEM sender against whatever a line can carry.
//
// Two peers, chosen by the input:
// - raw: every byte the engine reads, the owner's replies and reported block lengths, the
//   refusal check and stray abort() calls come straight from the input;
// - line: an honest receiver behind a line that loses and repeats bytes in both directions,
//   with an image whose content the input cannot shape into packets.
// Either way the engine must stay inside its buffers, put only well-formed packets on the
// line, never repeat a packet without bound, and end every transfer within a bounded number
// of steps once the input is exhausted. With the honest receiver, no image is ever taken
// that differs from the one sent, and "finished" never stands for an image that the
// receiver silently misses.

#include "ymodem.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include "fuzzcheck.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <set>
#include <vector>

namespace {

#define EXPECT(cond, what) FUZZ_EXPECT("ymodem", cond, what)

using Bytes = std::vector<uint8_t>;

// Image content from a seed: the input chooses size and seed, not the bytes, so it cannot
// plant a valid packet inside the image for a line fault to expose.
Bytes makeImage(uint32_t size, uint32_t seed)
{
    Bytes image(size);
    uint32_t x = seed | 1u;
    for (uint8_t &b : image) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x >> 24);
    }
    return image;
}

class Sender final : public Ymodem
{
public:
    Sender(uint32_t divisor, uint32_t limit, uint32_t errors)
        : Ymodem(divisor, limit, errors)
    {
    }

    std::function<uint32_t(uint32_t, uint8_t *, uint32_t *)> onEvent;
    std::function<uint32_t(uint8_t *, uint32_t)> onRead;
    std::function<void(const uint8_t *, uint32_t)> onWrite;
    std::function<bool()> onRefusing;

    uint32_t currentStage() const { return stage; }

protected:
    uint32_t handleEvent(uint32_t event, uint8_t *buffer, uint32_t *length) override
    {
        if (event == EVENT_ESTABLISH || event == EVENT_TRANSMIT) {
            EXPECT(buffer == txBuffer + 3, "fill event without the packet's data area");
            EXPECT(length == &txLength, "fill event without the packet length");
            const uint32_t capacity = event == EVENT_ESTABLISH ? SHORT_BLOCK_SIZE : LONG_BLOCK_SIZE;
            EXPECT(*length == capacity, "fill event announces the wrong capacity");
            for (uint32_t i = 0; i < capacity; ++i)
                EXPECT(buffer[i] == 0, "fill event on a data area that is not cleared");
        } else {
            EXPECT(event <= EVENT_ERROR, "unknown event");
            EXPECT(!buffer && !length, "final event with a buffer");
        }
        return onEvent(event, buffer, length);
    }

    uint32_t readBytes(uint8_t *buffer, uint32_t length) override
    {
        EXPECT(length > 0, "read of zero bytes");
        const bool intoPacket = buffer >= rxBuffer && buffer < rxBuffer + sizeof rxBuffer;
        if (intoPacket)
            EXPECT(length <= static_cast<uint32_t>(rxBuffer + sizeof rxBuffer - buffer),
                   "read past the end of the receive buffer");
        else
            EXPECT(length == 1, "control byte read of more than one byte");
        return onRead(buffer, length);
    }

    uint32_t writeBytes(uint8_t *buffer, uint32_t length) override
    {
        EXPECT(buffer == txBuffer, "write from outside the transmit buffer");
        EXPECT(length >= 1 && length <= sizeof txBuffer, "write of an impossible length");
        onWrite(buffer, length);
        return length;
    }

    bool isPeerRefusing() override { return onRefusing(); }
};

// Follows one transfer on the sending side: what the owner handed over and what reached
// the line, packet by packet.
class TransferLog
{
public:
    TransferLog(uint32_t timeoutLimit, uint32_t errorLimit)
        // One send, every NAK or repeated C up to the error limit, and the idle repeats,
        // with room for a fix that restarts the idle count on each C.
        : repeatLimit((uint64_t(errorLimit) + 2) * (uint64_t(timeoutLimit) + 2))
    {
    }

    bool ended = false;
    bool finished = false;
    uint32_t finalEvent = UINT32_MAX;

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
        if (blocks > 0)
            EXPECT(lastWrites > 0, "a block was prepared and replaced before it reached the line");
        if (reply == Ymodem::EOT) {
            ownerSaidEot = true;
            return;
        }
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
            bump(&eotWrites);
            return;
        }
        const bool shortPacket = n == Ymodem::SHORT_PACKET_SIZE && p[0] == Ymodem::SOH;
        const bool longPacket = n == Ymodem::LONG_PACKET_SIZE && p[0] == Ymodem::STX;
        EXPECT(shortPacket || longPacket, "malformed packet on the line");
        const uint32_t size = n - 5;
        EXPECT(p[2] == static_cast<uint8_t>(~p[1]), "block number complement wrong");
        const uint16_t crc = Ymodem::crc16(p + 3, size);
        EXPECT(p[3 + size] == (crc >> 8) && p[4 + size] == (crc & 0xFF), "CRC wrong");

        if (eotWrites > 0) {
            EXPECT(shortPacket && p[1] == 0, "end of batch is not an empty header block");
            EXPECT(std::all_of(p + 3, p + 3 + size, [](uint8_t b) { return b == 0; }),
                   "end of batch block carries data");
            bump(&batchEndWrites);
            return;
        }
        if (blocks == 0) {
            EXPECT(shortPacket && p[1] == 0, "header is not a short block 0");
            EXPECT(std::memcmp(p + 3, header.data(), size) == 0, "header differs from the owner's");
            bump(&headerWrites);
            return;
        }
        EXPECT(p[1] == static_cast<uint8_t>(blocks), "data block out of sequence");
        EXPECT(size == lastSize, "packet type does not follow the reported length");
        EXPECT(sameAsLast(p, size), "data block differs from what the owner filled");
        bump(&lastWrites);
    }

    void event(uint32_t event)
    {
        if (event == Ymodem::EVENT_FINISH) {
            EXPECT(ownerSaidEot && eotWrites > 0 && batchEndWrites > 0, "finished without closing the batch");
            finished = true;
        }
        ended = true;
        finalEvent = event;
    }

private:
    bool sameAsLast(const uint8_t *p, uint32_t size) const
    {
        return size == lastSize && std::memcmp(p + 3, last.data(), size) == 0;
    }

    void bump(uint64_t *writes)
    {
        ++*writes;
        EXPECT(*writes <= repeatLimit, "packet repeated without bound");
    }

    const uint64_t repeatLimit;
    Bytes header;
    Bytes last;
    uint32_t lastSize = 0;
    uint32_t blocks = 0;
    bool ownerSaidEot = false;
    uint64_t headerWrites = 0;
    uint64_t lastWrites = 0;
    uint64_t eotWrites = 0;
    uint64_t batchEndWrites = 0;
};

// The owner side as the file transmitter does it: name and size in the header, then the
// image in 128- or 1024-byte blocks by the block mode.
struct ImageOwner {
    Bytes image;
    size_t offset = 0;

    uint32_t fill(uint32_t event, uint8_t *buffer, uint32_t *length, uint32_t blockMode)
    {
        if (event == Ymodem::EVENT_ESTABLISH) {
            const int n = std::snprintf(reinterpret_cast<char *>(buffer), Ymodem::SHORT_BLOCK_SIZE, "image.bin%c%zu",
                                        0, image.size());
            EXPECT(n > 0, "header text");
            *length = Ymodem::SHORT_BLOCK_SIZE;
            return Ymodem::ACK;
        }
        if (offset >= image.size())
            return Ymodem::EOT;
        const size_t remaining = image.size() - offset;
        const uint32_t block =
            remaining <= Ymodem::SHORT_BLOCK_SIZE || blockMode == 0 ? Ymodem::SHORT_BLOCK_SIZE : Ymodem::LONG_BLOCK_SIZE;
        const size_t take = remaining < block ? remaining : block;
        std::memcpy(buffer, image.data() + offset, take);
        offset += take;
        *length = block;
        return Ymodem::ACK;
    }
};

struct Limits {
    uint32_t divisor;
    uint32_t timeout;
    uint32_t errors;
};

Limits consumeLimits(FuzzedDataProvider &in)
{
    // The transmitter's own settings now and then; small ones keep every step cheap.
    if (in.ConsumeIntegralInRange<int>(0, 15) == 0)
        return {199, 2, 999};
    return {in.ConsumeIntegralInRange<uint32_t>(0, 31), in.ConsumeIntegralInRange<uint32_t>(0, 3),
            in.ConsumeIntegralInRange<uint32_t>(0, 15)};
}

// Steps left for a transfer on a silent line: every stage gives up after
// (timeoutLimit + 1) x (tickDivisor + 1) idle steps.
uint64_t silentBound(const Limits &l)
{
    return 3 * (uint64_t(l.divisor) + 1) * (uint64_t(l.timeout) + 1);
}

void runRaw(FuzzedDataProvider &in)
{
    const Limits limits = consumeLimits(in);
    Sender sender(limits.divisor, limits.timeout, limits.errors);
    sender.setBlockMode(in.ConsumeIntegralInRange<uint32_t>(0, 2));

    TransferLog *log = nullptr;
    uint32_t budget = 0; // bytes the peer hands over in this step
    bool overReport = false;
    bool refuse = false;

    sender.onWrite = [&](const uint8_t *p, uint32_t n) { log->written(p, n); };
    sender.onRead = [&](uint8_t *buffer, uint32_t length) -> uint32_t {
        const uint32_t n = budget < length ? budget : length;
        const std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(n);
        if (!bytes.empty())
            std::memcpy(buffer, bytes.data(), bytes.size());
        budget -= static_cast<uint32_t>(bytes.size());
        if (overReport && !bytes.empty())
            return length + 7;
        return static_cast<uint32_t>(bytes.size());
    };
    sender.onRefusing = [&] { return refuse; };
    sender.onEvent = [&](uint32_t event, uint8_t *buffer, uint32_t *length) -> uint32_t {
        if (event > Ymodem::EVENT_TRANSMIT) {
            log->event(event);
            return Ymodem::CAN;
        }
        // Anything an owner could answer: the reply, the length and the data are the input's.
        const uint32_t capacity = *length;
        const std::vector<uint8_t> data = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<uint32_t>(0, capacity));
        if (!data.empty())
            std::memcpy(buffer, data.data(), data.size());
        uint32_t reply = Ymodem::ACK;
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 5:
            reply = Ymodem::EOT;
            break;
        case 6:
            reply = Ymodem::CAN;
            break;
        case 7:
            reply = in.ConsumeIntegral<uint32_t>();
            break;
        default:
            break;
        }
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            *length = Ymodem::SHORT_BLOCK_SIZE;
            break;
        case 1:
        case 2:
            *length = in.ConsumeIntegral<uint32_t>();
            break;
        default:
            *length = capacity;
            break;
        }
        log->filled(event, buffer, *length, reply);
        return reply;
    };

    for (int transfer = 0; transfer < 8 && (transfer == 0 || in.remaining_bytes() > 0); ++transfer) {
        TransferLog current(limits.timeout, limits.errors);
        log = &current;
        sender.transmit();
        EXPECT(sender.currentStage() == Ymodem::STAGE_WAIT_START, "first step does not arm the engine");

        uint64_t silentSteps = 0;
        while (!current.ended) {
            budget = 0;
            overReport = false;
            refuse = false;
            if (in.remaining_bytes() > 0) {
                const uint8_t control = in.ConsumeIntegral<uint8_t>();
                if (control == 0xFF) {
                    sender.abort();
                    current.ended = true;
                    break;
                }
                refuse = control == 0xFE;
                overReport = control == 0xFD;
                budget = (control & 0x80) ? 0 : (control & 0x0F) == 0x0F ? UINT32_MAX : (control & 0x0F) + 1u;
            } else {
                ++silentSteps;
                EXPECT(silentSteps <= silentBound(limits), "transfer never ends on a silent line");
            }
            sender.transmit();
            if (sender.currentStage() == Ymodem::STAGE_IDLE)
                current.ended = true;
        }
        EXPECT(sender.currentStage() == Ymodem::STAGE_IDLE, "engine not idle after the end of a transfer");
    }
}

// The receiving chip: checks every packet, refuses the first EOT, takes the image only when
// it holds as many bytes as the header announced, and prompts again when the line is quiet.
// A dropped and a repeated byte can forge a packet whose CRC-16 still holds; no sender can
// guard against that, so the chip also refuses any packet the sender never wrote, as a
// perfect check would.
class Receiver
{
public:
    Receiver(uint32_t promptEvery, std::function<void(uint8_t)> send, std::function<bool(const Bytes &)> genuine)
        : promptEvery(promptEvery), send(std::move(send)), genuine(std::move(genuine))
    {
    }

    bool accepted = false; // took an image
    bool flagged = false;  // knows that something went wrong
    Bytes image;

    void start()
    {
        state = WaitHeader;
        send('C');
    }

    void feed(uint8_t b)
    {
        quiet = 0;
        pending.push_back(b);
        parse();
    }

    void tick()
    {
        if (++quiet < promptEvery)
            return;
        quiet = 0;
        pending.clear();
        switch (state) {
        case WaitHeader:
        case WaitNextHeader:
            send('C');
            break;
        case WaitData:
            send(expected == 1 ? 'C' : Ymodem::NAK);
            break;
        case AfterFirstEot:
            send(Ymodem::NAK);
            break;
        case Done:
            break;
        }
    }

private:
    enum State { WaitHeader, WaitData, AfterFirstEot, WaitNextHeader, Done };

    void parse()
    {
        while (!pending.empty() && state != Done) {
            const uint8_t first = pending.front();
            if (first == Ymodem::SOH || first == Ymodem::STX) {
                const size_t n = (first == Ymodem::SOH ? Ymodem::SHORT_BLOCK_SIZE : Ymodem::LONG_BLOCK_SIZE) + 5;
                if (pending.size() < n)
                    return;
                const Bytes packet(pending.begin(), pending.begin() + static_cast<long>(n));
                pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
                onPacket(packet);
            } else {
                pending.pop_front();
                if (first == Ymodem::EOT)
                    onEot();
                else if (first == Ymodem::CAN)
                    end(true);
            }
        }
    }

    void onPacket(const Bytes &p)
    {
        const uint32_t size = static_cast<uint32_t>(p.size()) - 5;
        const uint16_t crc = Ymodem::crc16(p.data() + 3, size);
        if (p[2] != static_cast<uint8_t>(~p[1]) || p[3 + size] != (crc >> 8) || p[4 + size] != (crc & 0xFF)
            || !genuine(p)) {
            send(Ymodem::NAK);
            return;
        }
        const uint8_t number = p[1];
        switch (state) {
        case WaitHeader:
        case WaitNextHeader:
            if (number != 0)
                return cancel();
            if (p[3] == 0) {
                send(Ymodem::ACK);
                if (state == WaitHeader)
                    flagged = true;
                end(false);
                return;
            }
            if (state == WaitNextHeader)
                return cancel();
            if (!readHeader(p.data() + 3, size))
                return cancel();
            header.assign(p.begin() + 3, p.end() - 2);
            state = WaitData;
            send(Ymodem::ACK);
            send('C');
            return;
        case WaitData:
            if (number == 0 && expected == 1) {
                // Our ACK of the header was lost, or this is no header at all (the end of
                // the batch after a lost EOT): only the same header is acknowledged again.
                if (!std::equal(p.begin() + 3, p.end() - 2, header.begin(), header.end()))
                    return cancel();
                send(Ymodem::ACK);
                send('C');
            } else if (number == static_cast<uint8_t>(expected - 1)) {
                send(Ymodem::ACK);
            } else if (number != static_cast<uint8_t>(expected)) {
                cancel();
            } else {
                received.insert(received.end(), p.begin() + 3, p.end() - 2);
                ++expected;
                send(Ymodem::ACK);
            }
            return;
        case AfterFirstEot:
            cancel();
            return;
        case Done:
            return;
        }
    }

    bool readHeader(const uint8_t *data, uint32_t size)
    {
        const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
        if (!nul)
            return false;
        uint64_t value = 0;
        const uint8_t *p = nul + 1;
        const uint8_t *end = data + size;
        if (p >= end || *p < '0' || *p > '9')
            return false;
        while (p < end && *p >= '0' && *p <= '9' && value < (1ull << 40))
            value = value * 10 + (*p++ - '0');
        announced = value;
        return true;
    }

    void onEot()
    {
        switch (state) {
        case WaitData:
            state = AfterFirstEot;
            send(Ymodem::NAK);
            return;
        case AfterFirstEot:
            send(Ymodem::ACK);
            if (received.size() >= announced) {
                received.resize(announced);
                image = received;
                accepted = true;
            } else {
                flagged = true;
            }
            state = WaitNextHeader;
            send('C');
            return;
        case WaitNextHeader:
            send(Ymodem::ACK);
            return;
        default:
            return;
        }
    }

    void cancel()
    {
        send(Ymodem::CAN);
        send(Ymodem::CAN);
        end(true);
    }

    void end(bool failed)
    {
        flagged = flagged || failed;
        state = Done;
        pending.clear();
    }

    const uint32_t promptEvery;
    std::function<void(uint8_t)> send;
    std::function<bool(const Bytes &)> genuine;
    State state = Done;
    std::deque<uint8_t> pending;
    Bytes header;
    Bytes received;
    uint64_t announced = 0;
    uint32_t expected = 1;
    uint32_t quiet = 0;
};

// A line in one direction: the input may drop or repeat each byte while it lasts.
struct Line {
    std::deque<uint8_t> bytes;
    bool faulty = false;

    void put(uint8_t b, FuzzedDataProvider &in)
    {
        int fate = 0;
        if (in.remaining_bytes() > 0)
            fate = in.ConsumeIntegralInRange<int>(0, 31);
        if (fate == 1) {
            faulty = true;
            return;
        }
        bytes.push_back(b);
        if (fate == 2) {
            faulty = true;
            bytes.push_back(b);
        }
    }
};

void runLine(FuzzedDataProvider &in)
{
    const Limits limits = consumeLimits(in);
    const uint32_t blockMode = in.ConsumeIntegralInRange<uint32_t>(0, 2);
    const uint32_t size = in.ConsumeIntegralInRange<uint32_t>(0, 6000);
    const uint32_t seed = in.ConsumeIntegral<uint32_t>();
    const uint32_t promptEvery = in.ConsumeIntegralInRange<uint32_t>(4, 2 * (limits.divisor + 1) + 4);

    Sender sender(limits.divisor, limits.timeout, limits.errors);
    sender.setBlockMode(blockMode);
    ImageOwner owner{makeImage(size, seed)};
    TransferLog log(limits.timeout, limits.errors);
    Line toChip;
    Line toHost;
    std::set<Bytes> written;
    Receiver chip(
        promptEvery, [&](uint8_t b) { toHost.put(b, in); },
        [&](const Bytes &packet) { return written.count(packet) > 0; });

    sender.onWrite = [&](const uint8_t *p, uint32_t n) {
        log.written(p, n);
        if (n > 1)
            written.emplace(p, p + n);
        for (uint32_t i = 0; i < n; ++i)
            toChip.put(p[i], in);
    };
    sender.onRead = [&](uint8_t *buffer, uint32_t length) -> uint32_t {
        uint32_t n = 0;
        while (n < length && !toHost.bytes.empty()) {
            buffer[n++] = toHost.bytes.front();
            toHost.bytes.pop_front();
        }
        return n;
    };
    sender.onRefusing = [] { return false; };
    sender.onEvent = [&](uint32_t event, uint8_t *buffer, uint32_t *length) -> uint32_t {
        if (event > Ymodem::EVENT_TRANSMIT) {
            log.event(event);
            return Ymodem::CAN;
        }
        const uint32_t reply = owner.fill(event, buffer, length, sender.blockMode());
        log.filled(event, buffer, *length, reply);
        return reply;
    };

    sender.transmit();
    chip.start();
    const uint64_t blocks = size / Ymodem::SHORT_BLOCK_SIZE + 8;
    const uint64_t bound = blocks * (uint64_t(limits.errors) + 2) * silentBound(limits) + 4 * promptEvery;
    uint64_t settledSteps = 0;
    while (!log.ended) {
        if (in.remaining_bytes() == 0) {
            ++settledSteps;
            EXPECT(settledSteps <= bound, "transfer never ends on a sound line");
        }
        while (!toChip.bytes.empty()) {
            const uint8_t b = toChip.bytes.front();
            toChip.bytes.pop_front();
            chip.feed(b);
        }
        chip.tick();
        sender.transmit();
        if (sender.currentStage() == Ymodem::STAGE_IDLE)
            log.ended = true;
    }

    if (chip.accepted)
        EXPECT(chip.image == owner.image, "receiver took an image that differs from the one sent");
    if (log.finished)
        EXPECT(chip.accepted || chip.flagged, "finished while the receiver misses the image unawares");
    // A sound line owes a finished transfer only where the limits leave room for the
    // refused first EOT and the ACK that follows it.
    const bool roomy = limits.errors >= 2 && silentBound(limits) >= 3 * 8;
    if (roomy && !toChip.faulty && !toHost.faulty)
        EXPECT(log.finished && chip.accepted, "a sound line did not carry the image");
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
