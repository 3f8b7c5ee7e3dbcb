#include "core/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

TEST(HexCodec, EncodesLowerCaseWithLeadingZeros)
{
    const uint8_t bytes[] = {0x00, 0x7f, 0xff};
    char out[7];
    EXPECT_EQ(1, hexEncode(3, bytes, out, sizeof(out)));
    EXPECT_STREQ("007fff", out);
    EXPECT_EQ(1, hexEncode(0, bytes, out, sizeof(out)));
    EXPECT_STREQ("", out);
}

TEST(HexCodec, EncodeRefusesASmallDestination)
{
    const uint8_t bytes[] = {1, 2, 3};
    char out[6] = "xxxxx";
    EXPECT_EQ(0, hexEncode(3, bytes, out, sizeof(out)));
    EXPECT_STREQ("", out);
}

TEST(HexCodec, DecodesEitherCase)
{
    uint8_t out[3];
    EXPECT_EQ(3, hexDecode("007FFF", out, sizeof(out)));
    EXPECT_EQ(0x00, out[0]);
    EXPECT_EQ(0x7f, out[1]);
    EXPECT_EQ(0xff, out[2]);
    std::memset(out, 0xaa, sizeof(out));
    EXPECT_EQ(3, hexDecode("007fff", out, sizeof(out)));
    EXPECT_EQ(0xff, out[2]);
}

TEST(HexCodec, OddLengthIsRefusedAndBadDigitsAreZero)
{
    uint8_t out[4] = {9, 9, 9, 9};
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, hexDecode("abc", out, sizeof(out)));
    EXPECT_EQ("受信データの文字数が奇数です\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(9, out[0]);
    EXPECT_EQ(1, hexDecode("zz", out, sizeof(out)));
    EXPECT_EQ(0, out[0]);
    EXPECT_EQ(0, hexDecode("", out, sizeof(out)));
}

TEST(HexCodec, DecodeNeverWritesPastTheDestination)
{
    // Guard bytes around a 4-byte destination.
    uint8_t buf[8] = {0xee, 0xee, 0, 0, 0, 0, 0xee, 0xee};
    EXPECT_EQ(0, hexDecode("0102030405", buf + 2, 4));
    EXPECT_EQ(0, buf[2]);
    EXPECT_EQ(0xee, buf[6]);
    EXPECT_EQ(4, hexDecode("01020304", buf + 2, 4));
    EXPECT_EQ(0xee, buf[6]);
    EXPECT_EQ(0xee, buf[1]);
}

TEST(HexCodec, RoundTripOfEveryByteValue)
{
    std::vector<uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    std::vector<char> text(513);
    ASSERT_EQ(1, hexEncode(256, all.data(), text.data(), text.size()));
    std::vector<uint8_t> back(256);
    ASSERT_EQ(256, hexDecode(text.data(), back.data(), back.size()));
    EXPECT_EQ(all, back);
}

TEST(NextToken, DelimiterCommaSkipsLeadingBlanks)
{
    char tok[256];
    const char* rest = nextToken("  192,168", tok, ",", sizeof(tok));
    EXPECT_STREQ("192", tok);
    ASSERT_NE(nullptr, rest);
    EXPECT_STREQ("168", rest);
    rest = nextToken(rest, tok, ",", sizeof(tok));
    EXPECT_STREQ("168", tok);
    EXPECT_EQ(nullptr, rest);
}

TEST(NextToken, DelimiterAtTheStartGivesAnEmptyToken)
{
    char tok[256];
    const char* rest = nextToken(",5", tok, ",", sizeof(tok));
    EXPECT_STREQ("", tok);
    ASSERT_NE(nullptr, rest);
    EXPECT_STREQ("5", rest);
}

TEST(NextToken, WithoutDelimiterPunctuationEndsAndIsConsumed)
{
    char tok[256];
    const char* src = "1,2)\r\n";
    const char* rest = nextToken(src, tok, nullptr, sizeof(tok));
    EXPECT_STREQ("1", tok);
    ASSERT_NE(nullptr, rest);
    EXPECT_EQ(src + 2, rest);
    rest = nextToken(rest, tok, nullptr, sizeof(tok));
    EXPECT_STREQ("2", tok);
    ASSERT_NE(nullptr, rest);
    EXPECT_EQ('\r', *rest);
}

TEST(NextToken, WhiteSpaceEndsATokenEvenWithADelimiter)
{
    char tok[256];
    const char* rest = nextToken("ab cd", tok, ",", sizeof(tok));
    EXPECT_STREQ("ab", tok);
    ASSERT_NE(nullptr, rest);
    EXPECT_STREQ("cd", rest);
}

TEST(NextToken, OnlyTheFirstDelimiterCharacterCounts)
{
    char tok[256];
    const char* rest = nextToken("a.b:c", tok, ":.", sizeof(tok));
    EXPECT_STREQ("a.b", tok);
    ASSERT_NE(nullptr, rest);
    EXPECT_STREQ("c", rest);
}

TEST(NextToken, HighBytesAreTokenCharacters)
{
    char tok[256];
    // "ＦＴＰ" in UTF-8 followed by a blank: no byte of it ends the token.
    const char* rest = nextToken("\xef\xbc\xa6\xef\xbc\xb4 x", tok, nullptr, sizeof(tok));
    EXPECT_STREQ("\xef\xbc\xa6\xef\xbc\xb4", tok);
    ASSERT_NE(nullptr, rest);
    EXPECT_STREQ("x", rest);
}

TEST(NextToken, ALongTokenIsCutSafelyAndReported)
{
    std::string longWord(300, 'a');
    std::string src = longWord + " next";
    char tok[256];
    std::memset(tok, 0, sizeof(tok));
    bool tooLong = false;
    const char* rest = nextToken(src.c_str(), tok, nullptr, sizeof(tok), &tooLong);
    EXPECT_TRUE(tooLong);
    EXPECT_EQ(255u, std::strlen(tok));
    ASSERT_NE(nullptr, rest);
    EXPECT_STREQ("next", rest);

    rest = nextToken(rest, tok, nullptr, sizeof(tok), &tooLong);
    EXPECT_FALSE(tooLong);
    EXPECT_STREQ("next", tok);
}

TEST(ToUpper, OnlyAsciiLettersChange)
{
    char s[] = "227 entering passive mode (\xe3\x81\x82z";
    toUpperInPlace(s);
    EXPECT_STREQ("227 ENTERING PASSIVE MODE (\xe3\x81\x82Z", s);
}
