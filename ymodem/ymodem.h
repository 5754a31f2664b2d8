#ifndef YMODEM_H
#define YMODEM_H

#include <cstdint>

// Sending side of a one-file YMODEM batch (CRC-16 mode, 128/1024-byte blocks).
// The engine owns no port, timer or thread: the owner steps it with transmit()
// and provides the four virtual operations, which are its only contact with the
// line and the file. Time-outs are measured on the owner's clock in ticks (one
// tick per idle step unless the owner overrides clockNow()), so bytes that make
// the owner step more often neither shorten nor stretch them.
class Ymodem
{
public:
    enum Code : uint8_t {
        SOH = 0x01,
        STX = 0x02,
        EOT = 0x04,
        ACK = 0x06,
        NAK = 0x15,
        CAN = 0x18,
        CRC_REQUEST = 0x43,    // 'C': receiver asks for a CRC-mode transfer or the next file
        CANCEL_UPPER_A = 0x41, // 'A' and 'a' are taken as a cancel, like CAN
        CANCEL_LOWER_A = 0x61
    };

    enum Stage : uint32_t {
        STAGE_IDLE = 0,
        STAGE_WAIT_START = 1,
        STAGE_HEADER_SENT = 2,
        STAGE_DATA = 3,
        STAGE_EOT_SENT = 4,
        STAGE_BATCH_END_SENT = 5
    };

    enum Event : uint32_t {
        EVENT_ESTABLISH = 0,
        EVENT_TRANSMIT = 1,
        EVENT_FINISH = 2,
        EVENT_ABORT = 3,
        EVENT_TIMEOUT = 4,
        EVENT_ERROR = 5
    };

    static constexpr uint32_t SHORT_BLOCK_SIZE = 128;
    static constexpr uint32_t LONG_BLOCK_SIZE = 1024;
    static constexpr uint32_t SHORT_PACKET_SIZE = SHORT_BLOCK_SIZE + 5;
    static constexpr uint32_t LONG_PACKET_SIZE = LONG_BLOCK_SIZE + 5;
    static constexpr uint32_t CANCEL_COUNT = 5;

    Ymodem(uint32_t tickDivisor, uint32_t timeoutLimit, uint32_t errorLimit);

    void setTickDivisor(uint32_t tickDivisor);
    void setTimeoutLimit(uint32_t timeoutLimit);
    void setErrorLimit(uint32_t errorLimit);
    void setBlockMode(uint32_t blockMode);
    // How many units of clockNow() make one tick of the divisor.
    void setClockUnitsPerTick(uint32_t units);
    uint32_t tickDivisor() const;
    uint32_t timeoutLimit() const;
    uint32_t errorLimit() const;
    uint32_t blockMode() const;

    void transmit();
    void abort();

    // CRC-16/XMODEM: polynomial 0x1021, initial value 0, MSB first, no final XOR.
    static uint16_t crc16(const uint8_t *data, uint32_t length);

protected:
    // Owners are never deleted through an engine pointer.
    ~Ymodem() = default;

    // For EVENT_ESTABLISH and EVENT_TRANSMIT `buffer` is the packet's data area
    // (cleared) and `length` receives the block size N; reply ACK to send it, EOT
    // (data only) when the file is exhausted, anything else to cancel. Other
    // events pass null pointers and their reply is ignored.
    virtual uint32_t handleEvent(uint32_t event, uint8_t *buffer, uint32_t *length) = 0;
    virtual uint32_t readBytes(uint8_t *buffer, uint32_t length) = 0;
    virtual uint32_t writeBytes(uint8_t *buffer, uint32_t length) = 0;
    virtual bool isPeerRefusing();
    // Monotonic time in the owner's units (see setClockUnitsPerTick). The default
    // advances one unit per idle step, so an owner stepping at a fixed rate gets
    // time-outs counted in its steps.
    virtual uint64_t clockNow();

    uint32_t m_tickDivisor;
    uint32_t m_timeoutLimit;
    uint32_t m_errorLimit;
    uint32_t tickCount = 0;
    uint32_t errorCount = 0;
    // Last data block built; in STAGE_HEADER_SENT how far a C moves the stage on.
    uint8_t blockNumber = 0;
    uint32_t packetState = 0;
    uint32_t stage = STAGE_IDLE;
    uint32_t m_blockMode = 2;
    // Clock reading when the packet or its last repeat went out, and the silent intervals
    // since the packet; tickCount counts their ticks.
    uint64_t idleSince = 0;
    uint64_t silentIntervals = 0;
    uint64_t idleSteps = 0;
    uint32_t m_clockUnitsPerTick = 1;
    uint32_t rxLength = 0;
    uint32_t txLength = 0;
    uint8_t rxBuffer[LONG_PACKET_SIZE] = {};
    uint8_t txBuffer[LONG_PACKET_SIZE] = {};

private:
    enum PacketState : uint32_t {
        PACKET_NONE = 0,
        PACKET_COLLECTING_SHORT = 1,
        PACKET_COLLECTING_LONG = 2
    };

    // Results of the input step besides a plain received byte.
    enum Received : uint32_t {
        RECEIVED_NONE = 0,
        RECEIVED_SHORT_PACKET = 0x100,
        RECEIVED_LONG_PACKET = 0x101
    };

    void stepIdle();
    void stepWaitStart();
    void stepHeaderSent();
    void stepData();
    void stepEotSent();
    void stepBatchEndSent();

    uint32_t receivePacket();
    uint32_t readClamped(uint8_t *buffer, uint32_t length);
    void idleStep(bool checkRefusal);
    void countError();
    void fail();
    void cancelByPeer();
    void resetCounters();
    void restartWait();
    void clearAll();

    uint32_t fillBlock(uint32_t event, uint32_t capacity);
    void buildPacket(uint8_t number, uint32_t dataLength);
    void putEot();
    void putCancel();
    void sendTxBuffer();

    static bool isCancel(uint32_t received);
};

#endif // YMODEM_H
