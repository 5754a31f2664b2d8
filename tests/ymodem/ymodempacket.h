#pragma once

#include "ymodem.h"

#include <QByteArray>

// A YMODEM packet as a receiver must see it, zero-padded; `badCrc` spoils the CRC the way line noise would.
inline QByteArray ymodemPacket(quint8 number, const QByteArray &data, int size = 0, bool badCrc = false)
{
    const QByteArray block = data.leftJustified(size ? size : data.size() <= 128 ? 128 : 1024, '\0');
    const quint16 crc = Ymodem::crc16(reinterpret_cast<const uint8_t *>(block.constData()), uint32_t(block.size())) ^ (badCrc ? 0x0101 : 0);
    return char(block.size() == 128 ? Ymodem::SOH : Ymodem::STX) + QByteArray(1, char(number)) + char(~number) + block
            + char(crc >> 8) + char(crc & 0xFF);
}
