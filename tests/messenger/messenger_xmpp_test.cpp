// Two daemons through a real Prosody, driven by scripted programs on their
// local sockets.
#include "tests/messenger/raw_xmpp_client.h"
#include "tests/messenger/xmpp_fixture.h"

#include <thread>

using namespace std::chrono_literals;

TEST_F(MessengerXmpp, UsersStatusAndPresenceChanges)
{
    EXPECT_EQ(alice.client.attaches().back(), 0u);
    EXPECT_EQ(ask(alice, "GET CURRENTUSERHANDLE", "CURRENTUSERHANDLE"), "CURRENTUSERHANDLE alice@localhost");
    EXPECT_EQ(ask(alice, "GET USER bob@localhost ONLINESTATUS", "USER bob@localhost ONLINESTATUS"),
              "USER bob@localhost ONLINESTATUS ONLINE");
    EXPECT_EQ(ask(alice, "GET USER carol@localhost ONLINESTATUS", "USER carol@localhost ONLINESTATUS"),
              "USER carol@localhost ONLINESTATUS UNKNOWN");
    EXPECT_EQ(ask(alice, "HELLO THERE", "ERROR"), "ERROR 2 Unknown command");

    // bob's daemon goes away and comes back: alice hears both changes.
    bob.client.close();
    bob.daemon.stop(5s);
    std::string line;
    EXPECT_TRUE(alice.client.waitLine("USER bob@localhost ONLINESTATUS OFFLINE", 20s));
    ASSERT_TRUE(startDaemon(bob));
    EXPECT_TRUE(alice.client.waitLine("USER bob@localhost ONLINESTATUS ONLINE", 20s));
}

TEST_F(MessengerXmpp, ConnectableListsOnlyContactsRunningTheApplication)
{
    createOnBoth("CorvaneForFtp0000");
    // Created again: the same echo.
    EXPECT_EQ(ask(alice, "CREATE APPLICATION CorvaneForFtp0000", "CREATE"), "CREATE APPLICATION CorvaneForFtp0000");
    EXPECT_EQ(ask(alice, "CREATE APPLICATION OnlyAlice", "CREATE"), "CREATE APPLICATION OnlyAlice");
    EXPECT_EQ(ask(alice, "GET APPLICATION OnlyAlice CONNECTABLE", "APPLICATION OnlyAlice"),
              "APPLICATION OnlyAlice CONNECTABLE");
    // bob deletes it: no longer connectable.
    EXPECT_EQ(ask(bob, "DELETE APPLICATION CorvaneForFtp0000", "DELETE"), "DELETE APPLICATION CorvaneForFtp0000");
    EXPECT_TRUE(pollFor(alice, "GET APPLICATION CorvaneForFtp0000 CONNECTABLE",
                        "APPLICATION CorvaneForFtp0000 CONNECTABLE", "APPLICATION CorvaneForFtp0000 CONNECTABLE"));
}

TEST_F(MessengerXmpp, DisconnectFromEitherSide)
{
    const std::string app = "CorvaneForVnc0000";
    createOnBoth(app);
    std::string aRef, bRef;
    connectStream(app, aRef, bRef);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(ask(alice, "ALTER APPLICATION " + app + " DISCONNECT " + aRef, "ALTER"),
              "ALTER APPLICATION " + app + " DISCONNECT " + aRef);
    EXPECT_TRUE(alice.client.waitLine("APPLICATION " + app + " STREAMS", 10s));
    EXPECT_TRUE(bob.client.waitLine("APPLICATION " + app + " STREAMS", 10s));

    std::string aRef2, bRef2;
    connectStream(app, aRef2, bRef2);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_NE(aRef2, aRef);  // ids are not reused
    EXPECT_EQ(ask(bob, "ALTER APPLICATION " + app + " DISCONNECT " + bRef2, "ALTER"),
              "ALTER APPLICATION " + app + " DISCONNECT " + bRef2);
    EXPECT_TRUE(bob.client.waitLine("APPLICATION " + app + " STREAMS", 10s));
    EXPECT_TRUE(alice.client.waitLine("APPLICATION " + app + " STREAMS", 10s));
}

TEST_F(MessengerXmpp, ProgramGoingAwayClosesItsStreamsAtThePeer)
{
    const std::string app = "CorvaneForCvs0000";
    createOnBoth(app);
    std::string aRef, bRef;
    connectStream(app, aRef, bRef);
    ASSERT_FALSE(HasFatalFailure());
    alice.client.close();
    EXPECT_TRUE(bob.client.waitLine("APPLICATION " + app + " STREAMS", 10s));
}

TEST_F(MessengerXmpp, ServerRestartClosesStreamsAndReportsCodes)
{
    const std::string app = "CorvaneForFtp0000";
    createOnBoth(app);
    std::string aRef, bRef;
    connectStream(app, aRef, bRef);
    ASSERT_FALSE(HasFatalFailure());
    server->stop();
    for (Peer* p : {&alice, &bob}) {
        EXPECT_TRUE(p->client.waitLine("APPLICATION " + app + " STREAMS", 20s)) << p->name;
        EXPECT_TRUE(p->client.waitAttach(3, 20s)) << p->name;
    }
    ASSERT_TRUE(server->start());
    for (Peer* p : {&alice, &bob}) {
        EXPECT_TRUE(p->client.waitAttach(0x8001, 30s)) << p->name;
        EXPECT_TRUE(p->client.waitAttach(0, 10s)) << p->name;
        std::vector<uint32_t> codes = p->client.attaches();
        ASSERT_GE(codes.size(), 4u);
        EXPECT_EQ(std::vector<uint32_t>(codes.end() - 3, codes.end()), (std::vector<uint32_t>{3, 0x8001, 0}));
    }
    // Streams work again after the restart.
    ASSERT_TRUE(pollFor(alice, "GET APPLICATION " + app + " CONNECTABLE", "APPLICATION " + app + " CONNECTABLE",
                        "APPLICATION " + app + " CONNECTABLE bob@localhost"));
    std::string aRef2, bRef2;
    connectStream(app, aRef2, bRef2);
}

TEST_F(MessengerXmpp, ConnectToNonContactIsNotMade)
{
    createOnBoth("CorvaneForFtp0000");
    EXPECT_EQ(ask(alice, "ALTER APPLICATION CorvaneForFtp0000 CONNECT carol@localhost", "APPLICATION"),
              "APPLICATION CorvaneForFtp0000 CONNECTING carol@localhost");
    std::string line;
    EXPECT_FALSE(waitPrefix(alice, "APPLICATION CorvaneForFtp0000 STREAMS", line, 2s)) << line;
}

TEST_F(MessengerXmpp, StreamRequestFromNonContactIsRefused)
{
    createOnBoth("CorvaneForFtp0000");
    // carol, who is not alice's contact, asks alice's daemon for a stream.
    RawXmppClient carol;
    ASSERT_TRUE(carol.login("carol@localhost/intruder", "carolpw", server->port(), 20s));
    EXPECT_EQ(carol.request("open1",
                            "<iq type='set' id='open1' to='alice@localhost/pc-alice'>"
                            "<open xmlns='http://jabber.org/protocol/ibb' sid='intruder' block-size='4096' stanza='iq'>"
                            "<application xmlns='urn:corvane:messenger' name='CorvaneForFtp0000'/></open></iq>",
                            20s),
              "error forbidden");
    // alice's program never saw a stream.
    std::string line;
    EXPECT_FALSE(waitPrefix(alice, "APPLICATION CorvaneForFtp0000 STREAMS", line, 1s)) << line;
}
