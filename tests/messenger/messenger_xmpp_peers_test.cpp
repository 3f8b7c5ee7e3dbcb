// Two daemons through a real Prosody, with peers and programs that do not
// behave: a daemon that stops answering, stanzas and frames messengerd
// never sends, a roster removal from another client; and the account set-up
// (--add-contact, the STARTTLS policy).
#include "tests/messenger/raw_xmpp_client.h"
#include "tests/messenger/xmpp_fixture.h"

#include <algorithm>
#include <csignal>
#include <fstream>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Stops a process for the lifetime of the object (SIGSTOP/SIGCONT), so that
// it keeps its server connection but answers nothing.
struct Frozen {
    explicit Frozen(pid_t p) : pid(p) { ::kill(pid, SIGSTOP); }
    ~Frozen() { ::kill(pid, SIGCONT); }
    pid_t pid;
};

const std::string kAliceFull = "alice@localhost/pc-alice";

}  // namespace

TEST_F(MessengerXmpp, PeerThatStopsAnsweringIsGivenUp)
{
    // The fixture gives peers 2 s (answer_timeout = 2).
    const std::string app = "CorvaneForTcp2001";
    createOnBoth(app);
    std::string aRef, bRef;
    connectStream(app, aRef, bRef);
    ASSERT_FALSE(HasFatalFailure());
    std::string line;
    {
        Frozen stopped(bob.daemon.pid());
        // A text nobody acknowledges: after the time and an unanswered ping
        // the stream is reported closed and nothing is left sending.
        auto start = Clock::now();
        ASSERT_TRUE(alice.client.command("ALTER APPLICATION " + app + " WRITE " + aRef + " hello"));
        ASSERT_TRUE(alice.client.nextLine(line, 10s));
        EXPECT_EQ(line, "ALTER APPLICATION " + app + " WRITE " + aRef);
        // The text is within the window: the program may go on.
        ASSERT_TRUE(alice.client.nextLine(line, 10s));
        EXPECT_EQ(line, "APPLICATION " + app + " SENDING");
        ASSERT_TRUE(alice.client.nextLine(line, 20s));
        EXPECT_EQ(line, "APPLICATION " + app + " STREAMS");
        EXPECT_GE(Clock::now() - start, 3500ms);  // 2 s for the text, 2 s for the ping
        EXPECT_NE(logOf(alice).find("no answer to a text nor to the probe after it within 2000 ms"), std::string::npos);

        // A stream request nobody answers leaves the list as it was.
        ASSERT_TRUE(alice.client.command("ALTER APPLICATION " + app + " CONNECT bob@localhost"));
        ASSERT_TRUE(waitPrefix(alice, "APPLICATION " + app + " CONNECTING", line, 10s));
        EXPECT_FALSE(waitPrefix(alice, "APPLICATION " + app + " STREAMS", line, 4s)) << line;
        EXPECT_NE(logOf(alice).find("no answer to the stream request within 2000 ms"), std::string::npos);
    }
    // bob, running again, hears of both: its stream is closed, and the
    // stream it accepts late is closed again by alice.
    EXPECT_TRUE(bob.client.waitLine("APPLICATION " + app + " STREAMS", 20s));
    EXPECT_TRUE(bob.client.waitLine("APPLICATION " + app + " STREAMS alice@localhost:2", 20s));
    EXPECT_TRUE(bob.client.waitLine("APPLICATION " + app + " STREAMS", 20s));
    // Streams work again between the two.
    std::string aRef2, bRef2;
    connectStream(app, aRef2, bRef2);
}

TEST_F(MessengerXmpp, BadFramesAndCommandsFromProgramsAreSurvived)
{
    const std::string bad[] = {
        std::string("\x01\x00\x10\x00", 4),    // 1048577 bytes: too long
        std::string("\x00\x00\x00\x00", 4),    // length 0
        std::string("\x02\x00\x00\x00Zx", 6),  // unknown type
        std::string("\x06\x00\x00\x00"
                    "Cabcdx",
                    10),  // text without its zero byte
        std::string("\x09\x00\x00\x00"
                    "A12345678",
                    13),  // attach frame from a program
    };
    for (const std::string& bytes : bad) {
        ApiTestClient c;
        ASSERT_TRUE(c.connect(alice.socket));
        ASSERT_TRUE(c.discover());
        ASSERT_TRUE(c.waitAttach(0, 10s));
        ASSERT_TRUE(c.sendRaw(bytes));
        EXPECT_TRUE(c.waitClosed(10s));
    }
    struct Case {
        std::string command;
        std::string answer;
    } cases[] = {
        {"", "ERROR 2 Unknown command"},
        {"HELLO", "ERROR 2 Unknown command"},
        {"GET", "ERROR 2 Unknown command"},
        {std::string("\x01\xfe\xff garbage", 11), "ERROR 2 Unknown command"},
        {"ALTER APPLICATION CorvaneX FLY bob@localhost:1", "ERROR 2 Unknown command"},
        {"ALTER APPLICATION Nope READ bob@localhost:1", "ERROR 540 Unknown application Nope"},
        {"ALTER APPLICATION Nope WRITE bob@localhost " + std::string(10, 'x'),
         "ERROR 3 Invalid stream, expected <handle>:<id>"},
        // The longest frame the transport allows, with a text too long to send.
        {"ALTER APPLICATION Nope WRITE bob@localhost:1 " + std::string(1048570 - 45, 'x'), "ERROR 542 Text too long"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ask(alice, c.command, "ERROR"), c.answer) << c.command.substr(0, 60);
    EXPECT_EQ(ask(alice, "PING", "PONG"), "PONG");
    EXPECT_TRUE(alice.daemon.running());
}

TEST_F(MessengerXmpp, StanzasMessengerdNeverSendsAreSurvived)
{
    createOnBoth("CorvaneForFtp0000");
    RawXmppClient carol;
    ASSERT_TRUE(carol.login("carol@localhost/odd", "carolpw", server->port(), 20s));
    // Presence alice's daemon must read without help from its roster.
    carol.send("<presence to='" + kAliceFull + "'><show/></presence>");
    carol.send("<presence to='" + kAliceFull + "'><show><x xmlns='urn:example:x'/></show></presence>");
    carol.send("<presence to='" + kAliceFull + "'><applications xmlns='urn:corvane:messenger'>"
               "<application/><application name=''/></applications></presence>");
    struct Case {
        std::string payload;
        std::string answer;
    } cases[] = {
        {"<open xmlns='http://jabber.org/protocol/ibb' block-size='4096' stanza='iq'/>", "error bad-request"},
        {"<data xmlns='http://jabber.org/protocol/ibb' sid='nope' seq='0'>aGk=</data>", "error item-not-found"},
        {"<data xmlns='http://jabber.org/protocol/ibb' sid='nope' seq='zz'>aGk=</data>", "error bad-request"},
        {"<data xmlns='http://jabber.org/protocol/ibb' sid='nope' seq='70000'>aGk=</data>", "error bad-request"},
        {"<data xmlns='http://jabber.org/protocol/ibb' sid='nope' seq='0'>!!not base64!!</data>", "error bad-request"},
        {"<close xmlns='http://jabber.org/protocol/ibb' sid='nope'/>", "error item-not-found"},
        {"<shout xmlns='http://jabber.org/protocol/ibb' sid='nope'/>", "error feature-not-implemented"},
        {"<query xmlns='urn:example:nothing'/>", "error service-unavailable"},
        // A roster change from anyone but the own server is ignored.
        {"<query xmlns='jabber:iq:roster'><item jid='bob@localhost' subscription='remove'/></query>",
         "error service-unavailable"},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::string id = "odd" + std::to_string(++n);
        EXPECT_EQ(
            carol.request(id, "<iq type='set' id='" + id + "' to='" + kAliceFull + "'>" + c.payload + "</iq>", 10s),
            c.answer)
            << c.payload;
    }
    EXPECT_TRUE(alice.daemon.running());
    EXPECT_EQ(ask(alice, "SEARCH FRIENDS", "USERS"), "USERS bob@localhost");
    EXPECT_EQ(ask(alice, "GET USER carol@localhost ONLINESTATUS", "USER"), "USER carol@localhost ONLINESTATUS UNKNOWN");
}

TEST_F(MessengerXmpp, DiscoAndPingAnswerOnlyContactsAndTheOwnAccount)
{
    createOnBoth("CorvaneForFtp0000");
    const std::string disco = "<query xmlns='http://jabber.org/protocol/disco#info'/>";
    const std::string ping = "<ping xmlns='urn:xmpp:ping'/>";
    auto ask = [&](RawXmppClient& c, const std::string& id, const std::string& payload) {
        return c.request(id, "<iq type='get' id='" + id + "' to='" + kAliceFull + "'>" + payload + "</iq>", 10s);
    };
    // carol is no contact of alice: she learns nothing, as from a resource
    // that is not there.
    RawXmppClient carol;
    ASSERT_TRUE(carol.login("carol@localhost/odd", "carolpw", server->port(), 20s));
    EXPECT_EQ(ask(carol, "d1", disco), "error service-unavailable");
    EXPECT_EQ(ask(carol, "p1", ping), "error service-unavailable");
    // bob (from another client of his account) and alice's own account do.
    RawXmppClient bobOther;
    ASSERT_TRUE(bobOther.login("bob@localhost/other", "bobpw", server->port(), 20s));
    EXPECT_EQ(ask(bobOther, "d2", disco), "result");
    EXPECT_EQ(ask(bobOther, "p2", ping), "result");
    RawXmppClient aliceOther;
    ASSERT_TRUE(aliceOther.login("alice@localhost/other", "alicepw", server->port(), 20s));
    EXPECT_EQ(ask(aliceOther, "d3", disco), "result");
    EXPECT_EQ(ask(aliceOther, "p3", ping), "result");
    EXPECT_TRUE(alice.daemon.running());
}

TEST_F(MessengerXmpp, HostileNamesAreCutInTheLog)
{
    createOnBoth("CorvaneForFtp0000");
    RawXmppClient carol;
    ASSERT_TRUE(carol.login("carol@localhost/odd", "carolpw", server->port(), 20s));
    const size_t before = logOf(alice).size();
    // Six stream requests with application names of 100 kB each.
    const std::string name(100000, 'N');
    for (int i = 0; i < 6; ++i) {
        std::string id = "big" + std::to_string(i);
        EXPECT_EQ(carol.request(id,
                                "<iq type='set' id='" + id + "' to='" + kAliceFull
                                    + "'><open xmlns='http://jabber.org/protocol/ibb' sid='s" + id
                                    + "' block-size='4096' stanza='iq'><application xmlns='urn:corvane:messenger'"
                                      " name='"
                                    + name + "'/></open></iq>",
                                10s),
                  "error forbidden");
    }
    std::string log = logOf(alice);
    EXPECT_LT(log.size() - before, 6 * 400u);
    EXPECT_NE(log.find("refused a stream request of " + std::string(200, 'N')
                       + "...[cut, 100000 bytes] from "
                         "carol@localhost/odd: not a contact"),
              std::string::npos);
}

TEST_F(MessengerXmpp, RemovalFromTheRosterEndsTheContactOnBothSides)
{
    const std::string app = "CorvaneForCvs0001";
    createOnBoth(app);
    std::string aRef, bRef;
    connectStream(app, aRef, bRef);
    ASSERT_FALSE(HasFatalFailure());
    // alice removes bob with another client of her account.
    RawXmppClient other;
    ASSERT_TRUE(other.login("alice@localhost/other", "alicepw", server->port(), 20s));
    ASSERT_EQ(other.request("rm",
                            "<iq type='set' id='rm'><query xmlns='jabber:iq:roster'>"
                            "<item jid='bob@localhost' subscription='remove'/></query></iq>",
                            10s),
              "result");
    for (Peer* p : {&alice, &bob})
        EXPECT_TRUE(p->client.waitLine("APPLICATION " + app + " STREAMS", 20s)) << p->name;
    EXPECT_TRUE(pollFor(alice, "SEARCH FRIENDS", "USERS", "USERS"));
    EXPECT_TRUE(pollFor(bob, "SEARCH FRIENDS", "USERS", "USERS"));
    EXPECT_EQ(ask(alice, "GET USER bob@localhost ONLINESTATUS", "USER"), "USER bob@localhost ONLINESTATUS UNKNOWN");
    EXPECT_EQ(ask(alice, "GET APPLICATION " + app + " CONNECTABLE", "APPLICATION"),
              "APPLICATION " + app + " CONNECTABLE");
    // bob can no longer open a stream to alice.
    ASSERT_TRUE(bob.client.command("ALTER APPLICATION " + app + " CONNECT alice@localhost"));
    std::string line;
    EXPECT_FALSE(waitPrefix(bob, "APPLICATION " + app + " STREAMS", line, 3s)) << line;
}

TEST_F(MessengerXmpp, AddContactMakesMutualContacts)
{
    Peer carol;
    prepare(carol, "carol", "contact = alice@localhost\n");
    auto addContact = [&]() {
        Spawned run;
        if (!run.start({MESSENGERD_PATH, "--config", carol.config, "--add-contact", "alice@localhost"},
                       dir->file("carol-add.out")))
            return -1;
        return run.wait(40s);
    };
    // alice's daemon does not accept carol: the request stays unanswered.
    EXPECT_EQ(addContact(), 0);
    EXPECT_NE(logOf(carol).find("add-contact: subscription request sent to alice@localhost"), std::string::npos);
    // The contact is kept for later starts, beside carol's configuration.
    EXPECT_NE(readFile(dir->file("carol.contacts")).find("\nalice@localhost\n"), std::string::npos);
    std::string line;
    EXPECT_FALSE(waitPrefix(alice, "USER carol@localhost BUDDYSTATUS", line, 3s)) << line;
    EXPECT_EQ(ask(alice, "SEARCH FRIENDS", "USERS"), "USERS bob@localhost");
    EXPECT_NE(logOf(alice).find("ignored a subscription request from carol@localhost"), std::string::npos);

    // Once alice's configuration lists carol, one more request does it.
    alice.client.close();
    ASSERT_EQ(alice.daemon.stop(8s), 0);
    std::ofstream(alice.config, std::ios::app) << "contact = carol@localhost\n";
    ASSERT_TRUE(startDaemon(alice));
    ASSERT_TRUE(attach(alice));
    EXPECT_EQ(addContact(), 0);
    // The line may have come while attaching.
    const std::string buddy = "USER carol@localhost BUDDYSTATUS 3";
    const auto& early = alice.client.skipped();
    EXPECT_TRUE(std::find(early.begin(), early.end(), buddy) != early.end() || alice.client.waitLine(buddy, 20s));
    EXPECT_TRUE(pollFor(alice, "SEARCH FRIENDS", "USERS", "USERS bob@localhost, carol@localhost"));
}

TEST_F(MessengerXmpp, RequiredStartTlsRefusesAServerWithoutIt)
{
    // The test server offers no STARTTLS. carol's daemon with TLS required
    // never gets online; the same account without that requirement does.
    Peer carol;
    prepare(carol, "carol", "tls = required\n");
    ASSERT_TRUE(startDaemon(carol));
    ASSERT_TRUE(connectClient(carol));
    ASSERT_TRUE(carol.client.discover());
    EXPECT_TRUE(carol.client.waitAttach(3, 10s));
    EXPECT_FALSE(carol.client.waitAttach(0, 4s));
    EXPECT_NE(logOf(carol).find("(STARTTLS required)"), std::string::npos);
    EXPECT_EQ(logOf(carol).find("connected as carol@localhost"), std::string::npos);
    carol.client.close();
    EXPECT_EQ(carol.daemon.stop(8s), 0);

    prepare(carol, "carol", "tls = auto\n");
    ASSERT_TRUE(startDaemon(carol));
    ASSERT_TRUE(attach(carol));
    EXPECT_NE(logOf(carol).find("connected as carol@localhost/pc-carol (no TLS)"), std::string::npos);
    carol.client.close();
    EXPECT_EQ(carol.daemon.stop(8s), 0);
}
