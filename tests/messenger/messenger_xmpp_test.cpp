// Two daemons through a real Prosody: what only strophe_link shows — login
// and the STARTTLS policy, roster and presence, the stanzas of peers that do
// not behave, a sealed stream that the server cannot read, and a server link
// that dies without a word. The core's own rules are in messenger_core_test.
#include "tests/messenger/raw_xmpp_client.h"
#include "tests/messenger/xmpp_fixture.h"

#include <deque>
#include <string_view>
#include <unordered_set>

using namespace std::chrono_literals;

namespace {

const std::string kAliceFull = "alice@localhost/pc-alice";

std::string lowered(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string fromHex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

// Text number i: lower-case hex (what the program writes), except every
// 50th, in upper case, which must travel as it is.
std::string textFor(int i, size_t size)
{
    std::string t(size, ' ');
    uint32_t x = 2654435761u * static_cast<uint32_t>(i + 1);
    const char* digits = i % 50 == 7 ? "0123456789ABCDEF" : "0123456789abcdef";
    for (size_t k = 0; k < size; ++k) {
        x = x * 1103515245u + 12345u;
        t[k] = digits[(x >> 16) & 15];
    }
    return t;
}

}  // namespace

TEST_F(MessengerXmpp, LoginRosterPresenceAndStrangers)
{
    EXPECT_EQ(ask(alice, "GET USER bob@localhost ONLINESTATUS", "USER bob@localhost ONLINESTATUS"),
              "USER bob@localhost ONLINESTATUS ONLINE");
    createOnBoth("CorvaneForFtp0000");
    EXPECT_EQ(ask(bob, "DELETE APPLICATION CorvaneForFtp0000", "DELETE"), "DELETE APPLICATION CorvaneForFtp0000");
    EXPECT_TRUE(pollFor(alice, "GET APPLICATION CorvaneForFtp0000 CONNECTABLE",
                        "APPLICATION CorvaneForFtp0000 CONNECTABLE", "APPLICATION CorvaneForFtp0000 CONNECTABLE"));
    bob.client.close();
    bob.daemon.stop(5s);
    EXPECT_TRUE(alice.client.waitLine("USER bob@localhost ONLINESTATUS OFFLINE", 20s));
    ASSERT_TRUE(startDaemon(bob));
    ASSERT_TRUE(attach(bob));
    EXPECT_TRUE(alice.client.waitLine("USER bob@localhost ONLINESTATUS ONLINE", 20s));

    // The test server offers no STARTTLS: carol's daemon with TLS required
    // never gets online; the same account without that requirement does.
    Peer carolDaemon;
    for (const char* tls : {"required", "auto"}) {
        prepare(carolDaemon, "carol", std::string("tls = ") + tls + "\n");
        ASSERT_TRUE(startDaemon(carolDaemon));
        ASSERT_TRUE(connectClient(carolDaemon));
        ASSERT_TRUE(carolDaemon.client.discover());
        if (tls == std::string("required")) {
            EXPECT_TRUE(carolDaemon.client.waitAttach(3, 10s));
            EXPECT_TRUE(waitForLog(carolDaemon, "(STARTTLS required)"));
            EXPECT_EQ(logOf(carolDaemon).find("connected as carol@localhost"), std::string::npos);
            EXPECT_EQ(carolDaemon.client.attaches().back(), 3u);
        } else {
            EXPECT_TRUE(carolDaemon.client.waitAttach(0, 20s));
            EXPECT_NE(logOf(carolDaemon).find("connected as carol@localhost/pc-carol (no TLS)"), std::string::npos);
        }
        carolDaemon.client.close();
        EXPECT_EQ(carolDaemon.daemon.stop(8s), 0);
    }

    // carol, no contact of alice's, sends what messengerd never sends.
    createOnBoth("CorvaneForFtp0000");
    RawXmppClient carol;
    ASSERT_TRUE(carol.login("carol@localhost/odd", "carolpw", server->port(), 20s));
    const size_t logBefore = logOf(alice).size();
    carol.send("<presence to='" + kAliceFull + "'><show><x xmlns='urn:example:x'/></show></presence>");
    carol.send("<presence to='" + kAliceFull + "'><applications xmlns='urn:corvane:messenger'>"
               "<application/><application name=''/></applications></presence>");
    const std::string ibb = "xmlns='http://jabber.org/protocol/ibb'";
    auto open = [&](const std::string& app) {
        return "<open " + ibb + " sid='s" + std::to_string(app.size()) + "' block-size='4096' stanza='iq'>"
               + "<application xmlns='urn:corvane:messenger' name='" + app + "'/></open>";
    };
    struct Case {
        std::string payload;
        std::string answer;
    } cases[] = {
        {open("CorvaneForFtp0000"), "error forbidden"},
        {open(std::string(100000, 'N')), "error forbidden"},
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
    // Names chosen by carol are cut in the log.
    EXPECT_LT(logOf(alice).size() - logBefore, 2000u);
    EXPECT_EQ(ask(alice, "GET APPLICATION CorvaneForFtp0000 CONNECTABLE", "APPLICATION"),
              "APPLICATION CorvaneForFtp0000 CONNECTABLE bob@localhost");

    // Disco and ping: carol learns nothing, as from a resource that is not
    // there; bob (from another client) and alice's own account do.
    struct Asker {
        std::string jid, password, answer;
    } askers[] = {
        {"carol@localhost/odd2", "carolpw", "error service-unavailable"},
        {"bob@localhost/other", "bobpw", "result"},
        {"alice@localhost/other", "alicepw", "result"},
    };
    for (const Asker& a : askers) {
        RawXmppClient client;
        ASSERT_TRUE(client.login(a.jid, a.password, server->port(), 20s));
        for (const char* payload :
             {"<query xmlns='http://jabber.org/protocol/disco#info'/>", "<ping xmlns='urn:xmpp:ping'/>"})
            EXPECT_EQ(client.request("q", "<iq type='get' id='q' to='" + kAliceFull + "'>" + payload + "</iq>", 10s),
                      a.answer)
                << a.jid << " " << payload;
    }

    // alice removes bob with another client of her account: the stream ends
    // and neither is the other's contact any more.
    std::string aRef, bRef;
    connectStream("CorvaneForFtp0000", aRef, bRef);
    ASSERT_FALSE(HasFatalFailure());
    RawXmppClient other;
    ASSERT_TRUE(other.login("alice@localhost/other", "alicepw", server->port(), 20s));
    ASSERT_EQ(other.request("rm",
                            "<iq type='set' id='rm'><query xmlns='jabber:iq:roster'>"
                            "<item jid='bob@localhost' subscription='remove'/></query></iq>",
                            10s),
              "result");
    for (Peer* p : {&alice, &bob})
        EXPECT_TRUE(p->client.waitLine("APPLICATION CorvaneForFtp0000 STREAMS", 20s)) << p->name;
    EXPECT_TRUE(pollFor(alice, "SEARCH FRIENDS", "USERS", "USERS"));
    EXPECT_TRUE(pollFor(bob, "SEARCH FRIENDS", "USERS", "USERS"));
    EXPECT_TRUE(alice.daemon.running());
}

namespace {

// alice's daemon reaches the server through a recording server and under
// it a relay of 1 ms each way, which can stop forwarding and close nothing.
class RelayedMessengers : public MessengerXmpp {
protected:
    static constexpr const char* kApp = "CorvaneForTcp2000";
    std::chrono::milliseconds serverDelay() const override { return 1ms; }
    bool tamperAlice() const override { return true; }

    // alice writes `count` texts; bob reads each, whole, once it is told
    // of it, before the next is written.
    void transfer(const std::string& aRef, const std::string& bRef, int count, size_t size)
    {
        const std::string app = kApp;
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(ask(alice, "ALTER APPLICATION " + app + " WRITE " + aRef + " " + textFor(i, size), "ALTER"),
                      "ALTER APPLICATION " + app + " WRITE " + aRef);
            std::string line;
            ASSERT_TRUE(waitPrefix(bob, "APPLICATION " + app + " RECEIVED " + bRef + "=", line)) << i;
            ASSERT_EQ(ask(bob, "ALTER APPLICATION " + app + " READ " + bRef, "ALTER"),
                      "ALTER APPLICATION " + app + " READ " + bRef + " " + textFor(i, size))
                << i;
        }
    }
};

}  // namespace

// The server must read no text of a stream: no 16-byte piece of the texts'
// bytes, as they are or as hex in either case, is in what passed the server
// nor in the data blocks decoded from it.
TEST_F(RelayedMessengers, ServerReadsNoTextAndADeadLinkIsReportedAndComesBack)
{
    std::string aRef, bRef;
    createOnBoth(kApp);
    connectStream(kApp, aRef, bRef);
    ASSERT_FALSE(HasFatalFailure());
    const int count = 100;
    transfer(aRef, bRef, count, 2000);
    ASSERT_FALSE(HasFatalFailure());
    const std::vector<std::string> recording = {aliceTamper->fromClient(), aliceTamper->fromServer()};
    std::vector<std::string> blocks;
    for (const std::string& r : recording) {
        int undecodable = 0;
        std::vector<std::string> b = XmppTamperProxy::ibbBlocks(r, undecodable);
        EXPECT_EQ(undecodable, 0);
        blocks.insert(blocks.end(), b.begin(), b.end());
    }
    EXPECT_GE(blocks.size(), static_cast<size_t>(count)) << "the texts did not travel in data blocks";
    std::unordered_set<std::string_view> raw, hex;
    std::deque<std::string> kept;
    const std::vector<std::string>* places[] = {&recording, &blocks};
    for (const std::vector<std::string>* seen : places)
        for (const std::string& s : *seen) {
            const std::string& lower = kept.emplace_back(lowered(s));
            for (size_t i = 0; i + 16 <= s.size(); ++i)
                raw.insert(std::string_view(s).substr(i, 16));
            for (size_t i = 0; i + 32 <= lower.size(); ++i)
                hex.insert(std::string_view(lower).substr(i, 32));
        }
    int found = 0;
    for (int t = 0; t < count; ++t) {
        const std::string text = lowered(textFor(t, 2000));
        for (size_t at = 0; at + 32 <= text.size(); at += 32) {
            const std::string piece = text.substr(at, 32);
            found += raw.count(fromHex(piece)) + hex.count(piece);
        }
    }
    EXPECT_EQ(found, 0) << "pieces of the texts passed the server readable";

    // The relay stops forwarding, as a link that loses every packet: within
    // the bound of the check (a ping after 5 quiet seconds, 10 s for its
    // answer) the stream is reported closed and then code 3.
    aliceProxy->freeze();
    EXPECT_TRUE(alice.client.waitLine("APPLICATION " + std::string(kApp) + " STREAMS", 25s));
    EXPECT_TRUE(alice.client.waitAttach(3, 5s));
    EXPECT_NE(logOf(alice).find("server connection lost: no answer to ping within 10 s"), std::string::npos);
    aliceProxy->thaw();
    EXPECT_TRUE(alice.client.waitAttach(0, 40s));
    ASSERT_TRUE(pollFor(alice, "GET APPLICATION " + std::string(kApp) + " CONNECTABLE",
                        "APPLICATION " + std::string(kApp) + " CONNECTABLE",
                        "APPLICATION " + std::string(kApp) + " CONNECTABLE bob@localhost"));
    // bob's program is told that the old stream is gone, at the latest when
    // alice's new session takes its resource.
    EXPECT_TRUE(bob.client.waitLine("APPLICATION " + std::string(kApp) + " STREAMS", 20s));
    connectStream(kApp, aRef, bRef);
    ASSERT_FALSE(HasFatalFailure());
    transfer(aRef, bRef, 1, 6);
}
