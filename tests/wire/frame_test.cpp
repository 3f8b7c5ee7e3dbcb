// Frames of the local socket: the byte layout, and the decoder fed at every
// split point and with each kind of protocol error.
#include "wire/api_frame.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

TEST(MessengerFrame, LayoutIsLengthTypePayload)
{
    EXPECT_EQ(
        "\x09\x00\x00\x00"s
        "A\x01\x80\x00\x00\x07\x00\x00\x00"s,
        encodeAttach(0x8001, 7));
    // length 10 = type + dwData + 4 letters + zero
    EXPECT_EQ(
        "\x0a\x00\x00\x00"s
        "C\x00\x00\x00\x00PING\x00"s,
        encodeCommand("PING"));
    EXPECT_EQ(
        "\x01\x00\x00\x00"s
        "D",
        encodeDiscover(""));
}

TEST(MessengerFrame, DecoderYieldsFramesWhateverTheSplit)
{
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
        EXPECT_EQ('D', got[0].type);
        EXPECT_EQ("prog", got[0].payload);
        EXPECT_EQ('C', got[1].type);
        EXPECT_EQ("SEARCH FRIENDS", got[1].text);
        EXPECT_EQ('A', got[2].type);
        EXPECT_EQ(3u, got[2].code);
        EXPECT_EQ("", got[3].text);
    }
}

TEST(MessengerFrame, ProtocolErrors)
{
    const std::pair<std::string, std::string> cases[] = {
        {"\x00\x00\x00\x00"s, "frame length 0 out of range"},
        {"\x01\x00\x10\x00"s, "frame length 1048577 out of range"},
        {"\x01\x00\x00\x00Z"s, "unknown frame type 0x5a"},
        {"\x06\x00\x00\x00"s
         "C\x00\x00\x00\x00x"s,
         "command frame not zero-terminated"},
        {"\x09\x00\x00\x00"s
         "C\x00\x00\x00\x00x\x00y\x00"s,
         "command text contains a zero byte"},
        {"\x02\x00\x00\x00"s
         "A\x00"s,
         "attach frame of 1 bytes"},
        {"\x00\x00\x10\x00"s, ""},  // the largest allowed length is no error by itself
    };
    for (const auto& [bytes, why] : cases) {
        FrameDecoder d;
        d.feed(bytes.data(), bytes.size());
        Frame f;
        EXPECT_EQ(why.empty() ? FrameDecoder::Result::NeedMore : FrameDecoder::Result::Error, d.next(f)) << why;
        EXPECT_EQ(why, d.error());
    }
}
