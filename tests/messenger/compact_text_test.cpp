// The compact form of texts: every text comes back exactly, hex texts take
// half the bytes, and a block without a valid tag is refused. Which texts
// the core packs is in messenger_core_test.
#include "messenger/compact_text.h"

#include <gtest/gtest.h>

TEST(CompactText, EveryTextComesBackExactlyAndBadTagsAreRefused)
{
    std::string allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.push_back(static_cast<char>(i));
    for (const std::string& t : {std::string(), std::string("0"), std::string("0123456789abcdef"),
                                 std::string("abcdeg"), std::string("12 34"), allBytes, std::string("\1\2", 2)}) {
        std::string back = "untouched";
        ASSERT_TRUE(unpackText(packText(t), back)) << t;
        EXPECT_EQ(back, t);
    }
    // A full packet: 10280 bytes of header and data, 20560 hex digits.
    EXPECT_EQ(packText(std::string(20560, 'f')).size(), 1u + 10280u);
    std::string text = "kept";
    for (const std::string& bad : {std::string(), std::string("\2ab", 3), std::string("\1", 1)})
        EXPECT_FALSE(unpackText(bad, text));
    EXPECT_EQ(text, "kept");
}
