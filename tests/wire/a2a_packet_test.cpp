#include "wire/a2a_packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/text.h"

namespace {

std::string hexOf(const uint8_t* p)
{
    char text[2 * kA2AHeaderSize + 1];
    EXPECT_EQ(1, hexEncode(kA2AHeaderSize, p, text, sizeof(text)));
    return text;
}

// The CONNECT-REQUEST of the sixth packet: size 40, data size 0, version 2,
// 1, port 80, kind 1, code 1, result 0, error 0, reserved, main link 2 with
// 30 free, data link 0 with 0 free, seq 5, reserved.
TEST(A2APacket, ConnectRequestMatchesTheWireExample)
{
    uint8_t packet[kA2AHeaderSize];
    std::memset(packet, 0xAB, sizeof(packet));
    initA2AHeader(packet);
    EXPECT_EQ("2800000002000100" + std::string(64, '0'), hexOf(packet));
    setA2APort(packet, 80);
    setA2AKind(packet, kA2AKindControl);
    setA2ACode(packet, kA2ACodeConnectRequest);
    setA2AMainLinkState(packet, 2);
    setA2AMainLinkFree(packet, 30);
    setA2ASeq(packet, 5);
    EXPECT_EQ("280000000200010050000100010000000000000002001e0000000000050000000000000000000000", hexOf(packet));
}

// Each field little-endian at its offset, read back by its getter; the bytes
// around it stay zero.
TEST(A2APacket, FieldsAreLittleEndianAtTheirOffsets)
{
    struct Field {
        void (*set)(uint8_t*, uint16_t);
        uint16_t (*get)(const uint8_t*);
        size_t offset;
    };
    for (const Field& f :
         {Field{setA2ADataSize, a2aDataSize, 2}, Field{setA2APort, a2aPort, 8}, Field{setA2AKind, a2aKind, 10},
          Field{setA2ACode, a2aCode, 12}, Field{setA2AResult, a2aResult, 16}, Field{setA2AError, a2aError, 18},
          Field{setA2AMainLinkState, a2aMainLinkState, 20}, Field{setA2AMainLinkFree, a2aMainLinkFree, 22},
          Field{setA2ADataLinkState, a2aDataLinkState, 24}, Field{setA2ADataLinkFree, a2aDataLinkFree, 26}}) {
        uint8_t packet[kA2AHeaderSize] = {};
        f.set(packet, 0xBEEF);
        EXPECT_EQ(std::string(2 * kA2AHeaderSize, '0').replace(2 * f.offset, 4, "efbe"), hexOf(packet)) << f.offset;
        EXPECT_EQ(0xBEEF, f.get(packet)) << f.offset;
    }
    uint8_t packet[kA2AHeaderSize] = {};
    setA2ASeq(packet, 0x01020304);
    EXPECT_EQ(std::string(56, '0') + "04030201" + std::string(16, '0'), hexOf(packet));
    EXPECT_EQ(0x01020304u, a2aSeq(packet));
}

// A packet from the peer is only trusted when its header says 40 bytes and
// its dataSize fits what holds it.
TEST(A2APacket, CheckAcceptsOnlyHonestSizes)
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
    for (uint16_t headerSize : {0, 41}) {
        a2aWrite16(packet, kA2AOffHeaderSize, headerSize);
        EXPECT_EQ(0, checkA2APacket(packet, entry, kA2AMaxData)) << headerSize;
    }
}

}  // namespace
