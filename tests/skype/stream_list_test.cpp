// The reader of STREAMS, SENDING and RECEIVED lists: each item "user:id"
// (with "=bytes" in the last two); a malformed item voids the whole list.
#include "skype/stream_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Kind = StreamListKind;
using Result = StreamListResult;

struct Entry {
    std::string user;
    int id;
    int bytes;
};

struct Case {
    std::string text;
    Kind kind;
    Result result;
    std::vector<Entry> entries;
};

TEST(StreamList, ItemsAndErrors)
{
    const std::string u255(255, 'u');
    const std::vector<Case> cases = {
        // Nothing or one bare word means no stream at all.
        {"", Kind::Streams, Result::Empty, {}},
        {"abc123", Kind::Streams, Result::Empty, {}},
        {" abc123", Kind::Streams, Result::Empty, {}},
        {"", Kind::Received, Result::Empty, {}},
        // Blanks and commas separate items, in order; names are read whole.
        {"user1:1 user2:2", Kind::Streams, Result::Entries, {{"user1", 1, 0}, {"user2", 2, 0}}},
        {"user1:1,user2:2", Kind::Streams, Result::Entries, {{"user1", 1, 0}, {"user2", 2, 0}}},
        {"taro.yamada-2_x@example.org:17", Kind::Streams, Result::Entries, {{"taro.yamada-2_x@example.org", 17, 0}}},
        // An id that is not a number counts as zero, or up to its first letter.
        {"user1:abc user2:12x", Kind::Streams, Result::Entries, {{"user1", 0, 0}, {"user2", 12, 0}}},
        // A blank after the last item starts an item without a user.
        {"user1:1 ", Kind::Streams, Result::NoUser, {}},
        {"user1:1 user2", Kind::Streams, Result::NoUser, {}},
        // An overlong word voids the list instead of overflowing; 255 fit.
        {std::string(300, 'u') + ":1", Kind::Streams, Result::TooLong, {}},
        {"user1:1 user2:" + std::string(300, '7'), Kind::Streams, Result::TooLong, {}},
        {u255 + ":3", Kind::Streams, Result::Entries, {{u255, 3, 0}}},
        // Items carry their byte counts.
        {"user1:1=120 user2:2=40", Kind::Sending, Result::Entries, {{"user1", 1, 120}, {"user2", 2, 40}}},
        {"user1:1=120 user2:2=40", Kind::Received, Result::Entries, {{"user1", 1, 120}, {"user2", 2, 40}}},
        {"user1:1=10 user2:2", Kind::Sending, Result::NoId, {}},
        {"user1:1", Kind::Received, Result::NoId, {}},
        {"user1=5", Kind::Sending, Result::NoUser, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE('"' + c.text.substr(0, 40) + "\" kind " + std::to_string(static_cast<int>(c.kind)));
        std::vector<StreamEntry> entries = {{"stale", 9, 9}};
        EXPECT_EQ(c.result, parseStreamList(c.text.c_str(), c.kind, entries));
        ASSERT_EQ(c.entries.size(), entries.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(c.entries[i].user, entries[i].user);
            EXPECT_EQ(c.entries[i].id, entries[i].id);
            EXPECT_EQ(c.entries[i].bytes, entries[i].bytes);
        }
    }
}

}  // namespace
