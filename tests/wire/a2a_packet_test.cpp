#include "wire/a2a_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/text.h"

namespace {

std::string hexOf(const uint8_t* p, int32_t n)
{
    char text[200];
    EXPECT_EQ(1, hexEncode(n, p, text, sizeof(text)));
    return text;
}

TEST(A2APacketHeader, FreshHeaderEncodesAsFixedWordsThenZeros)
{
    uint8_t packet[kA2AHeaderSize];
    std::memset(packet, 0xAB, sizeof(packet));
    initA2AHeader(packet);
    EXPECT_EQ("2800000002000100" + std::string(64, '0'), hexOf(packet, kA2AHeaderSize));
}

TEST(A2APacketHeader, ConnectRequestOfTheSixthPacketMatchesTheWireExample)
{
    uint8_t packet[kA2AHeaderSize];
    initA2AHeader(packet);
    setA2APort(packet, 80);
    setA2AKind(packet, kA2AKindControl);
    setA2ACode(packet, kA2ACodeConnectRequest);
    setA2AMainLinkState(packet, 2);
    setA2AMainLinkFree(packet, 30);
    setA2ASeq(packet, 5);
    EXPECT_EQ(
        "2800"
        "0000"
        "0200"
        "0100"
        "5000"
        "0100"
        "0100"
        "0000"
        "0000"
        "0000"
        "0200"
        "1e00"
        "0000"
        "0000"
        "0500"
        "0000"
        "0000"
        "0000"
        "0000"
        "0000",
        hexOf(packet, kA2AHeaderSize));
}

TEST(A2APacketHeader, FieldsAreLittleEndianAtTheirOffsets)
{
    uint8_t packet[kA2AHeaderSize] = {};
    setA2ADataSize(packet, 0x1234);
    setA2AError(packet, 0xBEEF);
    setA2ASeq(packet, 0x01020304);
    EXPECT_EQ(0x34, packet[2]);
    EXPECT_EQ(0x12, packet[3]);
    EXPECT_EQ(0xEF, packet[18]);
    EXPECT_EQ(0xBE, packet[19]);
    EXPECT_EQ(0x04, packet[28]);
    EXPECT_EQ(0x03, packet[29]);
    EXPECT_EQ(0x02, packet[30]);
    EXPECT_EQ(0x01, packet[31]);
    EXPECT_EQ(0x1234, a2aDataSize(packet));
    EXPECT_EQ(0xBEEF, a2aError(packet));
    EXPECT_EQ(0x01020304u, a2aSeq(packet));
}

// A packet from the peer is only trusted when its header says 40 bytes and its
// dataSize fits what holds it.
TEST(A2APacketCheck, AcceptsOnlyHonestSizes)
{
    uint8_t packet[kA2AHeaderSize + kA2AMaxData] = {};
    initA2AHeader(packet);
    const size_t entry = sizeof(packet);
    EXPECT_EQ(1, checkA2APacket(packet, entry, kA2AMaxData));
    setA2ADataSize(packet, kA2AMaxData);
    EXPECT_EQ(1, checkA2APacket(packet, entry, kA2AMaxData));
    setA2ADataSize(packet, kA2AMaxData + 1);
    EXPECT_EQ(0, checkA2APacket(packet, entry, kA2AMaxData));
    EXPECT_EQ(0, checkA2APacket(packet, entry, 65535));  // beyond the entry
    setA2ADataSize(packet, 100);
    EXPECT_EQ(0, checkA2APacket(packet, kA2AHeaderSize + 99, kA2AMaxData));
    EXPECT_EQ(0, checkA2APacket(packet, kA2AHeaderSize - 1, kA2AMaxData));
    a2aWrite16(packet, kA2AOffHeaderSize, 0);
    EXPECT_EQ(0, checkA2APacket(packet, entry, kA2AMaxData));
    a2aWrite16(packet, kA2AOffHeaderSize, 41);
    EXPECT_EQ(0, checkA2APacket(packet, entry, kA2AMaxData));
}

}  // namespace
