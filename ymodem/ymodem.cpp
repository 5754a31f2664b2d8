#include "ymodem.h"

#include <array>
#include <cstring>

namespace {
// CRC-16/XMODEM a byte at a time: the sender computes it while the line waits for the next
// block, and the bit-by-bit loop cost several microseconds of every turnaround.
constexpr std::array<uint16_t, 256> makeCrcTable()
{
    std::array<uint16_t, 256> table{};
    for (unsigned n = 0; n < 256; ++n) {
        uint16_t crc = static_cast<uint16_t>(n << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
        table[n] = crc;
    }
    return table;
}
constexpr std::array<uint16_t, 256> CRC_TABLE = makeCrcTable();
}

Ymodem::Ymodem(uint32_t tickDivisor, uint32_t timeoutLimit, uint32_t errorLimit)
    : m_tickDivisor(tickDivisor), m_timeoutLimit(timeoutLimit), m_errorLimit(errorLimit)
{
}

void Ymodem::setTickDivisor(uint32_t tickDivisor)
{
    m_tickDivisor = tickDivisor;
}

void Ymodem::setTimeoutLimit(uint32_t timeoutLimit)
{
    m_timeoutLimit = timeoutLimit;
}

void Ymodem::setErrorLimit(uint32_t errorLimit)
{
    m_errorLimit = errorLimit;
}

void Ymodem::setBlockMode(uint32_t blockMode)
{
    m_blockMode = blockMode;
}

void Ymodem::setClockUnitsPerTick(uint32_t units)
{
    m_clockUnitsPerTick = units == 0 ? 1 : units;
}

uint32_t Ymodem::tickDivisor() const
{
    return m_tickDivisor;
}

uint32_t Ymodem::timeoutLimit() const
{
    return m_timeoutLimit;
}

uint32_t Ymodem::errorLimit() const
{
    return m_errorLimit;
}

uint32_t Ymodem::blockMode() const
{
    return m_blockMode;
}

bool Ymodem::isPeerRefusing()
{
    return false;
}

uint64_t Ymodem::clockNow()
{
    return idleSteps;
}

void Ymodem::transmit()
{
    switch (stage) {
    case STAGE_IDLE:
        stepIdle();
        break;
    case STAGE_WAIT_START:
        stepWaitStart();
        break;
    case STAGE_HEADER_SENT:
        stepHeaderSent();
        break;
    case STAGE_DATA:
        stepData();
        break;
    case STAGE_EOT_SENT:
        stepEotSent();
        break;
    default:
        stepBatchEndSent();
        break;
    }
}

void Ymodem::abort()
{
    clearAll();
    putCancel();
    sendTxBuffer();
}

uint16_t Ymodem::crc16(const uint8_t *data, uint32_t length)
{
    uint16_t crc = 0;
    for (uint32_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ CRC_TABLE[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

void Ymodem::stepIdle()
{
    resetCounters();
    blockNumber = 0;
    stage = STAGE_WAIT_START;
}

void Ymodem::stepWaitStart()
{
    const uint32_t received = receivePacket();
    if (received == CRC_REQUEST) {
        // The header is always a short block, whatever length the owner reports.
        if (fillBlock(EVENT_ESTABLISH, SHORT_BLOCK_SIZE) != ACK) {
            abort();
            return;
        }
        buildPacket(0, SHORT_BLOCK_SIZE);
        resetCounters();
        blockNumber = 0;
        stage = STAGE_HEADER_SENT;
        sendTxBuffer();
    } else if (isCancel(received)) {
        cancelByPeer();
    } else {
        // Only C starts a transfer: a NAK (checksum mode) counts as silence.
        idleStep(true);
    }
}

void Ymodem::stepHeaderSent()
{
    const uint32_t received = receivePacket();
    if (received == ACK && blockNumber == 0) {
        const uint32_t reply = fillBlock(EVENT_TRANSMIT, LONG_BLOCK_SIZE);
        // Block 1, or the EOT of an empty file, goes out only on the receiver's
        // next C. An EOT sent at once would be followed by a second one on that C;
        // a receiver that checks the line stays quiet after EOT takes the pair for
        // noise and later takes the end-of-batch block for a repeated block, so
        // the batch would count as finished while the file is still open.
        if (reply == ACK) {
            buildPacket(1, txLength);
            resetCounters();
            blockNumber = 1;
        } else if (reply == EOT) {
            putEot();
            resetCounters();
            blockNumber = 2;
        } else {
            abort();
        }
    } else if (received == CRC_REQUEST) {
        if (++errorCount > m_errorLimit) {
            fail();
            return;
        }
        // A receiver that keeps asking for the header without ever taking it must run out
        // of repeats like one that rejects it with NAK.
        const uint32_t repeats = blockNumber == 0 ? errorCount : 0;
        stage += blockNumber;
        resetCounters();
        errorCount = repeats;
        sendTxBuffer();
    } else if (received == NAK) {
        countError();
    } else if (isCancel(received)) {
        cancelByPeer();
    } else {
        // Also a second ACK once the next block is prepared: a receiver that saw
        // the header twice acknowledges it twice, and taking that ACK as a request
        // for the next block would drop the first block of the file.
        idleStep(false);
    }
}

void Ymodem::stepData()
{
    const uint32_t received = receivePacket();
    if (received == ACK) {
        const uint32_t reply = fillBlock(EVENT_TRANSMIT, LONG_BLOCK_SIZE);
        if (reply == ACK) {
            ++blockNumber;
            buildPacket(blockNumber, txLength);
            resetCounters();
            sendTxBuffer();
        } else if (reply == EOT) {
            resetCounters();
            blockNumber = 0;
            putEot();
            stage = STAGE_EOT_SENT;
            sendTxBuffer();
        } else {
            abort();
        }
    } else if (received == NAK) {
        countError();
    } else if (isCancel(received)) {
        cancelByPeer();
    } else {
        idleStep(true);
    }
}

void Ymodem::stepEotSent()
{
    const uint32_t received = receivePacket();
    if (received == NAK) {
        // The first EOT is refused by design; a receiver that refuses every one must not
        // keep the transfer alive.
        if (++errorCount > m_errorLimit) {
            fail();
            return;
        }
        restartWait();
        packetState = PACKET_NONE;
        blockNumber = 0;
        putEot();
        sendTxBuffer();
    } else if (received == CRC_REQUEST) {
        // One file per batch: the next file request gets the empty header.
        std::memset(txBuffer + 3, 0, SHORT_BLOCK_SIZE);
        buildPacket(0, SHORT_BLOCK_SIZE);
        resetCounters();
        blockNumber = 0;
        stage = STAGE_BATCH_END_SENT;
        sendTxBuffer();
    } else if (isCancel(received)) {
        cancelByPeer();
    } else {
        // The ACK of EOT is not awaited: only C moves on.
        idleStep(false);
    }
}

void Ymodem::stepBatchEndSent()
{
    const uint32_t received = receivePacket();
    if (received == ACK) {
        clearAll();
        handleEvent(EVENT_FINISH, nullptr, nullptr);
    } else if (received == NAK || received == CRC_REQUEST) {
        countError();
    } else if (isCancel(received)) {
        cancelByPeer();
    } else {
        idleStep(false);
    }
}

uint32_t Ymodem::receivePacket()
{
    if (packetState == PACKET_NONE) {
        uint8_t byte = 0;
        if (readClamped(&byte, 1) == 0)
            return RECEIVED_NONE;
        if (byte != SOH && byte != STX)
            return byte;
        rxBuffer[0] = byte;
        rxLength = 1;
        packetState = byte == SOH ? PACKET_COLLECTING_SHORT : PACKET_COLLECTING_LONG;
    }

    const uint32_t total = packetState == PACKET_COLLECTING_SHORT ? SHORT_PACKET_SIZE : LONG_PACKET_SIZE;
    if (rxLength == 0 || rxLength >= total) {
        packetState = PACKET_NONE;
        rxLength = 0;
        return RECEIVED_NONE;
    }
    rxLength += readClamped(rxBuffer + rxLength, total - rxLength);
    if (rxLength < total)
        return RECEIVED_NONE;
    packetState = PACKET_NONE;
    rxLength = 0;
    return total == SHORT_PACKET_SIZE ? RECEIVED_SHORT_PACKET : RECEIVED_LONG_PACKET;
}

uint32_t Ymodem::readClamped(uint8_t *buffer, uint32_t length)
{
    const uint32_t count = readBytes(buffer, length);
    return count > length ? length : count;
}

void Ymodem::idleStep(bool checkRefusal)
{
    ++idleSteps;
    const uint64_t interval = static_cast<uint64_t>(m_tickDivisor) + 1;
    const uint64_t now = clockNow();
    // Whole ticks since the packet or its last repeat went out: a repeat never goes out
    // early, and a late step delays the repeats after it instead of crowding them.
    const uint64_t waited = now > idleSince ? now - idleSince : 0;
    const uint64_t sinceSend = waited / m_clockUnitsPerTick;
    const uint64_t ticks = silentIntervals * interval + (sinceSend < interval ? sinceSend : interval);
    tickCount = ticks > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ticks);
    if (checkRefusal && isPeerRefusing()) {
        // The line no longer carries a receiver; leave nothing behind that the
        // next transfer would resume from.
        clearAll();
        handleEvent(EVENT_ERROR, nullptr, nullptr);
        return;
    }
    // On a clock finer than the tick an interval ends half a tick late: a receiver that
    // confirms EOT by an interval of silence (lrzsz) answers at that very moment, and a
    // repeat must not reach it first.
    if (sinceSend < interval || (sinceSend == interval && waited % m_clockUnitsPerTick < m_clockUnitsPerTick / 2))
        return;
    if (++silentIntervals > m_timeoutLimit) {
        fail();
        return;
    }
    idleSince = now;
    if (stage != STAGE_WAIT_START)
        sendTxBuffer();
}

void Ymodem::countError()
{
    if (++errorCount > m_errorLimit) {
        fail();
        return;
    }
    sendTxBuffer();
}

void Ymodem::fail()
{
    const uint32_t event = stage == STAGE_WAIT_START ? EVENT_TIMEOUT : EVENT_ERROR;
    abort();
    handleEvent(event, nullptr, nullptr);
}

void Ymodem::cancelByPeer()
{
    clearAll();
    handleEvent(EVENT_ABORT, nullptr, nullptr);
}

void Ymodem::resetCounters()
{
    restartWait();
    errorCount = 0;
    packetState = PACKET_NONE;
}

void Ymodem::restartWait()
{
    tickCount = 0;
    silentIntervals = 0;
    idleSince = clockNow();
}

void Ymodem::clearAll()
{
    resetCounters();
    blockNumber = 0;
    stage = STAGE_IDLE;
}

uint32_t Ymodem::fillBlock(uint32_t event, uint32_t capacity)
{
    std::memset(txBuffer + 3, 0, capacity);
    txLength = capacity;
    return handleEvent(event, txBuffer + 3, &txLength);
}

void Ymodem::buildPacket(uint8_t number, uint32_t dataLength)
{
    const uint32_t size = dataLength <= SHORT_BLOCK_SIZE ? SHORT_BLOCK_SIZE : LONG_BLOCK_SIZE;
    txBuffer[0] = size == SHORT_BLOCK_SIZE ? SOH : STX;
    txBuffer[1] = number;
    txBuffer[2] = static_cast<uint8_t>(~number);
    const uint16_t crc = crc16(txBuffer + 3, size);
    txBuffer[3 + size] = static_cast<uint8_t>(crc >> 8);
    txBuffer[4 + size] = static_cast<uint8_t>(crc & 0xFF);
    txLength = size + 5;
}

void Ymodem::putEot()
{
    txBuffer[0] = EOT;
    txLength = 1;
}

void Ymodem::putCancel()
{
    std::memset(txBuffer, CAN, CANCEL_COUNT);
    txLength = CANCEL_COUNT;
}

void Ymodem::sendTxBuffer()
{
    writeBytes(txBuffer, txLength > LONG_PACKET_SIZE ? LONG_PACKET_SIZE : txLength);
}

bool Ymodem::isCancel(uint32_t received)
{
    return received == CAN || received == CANCEL_UPPER_A || received == CANCEL_LOWER_A;
}
