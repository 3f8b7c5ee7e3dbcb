// The compact form of texts: every text comes back exactly; hex texts take
// half the bytes.
#include "messenger/compact_text.h"

#include <gtest/gtest.h>

TEST(CompactText, EveryTextComesBackExactly)
{
    std::string allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.push_back(static_cast<char>(i));
    const std::string texts[] = {"",
                                 "0",
                                 "00",
                                 "0123456789abcdef",
                                 "ABCDEF",
                                 "abcdeg",
                                 "a1b",
                                 "12 34",
                                 std::string(20560, 'f'),
                                 allBytes,
                                 std::string("\1\2", 2)};
    for (const std::string& t : texts) {
        std::string back = "untouched";
        ASSERT_TRUE(unpackText(packText(t), back)) << t;
        EXPECT_EQ(back, t);
    }
}

TEST(CompactText, LowerCaseHexOfEvenLengthTravelsAsItsBytes)
{
    // A full packet: 10280 bytes of header and data, 20560 hex digits.
    std::string hex;
    for (int i = 0; i < 10280; ++i)
        hex += "0123456789abcdef"[i % 16], hex += "fedcba9876543210"[i % 16];
    std::string packed = packText(hex);
    EXPECT_EQ(packed.size(), 1u + 10280u);
    EXPECT_EQ(packText("00ff"), std::string("\1\0\xff", 3));
    EXPECT_EQ(packText("00FF"), std::string("\0"
                                            "00FF",
                                            5));
}

TEST(CompactText, BlocksWithoutAValidTagAreRefused)
{
    std::string text = "kept";
    EXPECT_FALSE(unpackText("", text));
    EXPECT_FALSE(unpackText(std::string("\2ab", 3), text));
    EXPECT_FALSE(unpackText(std::string("\1", 1), text));  // a hex text is never empty
    EXPECT_EQ(text, "kept");
}
