// Reading command lines: what the core's tests do not show of the parse,
// and the error answer for anything else.
#include "messenger/command.h"

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
