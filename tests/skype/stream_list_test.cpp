#include "skype/stream_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Kind = StreamListKind;
using Result = StreamListResult;

struct Parsed {
    Result result;
    std::vector<StreamEntry> entries;
};

Parsed parse(const std::string& list, Kind kind)
{
    Parsed p;
    p.entries.push_back({"stale", 9, 9});
    p.result = parseStreamList(list.c_str(), kind, p.entries);
    return p;
}

void expectEntry(const StreamEntry& e, const std::string& user, int id, int bytes = 0)
{
    EXPECT_EQ(user, e.user);
    EXPECT_EQ(id, e.id);
    EXPECT_EQ(bytes, e.bytes);
}

}  // namespace

TEST(StreamsList, NothingOrOneBareWordMeansNoStreamAtAll)
{
    for (const char* text : {"", "   ", "abc123", " abc123"}) {
        Parsed p = parse(text, Kind::Streams);
        EXPECT_EQ(Result::Empty, p.result) << '"' << text << '"';
        EXPECT_TRUE(p.entries.empty());
    }
}

TEST(StreamsList, BlanksAndCommasSeparateItemsInOrder)
{
    for (const char* text : {"user1:1 user2:2", "user1:1,user2:2"}) {
        Parsed p = parse(text, Kind::Streams);
        ASSERT_EQ(Result::Entries, p.result) << text;
        ASSERT_EQ(2u, p.entries.size());
        expectEntry(p.entries[0], "user1", 1);
        expectEntry(p.entries[1], "user2", 2);
    }
}

TEST(StreamsList, NamesWithDotsDashesUnderscoresAndAtAreReadWhole)
{
    Parsed p = parse("taro.yamada-2_x@example.org:17", Kind::Streams);
    ASSERT_EQ(Result::Entries, p.result);
    ASSERT_EQ(1u, p.entries.size());
    expectEntry(p.entries[0], "taro.yamada-2_x@example.org", 17);
}

TEST(StreamsList, MalformedItemVoidsTheWholeList)
{
    // A blank after the last item starts an item without a user.
    EXPECT_EQ(Result::NoUser, parse("user1:1 ", Kind::Streams).result);
    Parsed p = parse("user1:1 user2", Kind::Streams);
    EXPECT_EQ(Result::NoUser, p.result);
    EXPECT_TRUE(p.entries.empty());
}

TEST(StreamsList, IdThatIsNotANumberCountsAsZero)
{
    Parsed p = parse("user1:abc user2:12x", Kind::Streams);
    ASSERT_EQ(Result::Entries, p.result);
    expectEntry(p.entries[0], "user1", 0);
    expectEntry(p.entries[1], "user2", 12);
}

TEST(StreamsList, OverlongWordVoidsTheListInsteadOfOverflowing)
{
    std::string longUser(300, 'u');
    EXPECT_EQ(Result::TooLong, parse(longUser + ":1", Kind::Streams).result);
    EXPECT_EQ(Result::TooLong, parse("user1:1 user2:" + std::string(300, '7'), Kind::Streams).result);
    EXPECT_EQ(Result::TooLong, parse(std::string(300, 'w'), Kind::Streams).result);
    // 255 characters still fit.
    Parsed p = parse(std::string(255, 'u') + ":3", Kind::Streams);
    ASSERT_EQ(Result::Entries, p.result);
    EXPECT_EQ(255u, p.entries[0].user.size());
}

TEST(SendingList, ItemsCarryTheirByteCounts)
{
    Parsed p = parse("user1:1=120 user2:2=40", Kind::Sending);
    ASSERT_EQ(Result::Entries, p.result);
    ASSERT_EQ(2u, p.entries.size());
    expectEntry(p.entries[0], "user1", 1, 120);
    expectEntry(p.entries[1], "user2", 2, 40);
    EXPECT_EQ(Result::Empty, parse("", Kind::Sending).result);
}

TEST(SendingList, ItemWithoutEqualsSignHasNoId)
{
    Parsed p = parse("user1:1=10 user2:2", Kind::Sending);
    EXPECT_EQ(Result::NoId, p.result);
    EXPECT_TRUE(p.entries.empty());
    EXPECT_EQ(Result::NoUser, parse("user1=5", Kind::Sending).result);
}

TEST(ReceivedList, FirstItemComesFirst)
{
    Parsed p = parse("user1:1=120 user2:2=40", Kind::Received);
    ASSERT_EQ(Result::Entries, p.result);
    ASSERT_EQ(2u, p.entries.size());
    expectEntry(p.entries[0], "user1", 1, 120);
    expectEntry(p.entries[1], "user2", 2, 40);
    EXPECT_EQ(Result::NoId, parse("user1:1", Kind::Received).result);
    EXPECT_EQ(Result::Empty, parse("", Kind::Received).result);
}
