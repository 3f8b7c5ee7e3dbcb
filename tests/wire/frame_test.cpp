// Frames of the local socket: the byte layout, and the decoder fed at every
// split point and with each kind of protocol error.
#include "wire/api_frame.h"

#include <gtest/gtest.h>

TEST(MessengerFrame, LayoutIsLengthTypePayload)
{
    std::string a = encodeAttach(0x8001, 7);
    EXPECT_EQ(a, std::string("\x09\x00\x00\x00"
                             "A"
                             "\x01\x80\x00\x00"
                             "\x07\x00\x00\x00",
                             13));
    std::string c = encodeCommand("PING");
    // length 10 = type + dwData + 4 letters + zero
    EXPECT_EQ(c, std::string("\x0a\x00\x00\x00"
                             "C"
                             "\x00\x00\x00\x00"
                             "PING\x00",
                             14));
    EXPECT_EQ(encodeDiscover(""), std::string("\x01\x00\x00\x00"
                                              "D",
                                              5));
}

TEST(MessengerFrame, DecoderYieldsFramesWhateverTheSplit)
{
    std::string stream =
        encodeDiscover("prog") + encodeCommand("SEARCH FRIENDS") + encodeAttach(3, 0) + encodeCommand("");
    for (size_t split = 0; split <= stream.size(); ++split) {
        FrameDecoder d;
        std::vector<Frame> got;
        Frame f;
        d.feed(stream.data(), split);
        while (d.next(f) == FrameDecoder::Result::Frame)
            got.push_back(f);
        d.feed(stream.data() + split, stream.size() - split);
        FrameDecoder::Result r;
        while ((r = d.next(f)) == FrameDecoder::Result::Frame)
            got.push_back(f);
        EXPECT_EQ(r, FrameDecoder::Result::NeedMore);
        ASSERT_EQ(got.size(), 4u) << "split " << split;
        EXPECT_EQ(got[0].type, 'D');
        EXPECT_EQ(got[0].payload, "prog");
        EXPECT_EQ(got[1].type, 'C');
        EXPECT_EQ(got[1].text, "SEARCH FRIENDS");
        EXPECT_EQ(got[2].type, 'A');
        EXPECT_EQ(got[2].code, 3u);
        EXPECT_EQ(got[3].text, "");
    }
}

TEST(MessengerFrame, ProtocolErrors)
{
    struct Case {
        std::string bytes;
        std::string why;
    } cases[] = {
        {std::string("\x00\x00\x00\x00", 4), "frame length 0 out of range"},
        {std::string("\x01\x00\x10\x00", 4), "frame length 1048577 out of range"},
        {std::string("\x01\x00\x00\x00Z", 5), "unknown frame type 0x5a"},
        {std::string("\x06\x00\x00\x00"
                     "C\x00\x00\x00\x00x",
                     10),
         "command frame not zero-terminated"},
        {std::string("\x09\x00\x00\x00"
                     "C"
                     "\x00\x00\x00\x00"
                     "x\x00y\x00",
                     13),
         "command text contains a zero byte"},
        {std::string("\x02\x00\x00\x00"
                     "A\x00",
                     6),
         "attach frame of 1 bytes"},
    };
    for (const Case& c : cases) {
        FrameDecoder d;
        d.feed(c.bytes.data(), c.bytes.size());
        Frame f;
        EXPECT_EQ(d.next(f), FrameDecoder::Result::Error) << c.why;
        EXPECT_EQ(d.error(), c.why);
    }
    // The largest allowed length is not an error by itself.
    FrameDecoder d;
    d.feed("\x00\x00\x10\x00", 4);
    Frame f;
    EXPECT_EQ(d.next(f), FrameDecoder::Result::NeedMore);
}
