// Two daemons through a real Prosody, driven by scripted programs on their
// local sockets: presence, streams and their ends, peers and programs that
// do not behave, the account set-up (--add-contact, the STARTTLS policy)
// and contacts' keys pinned in the real pins file.
#include "tests/messenger/raw_xmpp_client.h"
#include "tests/messenger/xmpp_fixture.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kAliceFull = "alice@localhost/pc-alice";

// Stops a process for the lifetime of the object (SIGSTOP/SIGCONT), so that
// it keeps its server connection but answers nothing.
struct Frozen {
    explicit Frozen(pid_t p) : pid(p) { ::kill(pid, SIGSTOP); }
    ~Frozen() { ::kill(pid, SIGCONT); }
    pid_t pid;
};

}  // namespace

TEST_F(MessengerXmpp, UsersStatusPresenceAndConnectable)
{
    EXPECT_EQ(alice.client.attaches().back(), 0u);
    EXPECT_EQ(ask(alice, "GET CURRENTUSERHANDLE", "CURRENTUSERHANDLE"), "CURRENTUSERHANDLE alice@localhost");
    EXPECT_EQ(ask(alice, "GET USER bob@localhost ONLINESTATUS", "USER bob@localhost ONLINESTATUS"),
              "USER bob@localhost ONLINESTATUS ONLINE");
    EXPECT_EQ(ask(alice, "GET USER carol@localhost ONLINESTATUS", "USER carol@localhost ONLINESTATUS"),
              "USER carol@localhost ONLINESTATUS UNKNOWN");
    createOnBoth("CorvaneForFtp0000");
    EXPECT_EQ(ask(alice, "CREATE APPLICATION OnlyAlice", "CREATE"), "CREATE APPLICATION OnlyAlice");
    EXPECT_EQ(ask(alice, "GET APPLICATION OnlyAlice CONNECTABLE", "APPLICATION OnlyAlice"),
              "APPLICATION OnlyAlice CONNECTABLE");
    // bob deletes it: no longer connectable.
    EXPECT_EQ(ask(bob, "DELETE APPLICATION CorvaneForFtp0000", "DELETE"), "DELETE APPLICATION CorvaneForFtp0000");
    EXPECT_TRUE(pollFor(alice, "GET APPLICATION CorvaneForFtp0000 CONNECTABLE",
                        "APPLICATION CorvaneForFtp0000 CONNECTABLE", "APPLICATION CorvaneForFtp0000 CONNECTABLE"));

    // bob's daemon goes away and comes back: alice hears both changes.
    bob.client.close();
    bob.daemon.stop(5s);
    EXPECT_TRUE(alice.client.waitLine("USER bob@localhost ONLINESTATUS OFFLINE", 20s));
    ASSERT_TRUE(startDaemon(bob));
    EXPECT_TRUE(alice.client.waitLine("USER bob@localhost ONLINESTATUS ONLINE", 20s));
}

TEST_F(MessengerXmpp, StreamsEndFromEitherSideAndWithTheProgram)
{
    const std::string app = "CorvaneForVnc0000";
    createOnBoth(app);
    std::string aRef, bRef, aRef2, bRef2, aRef3, bRef3;
    connectStream(app, aRef, bRef);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(ask(alice, "ALTER APPLICATION " + app + " DISCONNECT " + aRef, "ALTER"),
              "ALTER APPLICATION " + app + " DISCONNECT " + aRef);
    EXPECT_TRUE(alice.client.waitLine("APPLICATION " + app + " STREAMS", 10s));
    EXPECT_TRUE(bob.client.waitLine("APPLICATION " + app + " STREAMS", 10s));

    connectStream(app, aRef2, bRef2);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_NE(aRef2, aRef);  // ids are not reused
    EXPECT_EQ(ask(bob, "ALTER APPLICATION " + app + " DISCONNECT " + bRef2, "ALTER"),
              "ALTER APPLICATION " + app + " DISCONNECT " + bRef2);
    EXPECT_TRUE(bob.client.waitLine("APPLICATION " + app + " STREAMS", 10s));
    EXPECT_TRUE(alice.client.waitLine("APPLICATION " + app + " STREAMS", 10s));

    // A program going away closes its streams at the peer.
    connectStream(app, aRef3, bRef3);
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
        EXPECT_TRUE(p->client.waitAttach(0, 30s)) << p->name;
        std::vector<uint32_t> codes = p->client.attaches();
        ASSERT_GE(codes.size(), 4u);
        EXPECT_EQ(std::vector<uint32_t>(codes.end() - 3, codes.end()), (std::vector<uint32_t>{3, 0x8001, 0}));
    }
    // Streams work again after the restart.
    ASSERT_TRUE(pollFor(alice, "GET APPLICATION " + app + " CONNECTABLE", "APPLICATION " + app + " CONNECTABLE",
                        "APPLICATION " + app + " CONNECTABLE bob@localhost"));
    connectStream(app, aRef, bRef);
}

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
    }
    // bob, running again, hears that its stream is closed; streams work
    // again between the two.
    EXPECT_TRUE(bob.client.waitLine("APPLICATION " + app + " STREAMS", 20s));
    connectStream(app, aRef, bRef);
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

TEST_F(MessengerXmpp, StanzasFromStrangersAreRefusedAndSurvived)
{
    createOnBoth("CorvaneForFtp0000");
    RawXmppClient carol;
    ASSERT_TRUE(carol.login("carol@localhost/odd", "carolpw", server->port(), 20s));
    const size_t logBefore = logOf(alice).size();
    // Presence alice's daemon must read without help from its roster.
    carol.send("<presence to='" + kAliceFull + "'><show/></presence>");
    carol.send("<presence to='" + kAliceFull + "'><show><x xmlns='urn:example:x'/></show></presence>");
    carol.send("<presence to='" + kAliceFull + "'><applications xmlns='urn:corvane:messenger'>"
               "<application/><application name=''/></applications></presence>");
    const std::string ibb = "xmlns='http://jabber.org/protocol/ibb'";
    auto open = [&](const std::string& app) {
        return "<open " + ibb + " sid='s" + std::to_string(app.size()) + "' block-size='4096' stanza='iq'>"
               + "<application xmlns='urn:corvane:messenger' name='" + app + "'/></open>";
    };
    const std::string hugeName(100000, 'N');
    struct Case {
        std::string payload;
        std::string answer;
    } cases[] = {
        // carol is not alice's contact: no stream, whatever the application.
        {open("CorvaneForFtp0000"), "error forbidden"},
        {open(hugeName), "error forbidden"},
        {"<open " + ibb + " block-size='4096' stanza='iq'/>", "error bad-request"},
        {"<data " + ibb + " sid='nope' seq='0'>aGk=</data>", "error item-not-found"},
        {"<data " + ibb + " sid='nope' seq='zz'>aGk=</data>", "error bad-request"},
        {"<data " + ibb + " sid='nope' seq='70000'>aGk=</data>", "error bad-request"},
        {"<data " + ibb + " sid='nope' seq='0'>!!not base64!!</data>", "error bad-request"},
        {"<close " + ibb + " sid='nope'/>", "error item-not-found"},
        {"<shout " + ibb + " sid='nope'/>", "error feature-not-implemented"},
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
            << c.payload.substr(0, 200);
    }
    // The name chosen by carol is cut in the log.
    const std::string log = logOf(alice);
    EXPECT_LT(log.size() - logBefore, 2000u);
    EXPECT_NE(log.find("refused a stream request of " + std::string(200, 'N')
                       + "...[cut, 100000 bytes] from carol@localhost/odd: not a contact"),
              std::string::npos);
    EXPECT_TRUE(alice.daemon.running());
    EXPECT_EQ(ask(alice, "SEARCH FRIENDS", "USERS"), "USERS bob@localhost");
    EXPECT_EQ(ask(alice, "GET USER carol@localhost ONLINESTATUS", "USER"), "USER carol@localhost ONLINESTATUS UNKNOWN");
    EXPECT_EQ(ask(alice, "GET APPLICATION CorvaneForFtp0000 CONNECTABLE", "APPLICATION"),
              "APPLICATION CorvaneForFtp0000 CONNECTABLE bob@localhost");
}

TEST_F(MessengerXmpp, DiscoAndPingAnswerOnlyContactsAndTheOwnAccount)
{
    const std::string disco = "<query xmlns='http://jabber.org/protocol/disco#info'/>";
    const std::string ping = "<ping xmlns='urn:xmpp:ping'/>";
    struct Case {
        std::string jid, password, answer;
    } cases[] = {
        // carol is no contact of alice: she learns nothing, as from a
        // resource that is not there.
        {"carol@localhost/odd", "carolpw", "error service-unavailable"},
        // bob (from another client of his account) and alice's own account do.
        {"bob@localhost/other", "bobpw", "result"},
        {"alice@localhost/other", "alicepw", "result"},
    };
    for (const Case& c : cases) {
        RawXmppClient client;
        ASSERT_TRUE(client.login(c.jid, c.password, server->port(), 20s));
        for (const std::string& payload : {disco, ping})
            EXPECT_EQ(client.request("q", "<iq type='get' id='q' to='" + kAliceFull + "'>" + payload + "</iq>", 10s),
                      c.answer)
                << c.jid << " " << payload;
    }
    EXPECT_TRUE(alice.daemon.running());
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
    EXPECT_TRUE(waitForLog(alice, "ignored a subscription request from carol@localhost"));
    EXPECT_EQ(ask(alice, "SEARCH FRIENDS", "USERS"), "USERS bob@localhost");
    const auto& seen = alice.client.skipped();
    EXPECT_EQ(std::find(seen.begin(), seen.end(), "USER carol@localhost BUDDYSTATUS 3"), seen.end());

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
    EXPECT_TRUE(waitForLog(carol, "(STARTTLS required)"));
    EXPECT_EQ(logOf(carol).find("connected as carol@localhost"), std::string::npos);
    EXPECT_EQ(carol.client.attaches().back(), 3u);
    carol.client.close();
    EXPECT_EQ(carol.daemon.stop(8s), 0);

    prepare(carol, "carol", "tls = auto\n");
    ASSERT_TRUE(startDaemon(carol));
    ASSERT_TRUE(attach(carol));
    EXPECT_NE(logOf(carol).find("connected as carol@localhost/pc-carol (no TLS)"), std::string::npos);
    carol.client.close();
    EXPECT_EQ(carol.daemon.stop(8s), 0);
}

// A contact whose key file was replaced (a reinstall, or someone else's
// daemon logging in as bob) is refused both ways until the user trusts the
// new key with messengerd --trust.
TEST_F(MessengerXmpp, ReplacedKeyIsRefusedUntilTrustedAgain)
{
    const std::string app = StreamBetweenDaemons::kStreamApp;
    auto cli = [&](const Peer& p, std::vector<std::string> args) {
        static int runs = 0;
        const std::string out = dir->file("cli" + std::to_string(++runs) + ".out");
        args.insert(args.begin(), {MESSENGERD_PATH, "--config", p.config});
        Spawned run;
        EXPECT_TRUE(run.start(args, out));
        EXPECT_EQ(run.wait(10s), 0) << readFile(out);
        std::string text = readFile(out);
        return text.substr(0, text.find('\n'));
    };
    // true when the opener's and the other side's programs get the stream.
    auto connects = [&](Peer& from, Peer& to, std::chrono::milliseconds wait) {
        std::string line;
        from.client.command("ALTER APPLICATION " + app + " CONNECT " + to.jid);
        auto listed = [&](const std::string& who) {
            return [who, &app](const std::string& l) {
                return l.rfind("APPLICATION " + app + " STREAMS", 0) == 0 && l.find(who + ":") != std::string::npos;
            };
        };
        return from.client.waitLine(listed(to.jid), line, wait) && to.client.waitLine(listed(from.jid), line, wait);
    };
    createOnBoth(app);
    ASSERT_TRUE(connects(alice, bob, 10s));
    const std::string oldFp = cli(bob, {"--fingerprint"});
    ASSERT_EQ(oldFp.size(), 49u) << oldFp;  // ten groups of four
    ASSERT_TRUE(waitForLog(alice, "pinned the key of bob@localhost on first use: fingerprint " + oldFp));
    EXPECT_TRUE(waitForLog(
        bob, "pinned the key of alice@localhost on first use: fingerprint " + cli(alice, {"--fingerprint"})));

    bob.client.close();
    ASSERT_EQ(bob.daemon.stop(8s), 0);
    const std::string keyFile = bob.config.substr(0, bob.config.rfind('.')) + ".key";
    ASSERT_EQ(std::remove(keyFile.c_str()), 0) << keyFile;
    ASSERT_TRUE(startDaemon(bob));
    ASSERT_TRUE(attach(bob));
    const std::string newFp = cli(bob, {"--fingerprint"});
    ASSERT_NE(newFp, oldFp);
    ASSERT_EQ(ask(bob, "CREATE APPLICATION " + app, "CREATE"), "CREATE APPLICATION " + app);
    ASSERT_TRUE(pollFor(alice, "GET APPLICATION " + app + " CONNECTABLE", "APPLICATION " + app + " CONNECTABLE",
                        "APPLICATION " + app + " CONNECTABLE bob@localhost"));

    EXPECT_FALSE(connects(alice, bob, 3s));
    EXPECT_TRUE(waitForLog(alice, "refused a stream of " + app
                                      + " with bob@localhost: its key has changed: pinned fingerprint " + oldFp
                                      + ", offered " + newFp));
    // Nor may bob open one: alice checks the key of every stream.
    EXPECT_FALSE(connects(bob, alice, 3s));

    // The user checks the new fingerprint with bob and trusts it.
    EXPECT_EQ(cli(alice, {"--trust", "bob@localhost", newFp}),
              "trusted the key of bob@localhost: fingerprint " + newFp);
    EXPECT_TRUE(connects(alice, bob, 10s));
    EXPECT_TRUE(waitForLog(alice, "the key of bob@localhost matches the fingerprint trusted for it: " + newFp));
}
