// Reading command lines: what the core's tests do not show of the parse,
// and the error answer for anything else. The compact form of texts: every
// text comes back exactly, hex texts take half the bytes, and a block
// without a valid tag is refused (which texts the core packs is in
// messenger_core_test).
#include "messenger/core/command.h"
#include "messenger/core/compact_text.h"

#include <gtest/gtest.h>

TEST(MessengerCommand, TextsIdsAndKeywordsInAnyCase)
{
    Command c = parseCommand("alter application X write bob@h.test:12 28000000 with blanks  ");
    EXPECT_EQ(c.kind, CommandKind::Write);
    EXPECT_EQ(c.app, "X");
    EXPECT_EQ(c.user, "bob@h.test");
    EXPECT_EQ(c.id, 12);
    EXPECT_EQ(c.text, "28000000 with blanks  ");
    EXPECT_EQ(parseCommand("search friends").kind, CommandKind::SearchFriends);
    EXPECT_EQ(parseCommand("ALTER APPLICATION X WRITE bob:1 " + std::string(kMaxTextLength, 'a')).kind,
              CommandKind::Write);
}

TEST(MessengerCommand, AnythingElseIsAnError)
{
    const std::string invalid = "ERROR 3 Invalid stream, expected <handle>:<id>";
    struct Case {
        std::string line;
        std::string answer;
    } cases[] = {
        {"", "ERROR 2 Unknown command"},
        {"HELLO", "ERROR 2 Unknown command"},
        {"SEARCH FRIENDS NOW", "ERROR 2 Unknown command"},
        {"GET USER bob ONLINE", "ERROR 2 Unknown command"},
        {"CREATE APPLICATION", "ERROR 2 Unknown command"},
        {"ALTER APPLICATION X JUMP bob:1", "ERROR 2 Unknown command"},
        {"ALTER APPLICATION X READ bob", invalid},
        {"ALTER APPLICATION X READ bob:0", invalid},
        {"ALTER APPLICATION X READ bob:1x", invalid},
        {"ALTER APPLICATION X READ :1", invalid},
        {"ALTER APPLICATION X READ bob:99999999999", invalid},
        {"ALTER APPLICATION X READ bob:1 more", "ERROR 3 Unexpected text after the stream"},
        {"ALTER APPLICATION X WRITE bob:1", "ERROR 3 WRITE needs a text"},
        {"ALTER APPLICATION X CONNECT", "ERROR 7 Invalid user handle"},
        {"ALTER APPLICATION X WRITE bob:1 " + std::string(kMaxTextLength + 1, 'a'), "ERROR 542 Text too long"},
    };
    for (const Case& c : cases) {
        Command cmd = parseCommand(c.line);
        EXPECT_EQ(cmd.kind, CommandKind::Invalid) << c.line;
        EXPECT_EQ(errorLine(cmd.errorCode, cmd.errorText), c.answer) << c.line;
    }
}

TEST(CompactText, EveryTextComesBackExactlyAndBadTagsAreRefused)
{
    std::string allBytes;
    for (int i = 0; i < 256; ++i)
        allBytes.push_back(static_cast<char>(i));
    for (const std::string& t :
         {std::string(), std::string("0"), std::string("0123456789abcdef"), std::string("abcdeg"), std::string("00AB"),
          std::string("12 34"), allBytes, std::string("\1\2", 2)}) {
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
