// The A2A packet header and the frames of the messenger's local socket.
#include <gtest/gtest.h>

#include <string>

#include "core/text.h"
#include "wire/a2a_packet.h"
#include "wire/api_frame.h"

using namespace std::string_literals;

namespace {

std::string hexOf(const uint8_t* p)
{
    char text[2 * kA2AHeaderSize + 1];
    EXPECT_EQ(1, hexEncode(kA2AHeaderSize, p, text, sizeof(text)));
    return text;
}

// A fresh header: size 40, version 2, 1. Each field little-endian at its offset.
TEST(A2APacket, FieldsAreLittleEndianAtTheirOffsets)
{
    uint8_t fresh[kA2AHeaderSize];
    std::fill(fresh, fresh + kA2AHeaderSize, 0xAB);
    initA2AHeader(fresh);
    EXPECT_EQ("2800000002000100" + std::string(64, '0'), hexOf(fresh));
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

// A peer's packet is trusted only when its header says 40 bytes and its
// dataSize fits what holds it.
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

// Length (type byte included), type, payload; the same frames wherever split.
TEST(MessengerFrame, LayoutAndEverySplit)
{
    EXPECT_EQ("\x09\0\0\0A\x01\x80\0\0\x07\0\0\0"s, encodeAttach(0x8001, 7));
    EXPECT_EQ("\x0a\0\0\0C\0\0\0\0PING\0"s, encodeCommand("PING"));
    EXPECT_EQ("\x01\0\0\0D"s, encodeDiscover(""));
    const std::string bytes =
        encodeDiscover("prog") + encodeCommand("SEARCH FRIENDS") + encodeAttach(3, 0) + encodeCommand("");
    for (size_t split = 0; split <= bytes.size(); ++split) {
        FrameDecoder d;
        std::vector<Frame> got;
        Frame f;
        FrameDecoder::Result r;
        for (const std::string& part : {bytes.substr(0, split), bytes.substr(split)}) {
            d.feed(part.data(), part.size());
            while ((r = d.next(f)) == FrameDecoder::Result::Frame)
                got.push_back(f);
        }
        EXPECT_EQ(FrameDecoder::Result::NeedMore, r);
        ASSERT_EQ(4u, got.size()) << "split " << split;
        EXPECT_EQ("prog", got[0].payload);
        EXPECT_EQ("SEARCH FRIENDS", got[1].text);
        EXPECT_EQ(3u, got[2].code);
        EXPECT_EQ('C', got[3].type);
        EXPECT_EQ("", got[3].text);
    }
}

TEST(MessengerFrame, ProtocolErrors)
{
    const std::pair<std::string, std::string> cases[] = {
        {"\0\0\0\0"s, "frame length 0 out of range"},
        {"\x01\0\x10\0"s, "frame length 1048577 out of range"},
        {"\x01\0\0\0Z"s, "unknown frame type 0x5a"},
        {"\x06\0\0\0C\0\0\0\0x"s, "command frame not zero-terminated"},
        {"\x09\0\0\0C\0\0\0\0x\0y\0"s, "command text contains a zero byte"},
        {"\x02\0\0\0A\0"s, "attach frame of 1 bytes"},
        {"\0\0\x10\0"s, ""},  // the largest allowed length is no error by itself
    };
    for (const auto& [bytes, why] : cases) {
        FrameDecoder d;
        d.feed(bytes.data(), bytes.size());
        Frame f;
        EXPECT_EQ(why.empty() ? FrameDecoder::Result::NeedMore : FrameDecoder::Result::Error, d.next(f)) << why;
        EXPECT_EQ(why, d.error());
    }
}

}  // namespace
