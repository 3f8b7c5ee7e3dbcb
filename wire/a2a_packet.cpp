#include "wire/a2a_packet.h"

#include <cstring>

uint16_t a2aRead16(const uint8_t* packet, size_t offset)
{
    return static_cast<uint16_t>(packet[offset] | (packet[offset + 1] << 8));
}

void a2aWrite16(uint8_t* packet, size_t offset, uint16_t value)
{
    packet[offset] = static_cast<uint8_t>(value & 0xff);
    packet[offset + 1] = static_cast<uint8_t>(value >> 8);
}

uint32_t a2aRead32(const uint8_t* packet, size_t offset)
{
    return static_cast<uint32_t>(packet[offset]) | (static_cast<uint32_t>(packet[offset + 1]) << 8)
           | (static_cast<uint32_t>(packet[offset + 2]) << 16) | (static_cast<uint32_t>(packet[offset + 3]) << 24);
}

void a2aWrite32(uint8_t* packet, size_t offset, uint32_t value)
{
    for (size_t i = 0; i < 4; ++i)
        packet[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void initA2AHeader(uint8_t* packet)
{
    std::memset(packet, 0, kA2AHeaderSize);
    a2aWrite16(packet, kA2AOffHeaderSize, kA2AHeaderSize);
    a2aWrite16(packet, kA2AOffWord4, 2);
    a2aWrite16(packet, kA2AOffWord6, 1);
}

int32_t checkA2APacket(const uint8_t* packet, size_t entrySize, size_t dataLimit)
{
    if (entrySize < kA2AHeaderSize)
        return 0;
    if (a2aHeaderSize(packet) != kA2AHeaderSize)
        return 0;
    size_t dataSize = a2aDataSize(packet);
    if (dataSize > entrySize - kA2AHeaderSize)
        return 0;
    if (dataSize > dataLimit)
        return 0;
    return 1;
}
