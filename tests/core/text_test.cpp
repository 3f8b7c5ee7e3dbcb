#include "core/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

TEST(HexCodec, EncodesLowerCaseRoundTripsEveryByteAndRefusesBadInput)
{
    const uint8_t bytes[] = {0x00, 0x7f, 0xff};
    char out[7] = "xxxxxx";
    EXPECT_EQ(1, hexEncode(3, bytes, out, sizeof(out)));
    EXPECT_STREQ("007fff", out);
    char small[6] = "xxxxx";
    EXPECT_EQ(0, hexEncode(3, bytes, small, sizeof(small)));
    EXPECT_STREQ("", small);

    std::vector<uint8_t> all(256), back(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    std::vector<char> text(513);
    ASSERT_EQ(1, hexEncode(256, all.data(), text.data(), text.size()));
    ASSERT_EQ(256, hexDecode(text.data(), back.data(), back.size()));
    EXPECT_EQ(all, back);
    uint8_t dec[3];
    EXPECT_EQ(3, hexDecode("007FfF", dec, sizeof(dec)));
    EXPECT_EQ((std::vector<uint8_t>{0x00, 0x7f, 0xff}), std::vector<uint8_t>(dec, dec + 3));

    // Odd length is refused untouched; a bad digit reads as zero.
    uint8_t four[4] = {9, 9, 9, 9};
    EXPECT_EQ(0, hexDecode("abc", four, sizeof(four)));
    EXPECT_EQ(9, four[0]);
    EXPECT_EQ(1, hexDecode("zz", four, sizeof(four)));
    EXPECT_EQ(0, four[0]);
    EXPECT_EQ(0, hexDecode("", four, sizeof(four)));

    // Guard bytes around a 4-byte destination: too long is refused.
    uint8_t buf[8] = {0xee, 0xee, 0, 0, 0, 0, 0xee, 0xee};
    EXPECT_EQ(0, hexDecode("0102030405", buf + 2, 4));
    EXPECT_EQ(0, buf[2]);
    EXPECT_EQ(4, hexDecode("01020304", buf + 2, 4));
    EXPECT_EQ(0xee, buf[1]);
    EXPECT_EQ(0xee, buf[6]);
}

// Blanks before a token are skipped; a token ends at white space, at the
// first character of the delimiter (then consumed) or, without a delimiter,
// at punctuation (consumed too). Bytes above 0x7f belong to the token.
TEST(NextToken, TokensAndWhatFollowsThem)
{
    struct Case {
        const char *src, *delimiter, *token, *rest;  // rest nullptr: the end was reached
    } cases[] = {
        {"  192,168", ",", "192", "168"},
        {"168", ",", "168", nullptr},
        {",5", ",", "", "5"},
        {"1,2)\r\n", nullptr, "1", "2)\r\n"},
        {"2)\r\n", nullptr, "2", "\r\n"},
        {"ab cd", ",", "ab", "cd"},
        {"a.b:c", ":.", "a.b", "c"},
        {"\xef\xbc\xa6\xef\xbc\xb4 x", nullptr, "\xef\xbc\xa6\xef\xbc\xb4", "x"},  // "ＦＴＰ"
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.src);
        char tok[256];
        const char* rest = nextToken(c.src, tok, c.delimiter, sizeof(tok));
        EXPECT_STREQ(c.token, tok);
        EXPECT_STREQ(c.rest, rest);
    }

    std::string src = std::string(300, 'a') + " next";
    char tok[256];
    bool tooLong = false;
    const char* rest = nextToken(src.c_str(), tok, nullptr, sizeof(tok), &tooLong);
    EXPECT_TRUE(tooLong);
    EXPECT_EQ(255u, std::strlen(tok));
    EXPECT_STREQ("next", rest);
    nextToken(rest, tok, nullptr, sizeof(tok), &tooLong);
    EXPECT_FALSE(tooLong);

    char s[] = "227 entering passive mode (\xe3\x81\x82z";
    toUpperInPlace(s);
    EXPECT_STREQ("227 ENTERING PASSIVE MODE (\xe3\x81\x82Z", s);
}
