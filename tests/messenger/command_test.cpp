// Reading command lines: every command of the set, and the error answer for
// anything else.
#include "messenger/command.h"

#include <gtest/gtest.h>

TEST(MessengerCommand, EveryCommandOfTheSet)
{
    Command c = parseCommand("SEARCH FRIENDS");
    EXPECT_EQ(c.kind, CommandKind::SearchFriends);
    EXPECT_EQ(parseCommand("GET CURRENTUSERHANDLE").kind, CommandKind::GetCurrentUserHandle);
    c = parseCommand("GET USER bob@h.test ONLINESTATUS");
    EXPECT_EQ(c.kind, CommandKind::GetOnlineStatus);
    EXPECT_EQ(c.user, "bob@h.test");
    c = parseCommand("GET APPLICATION CorvaneForFtp0000 CONNECTABLE");
    EXPECT_EQ(c.kind, CommandKind::GetConnectable);
    EXPECT_EQ(c.app, "CorvaneForFtp0000");
    EXPECT_EQ(parseCommand("CREATE APPLICATION X").kind, CommandKind::CreateApplication);
    EXPECT_EQ(parseCommand("DELETE APPLICATION X").kind, CommandKind::DeleteApplication);
    c = parseCommand("ALTER APPLICATION X CONNECT bob@h.test");
    EXPECT_EQ(c.kind, CommandKind::Connect);
    EXPECT_EQ(c.user, "bob@h.test");
    c = parseCommand("ALTER APPLICATION X WRITE bob@h.test:12 28000000 with blanks  ");
    EXPECT_EQ(c.kind, CommandKind::Write);
    EXPECT_EQ(c.user, "bob@h.test");
    EXPECT_EQ(c.id, 12);
    EXPECT_EQ(c.text, "28000000 with blanks  ");
    c = parseCommand("ALTER APPLICATION X READ bob@h.test:3");
    EXPECT_EQ(c.kind, CommandKind::Read);
    EXPECT_EQ(c.id, 3);
    c = parseCommand("ALTER APPLICATION X DISCONNECT bob@h.test:4");
    EXPECT_EQ(c.kind, CommandKind::Disconnect);
    EXPECT_EQ(c.id, 4);
    // Keywords in any case.
    EXPECT_EQ(parseCommand("search friends").kind, CommandKind::SearchFriends);
}

TEST(MessengerCommand, AnythingElseIsAnError)
{
    struct Case {
        const char* line;
        const char* answer;
    } cases[] = {
        {"", "ERROR 2 Unknown command"},
        {"HELLO", "ERROR 2 Unknown command"},
        {"SEARCH FRIENDS NOW", "ERROR 2 Unknown command"},
        {"GET USER bob ONLINE", "ERROR 2 Unknown command"},
        {"CREATE APPLICATION", "ERROR 2 Unknown command"},
        {"ALTER APPLICATION X JUMP bob:1", "ERROR 2 Unknown command"},
        {"ALTER APPLICATION X READ bob", "ERROR 3 Invalid stream, expected <handle>:<id>"},
        {"ALTER APPLICATION X READ bob:0", "ERROR 3 Invalid stream, expected <handle>:<id>"},
        {"ALTER APPLICATION X READ bob:1x", "ERROR 3 Invalid stream, expected <handle>:<id>"},
        {"ALTER APPLICATION X READ :1", "ERROR 3 Invalid stream, expected <handle>:<id>"},
        {"ALTER APPLICATION X READ bob:99999999999", "ERROR 3 Invalid stream, expected <handle>:<id>"},
        {"ALTER APPLICATION X READ bob:1 more", "ERROR 3 Unexpected text after the stream"},
        {"ALTER APPLICATION X WRITE bob:1", "ERROR 3 WRITE needs a text"},
        {"ALTER APPLICATION X CONNECT", "ERROR 7 Invalid user handle"},
    };
    for (const Case& c : cases) {
        Command cmd = parseCommand(c.line);
        EXPECT_EQ(cmd.kind, CommandKind::Invalid) << c.line;
        EXPECT_EQ(errorLine(cmd.errorCode, cmd.errorText), c.answer) << c.line;
    }
    std::string tooLong = "ALTER APPLICATION X WRITE bob:1 " + std::string(kMaxTextLength + 1, 'a');
    Command cmd = parseCommand(tooLong);
    EXPECT_EQ(cmd.kind, CommandKind::Invalid);
    EXPECT_EQ(errorLine(cmd.errorCode, cmd.errorText), "ERROR 542 Text too long");
    EXPECT_EQ(parseCommand("ALTER APPLICATION X WRITE bob:1 " + std::string(kMaxTextLength, 'a')).kind,
              CommandKind::Write);
}
