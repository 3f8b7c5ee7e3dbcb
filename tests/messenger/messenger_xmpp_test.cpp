// What only server_connection shows: the capabilities hash, the Jingle
// messages of a direct path, and through a real Prosody and a relay that
// plays a hostile server the stanzas of peers that do not behave, a roster
// change from the own account, and what a server in between cannot bend. The core's own rules are in
// messenger_core_test; login, streams through a real server and a server link that dies are in the e2e suite.
#include "messenger/xmpp/caps.h"
#include "messenger/xmpp/external_services.h"
#include "messenger/xmpp/jingle.h"
#include "messenger/xmpp/stanzas.h"
#include "tests/support/api_test_client.h"
#include "tests/support/delay_proxy.h"
#include "tests/support/prosody_server.h"
#include "tests/support/spawned.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <strophe.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kAliceFull = "alice@localhost/pc-alice";
const std::string kApp = "CorvaneForFtp0000";

// A scripted program attached to a messengerd of the account `name`.
struct Peer {
    std::string name;
    std::string socket;  // abstract socket name
    std::string log;
    Spawned daemon;
    ApiTestClient client;

    // Writes the configuration (the account, the test server, `contact`)
    // and starts the daemon; then attaches.
    bool start(const TempDir& dir, const std::string& n, int port, const std::string& contact)
    {
        name = n;
        socket = "CorvaneMsgTest-" + std::to_string(::getpid()) + "-" + name;
        log = dir.file(name + ".log");
        const std::string config = dir.file(name + ".conf");
        std::ofstream(config) << "jid = " << name << "@localhost\npassword = " << name << "pw\nserver = 127.0.0.1\n"
                              << "port = " << port << "\nresource = pc-" << name << "\nlog = " << log
                              << "\ncontact = " << contact << "\n";
        ::chmod(config.c_str(), 0600);  // it holds the password
        return daemon.start({MESSENGERD_PATH, "--config", config, "--api-socket", socket}, dir.file(name + ".out"))
               && tcptest::waitUntil([&] { return client.connect(socket); }, 20s) && client.discover()
               && client.waitAttach(0, 20s);
    }
    // Repeats `command` until its answer (the line starting with `prefix`)
    // equals `expected`.
    bool pollFor(const std::string& command, const std::string& prefix, const std::string& expected)
    {
        for (int i = 0; i < 200; ++i) {
            std::string line;
            if (client.command(command)
                && client.waitLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, line, 20s)
                && line == expected)
                return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
};

// The whole stanzas among the XML bytes of a stream, one chunk at a time:
// what follows the last complete stanza waits for the next chunk.
class StanzaCutter {
public:
    std::vector<std::string> add(const std::string& bytes)
    {
        std::vector<std::string> whole;
        for (char c : bytes) {
            held += c;
            if (c == '<') {
                tagStart = held.size();
            } else if (tagStart && c == '>') {
                const bool closing = held[tagStart] == '/';
                // A new stream after a login starts over inside no element.
                if (held.compare(tagStart + (closing ? 1 : 0), 13, "stream:stream") == 0)
                    depth = closing ? 0 : 1;
                else if (held[tagStart] != '?' && held[held.size() - 2] != '/')
                    depth += closing ? -1 : 1;
                tagStart = 0;
                // Depth 1 is inside the stream's own element.
                if (depth <= 1) {
                    whole.push_back(held);
                    held.clear();
                }
            }
        }
        return whole;
    }

private:
    std::string held;
    size_t tagStart = 0;  // 0: not inside a tag
    int depth = 0;
};

const std::string kIbb = "http://jabber.org/protocol/ibb";

std::string attribute(const std::string& stanza, const std::string& name)
{
    std::smatch m;
    return std::regex_search(stanza, m, std::regex(" " + name + "=['\"]([^'\"]*)['\"]")) ? m[1].str() : "";
}

bool logHas(const Peer& p, const std::string& text)
{
    return tcptest::waitUntil([&] { return readFile(p.log).find(text) != std::string::npos; }, 20s);
}

// alice's answer to the iq `id` the relay put in: "result", "error
// <condition>", or "" when none came in time.
std::string answerTo(const DelayProxy& relay, const std::string& id)
{
    std::string answer;
    tcptest::waitUntil(
        [&] {
            StanzaCutter cutter;
            for (const std::string& stanza : cutter.add(relay.recorded(true))) {
                if (stanza.rfind("<iq", 0) != 0 || attribute(stanza, "id") != id)
                    continue;
                answer = attribute(stanza, "type");
                std::smatch m;
                if (std::regex_search(stanza, m, std::regex("<error[^>]*>\\s*<([a-z-]+)")))
                    answer += " " + m[1].str();
                return true;
            }
            return false;
        },
        20s);
    return answer;
}

// readJingle of the element written in `xml`.
std::optional<PathSignal> readJingleXml(const std::string& xml, std::string& why, size_t& leftOut)
{
    xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
    xmpp_stanza_t* e = xmpp_stanza_new_from_string(ctx, xml.c_str());
    EXPECT_NE(e, nullptr) << xml;
    std::optional<PathSignal> s = e ? readJingle(e, why, leftOut) : std::nullopt;
    if (e)
        xmpp_stanza_release(e);
    xmpp_ctx_free(ctx);
    return s;
}

// A peer's offer of a direct path with `candidates`.
std::string offerXml(const std::string& candidates)
{
    return "<jingle xmlns='urn:xmpp:jingle:1' action='session-initiate' initiator='a@x/r' sid='s1'>"
           "<content creator='initiator' name='path'><description xmlns='urn:corvane:messenger:direct-path:0'/>"
           "<transport xmlns='urn:xmpp:jingle:transports:ice-udp:1' ufrag='8hhy' pwd='asd88fgpdd777uzjYhagZg'>"
           + candidates + "</transport></content></jingle>";
}

}  // namespace

// A throwaway Prosody with accounts alice and bob, and messengerd for each,
// each other's contacts. alice's daemon reaches Prosody through a relay that
// plays a hostile server: it drops and makes up stanzas, as from bob or from
// carol, who is no contact of alice's. (A made-up close, a replayed opening,
// a request to start over and a pin that cannot be stored: the core's and
// the pin file's tests.)
TEST(MessengerXmpp, AServerInBetweenCannotBendAnAnswerOrTheRoster)
{
    if (std::string reason = ProsodyServer::unavailableReason(); !reason.empty())
        GTEST_SKIP() << reason;
    TempDir dir;
    ProsodyServer server(dir.path());
    if (!server.writeConfig() || !server.registerUser("alice", "alicepw") || !server.registerUser("bob", "bobpw")
        || !server.start())
        GTEST_SKIP() << "Prosody cannot run here: " << server.error();
    // Armed, the relay keeps alice's next stream from the server and tells
    // its request's id. Its thread uses these: they outlive it.
    std::mutex mutex;
    bool dropOpen = false;
    std::string droppedOpenId;
    std::string droppedOpenSid;
    StanzaCutter fromAlice;
    DelayProxy relay("127.0.0.1", 0, "127.0.0.1", server.port(), 0ms);
    relay.recordBytes();
    relay.setFilter([&](bool towardsServer, std::string& bytes) {
        if (!towardsServer)
            return;
        std::string out;
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& stanza : fromAlice.add(bytes)) {
            if (dropOpen && stanza.find("<open") != std::string::npos) {
                dropOpen = false;
                droppedOpenId = attribute(stanza, "id");
                droppedOpenSid = attribute(stanza, "sid");
            }
            if (!droppedOpenSid.empty() && attribute(stanza, "sid") == droppedOpenSid)
                continue;
            out += stanza;
        }
        bytes = out;
    });
    ASSERT_TRUE(relay.start()) << relay.error();
    Peer alice;
    Peer bob;
    ASSERT_TRUE(alice.start(dir, "alice", relay.port(), "bob@localhost"));
    ASSERT_TRUE(bob.start(dir, "bob", server.port(), "alice@localhost"));
    for (Peer* p : {&alice, &bob})
        ASSERT_TRUE(p->pollFor("CREATE APPLICATION " + kApp, "CREATE", "CREATE APPLICATION " + kApp));
    const std::string connectable = "GET APPLICATION " + kApp + " CONNECTABLE";
    // The daemons make each other contacts on their own.
    ASSERT_TRUE(bob.pollFor(connectable, "APPLICATION", "APPLICATION " + kApp + " CONNECTABLE alice@localhost"));
    ASSERT_TRUE(alice.pollFor(connectable, "APPLICATION", "APPLICATION " + kApp + " CONNECTABLE bob@localhost"));

    // On the local socket a frame the program never sends ends the
    // connection; a program of another user id is refused with code 2.
    for (const std::string& bytes : {std::string("\x01\x00\x10\x00", 4), encodeAttach(0, 1)}) {
        ApiTestClient c;
        ASSERT_TRUE(c.connect(alice.socket));
        ASSERT_TRUE(c.sendRaw(bytes));
        EXPECT_TRUE(c.waitClosed(5s));
    }
    if (::getuid() == 0) {
        const pid_t child = ::fork();
        if (child == 0) {
            // The refusal comes at once, whether the discover frame got through or not.
            ApiTestClient c;
            const bool connected = ::setgid(65534) == 0 && ::setuid(65534) == 0 && c.connect(alice.socket);
            c.discover();
            ::_exit(connected && c.waitAttach(kAttachRefused, 5s) && c.waitClosed(5s) ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_TRUE(tcptest::waitUntil(
            [&] { return readFile(alice.log).find("refused a connection from user id 65534") != std::string::npos; }));
    }

    // carol, no contact of alice's, sends what messengerd never sends.
    const std::string fromCarol = " from='carol@localhost/odd' to='" + kAliceFull + "'>";
    relay.inject(false, "<presence" + fromCarol + "<show><x xmlns='urn:example:x'/></show></presence>");
    relay.inject(false, "<presence" + fromCarol
                            + "<applications xmlns='urn:corvane:messenger'><application/><application name=''/>"
                              "</applications></presence>");
    const std::string ibb = "xmlns='" + kIbb + "'";
    struct Case {
        std::string payload;
        std::string answer;
    } cases[] = {
        {"<open " + ibb + " sid='s1' block-size='4096' stanza='iq'><application xmlns='urn:corvane:messenger' name='"
             + kApp + "'/></open>",
         "error forbidden"},
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
        relay.inject(false, "<iq type='set' id='" + id + "'" + fromCarol + c.payload + "</iq>");
        EXPECT_EQ(answerTo(relay, id), c.answer) << c.payload.substr(0, 200);
    }
    EXPECT_TRUE(alice.pollFor(connectable, "APPLICATION", "APPLICATION " + kApp + " CONNECTABLE bob@localhost"));

    // Disco and ping: carol learns nothing, as from a resource that is not
    // there; alice's own account does.
    for (const auto& [from, answer] :
         {std::pair{"carol@localhost/odd2", "error service-unavailable"}, std::pair{"alice@localhost/other", "result"}})
        for (const char* payload :
             {"<query xmlns='http://jabber.org/protocol/disco#info'/>", "<ping xmlns='urn:xmpp:ping'/>"}) {
            const std::string id = "q" + std::to_string(++n);
            relay.inject(false, "<iq type='get' id='" + id + "' from='" + from + "' to='" + kAliceFull + "'>" + payload
                                    + "</iq>");
            EXPECT_EQ(answerTo(relay, id), answer) << from << " " << payload;
        }

    // An answer to alice's stream request counts only from bob: another
    // account's is not taken for his.
    {
        std::lock_guard<std::mutex> lock(mutex);
        dropOpen = true;
    }
    ASSERT_TRUE(alice.client.command("ALTER APPLICATION " + kApp + " CONNECT bob@localhost"));
    std::string openId;
    ASSERT_TRUE(tcptest::waitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        openId = droppedOpenId;
        return !openId.empty();
    }));
    const std::string bobFull = "bob@localhost/pc-bob";
    const std::string refusal = "<error type='cancel'><forbidden xmlns='urn:ietf:params:xml:ns:xmpp-stanzas'/></error>";
    relay.inject(false, "<iq type='error' id='" + openId + "' from='carol@localhost/odd' to='" + kAliceFull + "'>"
                            + refusal + "</iq><iq type='get' id='after'><ping xmlns='urn:xmpp:ping'/></iq>");
    ASSERT_EQ(answerTo(relay, "after"), "result");
    EXPECT_EQ(readFile(alice.log).find("stream open to " + bobFull + " refused"), std::string::npos);
    relay.inject(false, "<iq type='error' id='" + openId + "' to='" + kAliceFull + "' from='" + bobFull + "'>" + refusal
                            + "</iq>");
    EXPECT_TRUE(logHas(alice, "stream open to " + bobFull + " refused"));

    // A roster change from the own server (no sender) is taken: bob is no
    // contact of alice's any more.
    relay.inject(false,
                 "<iq type='set' id='rm'><query xmlns='jabber:iq:roster'>"
                 "<item jid='bob@localhost' subscription='remove'/></query></iq>");
    EXPECT_EQ(answerTo(relay, "rm"), "result");
    EXPECT_TRUE(alice.pollFor("SEARCH FRIENDS", "USERS", "USERS"));
    for (Peer* p : {&alice, &bob}) {
        // A daemon ends cleanly on SIGTERM (under the sanitizers: without findings).
        p->client.close();
        EXPECT_EQ(p->daemon.stop(8s), 0) << p->name << "'s daemon";
    }
}

TEST(MessengerCaps, VerificationStringOfTheProtocolExampleAndEveryApplicationIsAFeature)
{
    // The worked example of XEP-0115, section 5.2.
    xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
    EXPECT_EQ(capsVer(ctx, "client", "pc", "Exodus 0.9.1",
                      {"http://jabber.org/protocol/muc", "http://jabber.org/protocol/disco#info",
                       "http://jabber.org/protocol/disco#items", "http://jabber.org/protocol/caps"}),
              "QgayPKawpkPSDYmwT/WM94uAlu0=");
    xmpp_ctx_free(ctx);
    std::vector<std::string> f = discoFeatures({"CorvaneForFtp0000", "CorvaneForTcp2000"});
    for (const char* feature : {"urn:corvane:messenger:app:CorvaneForFtp0000",
                                "urn:corvane:messenger:app:CorvaneForTcp2000", "http://jabber.org/protocol/ibb"})
        EXPECT_NE(std::find(f.begin(), f.end(), feature), f.end()) << feature;
    EXPECT_TRUE(std::is_sorted(f.begin(), f.end()));
}

TEST(MessengerStanzas, ADataBlockWrittenAsTextReadsBackWhateverTheAddressAndStreamName)
{
    // The stream id comes from the peer that opened the stream, and a
    // resource may hold any character: neither may break the stanza.
    xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
    const std::string to = "bob@localhost/it's <\"&> pc";
    const std::string sid = "s'1\"&<>";
    for (const std::string& base64 : {std::string("QUJD"), std::string()}) {
        std::string xml = iqXml("set", "cv7", to, ibbDataXml(sid, 65535, base64));
        xmpp_stanza_t* iq = xmpp_stanza_new_from_string(ctx, xml.c_str());
        ASSERT_NE(iq, nullptr) << xml;
        EXPECT_EQ(str(xmpp_stanza_get_name(iq)), "iq");
        EXPECT_EQ(str(xmpp_stanza_get_type(iq)), "set");
        EXPECT_EQ(str(xmpp_stanza_get_id(iq)), "cv7");
        EXPECT_EQ(str(xmpp_stanza_get_to(iq)), to);
        xmpp_stanza_t* data = xmpp_stanza_get_child_by_name_and_ns(iq, "data", kNsIbb);
        ASSERT_NE(data, nullptr) << xml;
        EXPECT_EQ(str(xmpp_stanza_get_attribute(data, "sid")), sid);
        EXPECT_EQ(str(xmpp_stanza_get_attribute(data, "seq")), "65535");
        char* text = xmpp_stanza_get_text(data);
        EXPECT_EQ(str(text), base64);
        xmpp_free(ctx, text);
        xmpp_stanza_release(iq);
    }
    xmpp_ctx_free(ctx);
}

TEST(MessengerExternalServices, UsableStunAndTurnAreTakenBoundedAndTheCredentialsNeverLogged)
{
    xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
    std::string xml =
        "<services xmlns='urn:xmpp:extdisco:2'>"
        "<service type='stun' host='10.0.0.1' port='3478' transport='udp'/>"
        "<service type='turn' host='10.0.0.1' port='3478' transport='udp' username='1800000000:pca'"
        " password='s3cret' expires='2027-01-15T12:00:00Z' restricted='1'/>"
        "<service type='turn' host='10.0.0.1' port='70000'/>"
        "<service type='turn' host='10.0.0.1' port='-1'/>"
        "<service type='stun' port='3478'/>"
        "<service type='ftp' host='10.0.0.1' port='21'/>"
        "<other type='stun' host='10.0.0.1' port='3478'/>";
    for (int i = 0; i < 40; ++i)
        xml += "<service type='stun' host='flood.example' port='1'/>";
    xml += "</services>";
    xmpp_stanza_t* services = xmpp_stanza_new_from_string(ctx, xml.c_str());
    ASSERT_NE(services, nullptr);
    std::vector<ExternalService> found = readExternalServices(services);
    ASSERT_EQ(found.size(), kMaxExternalServices);
    EXPECT_EQ(found[1].username, "1800000000:pca");
    EXPECT_EQ(found[1].password, "s3cret");
    EXPECT_EQ(found[2].host, "flood.example");  // every malformed one was left out
    found.resize(2);
    std::string line = describeExternalServices(found);
    EXPECT_EQ(line, "STUN 10.0.0.1:3478 (udp), TURN 10.0.0.1:3478 (udp, credentials until 2027-01-15T12:00:00Z)");
    EXPECT_EQ(describeExternalServices(readExternalServices(nullptr)), "none");
    xmpp_stanza_release(services);
    xmpp_ctx_free(ctx);
}

TEST(MessengerJingle, EachMessageReadsBackAsWrittenAndAsAPeerWritesIt)
{
    using K = IceCandidate;
    PathSignal offer{PathSignal::Action::Initiate, "s1", {"8hhy", "asd88fgpdd777uzjYhagZg", {}}, ""};
    offer.ice.candidates = {
        {"1", "udp", 2130706431, "10.0.1.1", 8998, K::Type::Host, "", 0, 0, "c1"},
        {"2", "udp", 1694498815, "192.0.2.3", 45664, K::Type::ServerReflexive, "10.0.1.1", 8998, 1, "c2"},
        {"3+/", "udp", 16777215, "2001:db8::9", 3478, K::Type::Relayed, "192.0.2.3", 0, 0, "c3"},
        {"4", "udp", 1862270975, "198.51.100.7", 50000, K::Type::PeerReflexive, "", 0, 0, "c4"}};
    std::string why;
    size_t leftOut = 9;
    EXPECT_EQ(readJingleXml(offerXml("<candidate component='1' foundation='1' generation='0' id='c1' ip='10.0.1.1'"
                                     " network='0' port='8998' priority='2130706431' protocol='udp' type='host'/>"
                                     "<candidate component='1' foundation='2' generation='1' id='c2' ip='192.0.2.3'"
                                     " port='45664' priority='1694498815' protocol='UDP' type='srflx'"
                                     " rel-addr='10.0.1.1' rel-port='8998'/>"
                                     "<candidate component='1' foundation='3+/' id='c3' ip='2001:DB8:0::9'"
                                     " port='3478' priority='16777215' protocol='udp' type='relay'"
                                     " rel-addr='::FFFF:192.0.2.3'/>"
                                     "<candidate component='1' foundation='4' id='c4' ip='198.51.100.7'"
                                     " port='50000' priority='1862270975' protocol='udp' type='prflx'/>"),
                            why, leftOut),
              offer)
        << why;
    EXPECT_EQ(leftOut, 0u);

    PathSignal accept = offer, more = offer, end{PathSignal::Action::Terminate, "s1", {}, "timeout"};
    accept.action = PathSignal::Action::Accept;
    more.action = PathSignal::Action::Candidates;
    more.ice.candidates.resize(1);
    xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
    const std::vector<PathSignal> signals{offer, accept, more, end};
    for (size_t i = 0; i < signals.size(); ++i) {
        const PathSignal& s = signals[i];
        xmpp_stanza_t* e = jingleElement(ctx, s, "alice@localhost/pc-alice");
        char* text = nullptr;
        size_t length = 0;
        ASSERT_EQ(xmpp_stanza_to_text(e, &text, &length), XMPP_EOK);
        const std::string xml(text, length);
        xmpp_free(ctx, text);
        xmpp_stanza_release(e);
        EXPECT_EQ(readJingleXml(xml, why, leftOut), s) << xml << ": " << why;
        // Who offered and who accepted; candidates alone name no application.
        EXPECT_EQ(xml.find("initiator=\"alice@localhost/pc-alice\"") != std::string::npos, i == 0) << xml;
        EXPECT_EQ(xml.find("responder=\"alice@localhost/pc-alice\"") != std::string::npos, i == 1) << xml;
        EXPECT_EQ(xml.find(kNsDirectPath) != std::string::npos, i < 2) << xml;
    }
    xmpp_ctx_free(ctx);
}

TEST(MessengerJingle, MessagesAndCandidatesOfPeersThatDoNotBehaveAreRefusedOrLeftOut)
{
    std::string why;
    size_t leftOut = 0;
    const std::string good =
        "<candidate component='1' foundation='1' id='c1' ip='10.0.1.1' port='8998'"
        " priority='2130706431' protocol='udp' type='host'/>";
    const std::string offer = offerXml(good);
    auto with = [](std::string xml, const std::string& from, const std::string& to) {
        return xml.replace(xml.find(from), from.size(), to);
    };
    const std::string candidates = with(offer, "session-initiate", "transport-info");
    for (const std::string& xml : std::vector<std::string>{
             with(offer, "session-initiate", "content-add"), with(offer, "sid='s1'", "sid=''"),
             with(offer, "sid='s1'", "sid='s&#10;1'"), with(offer, "sid='s1'", "sid='" + std::string(129, 's') + "'"),
             with(offer, "jingle:1", "jingle:0"),
             "<jingle xmlns='urn:xmpp:jingle:1' action='session-accept' sid='s1'/>",
             with(with(offer, "session-initiate", "session-accept"), "<description", "<nothing"),
             with(candidates, "direct-path:0", "apps:rtp:1"), with(offer, "ice-udp:1", "ibb:1"),
             with(offer, "ufrag='8hhy'", "ufrag='8hh'"), with(offer, "ufrag='8hhy'", "ufrag='8h-y'"),
             with(offer, "ufrag='8hhy'", "ufrag='" + std::string(257, 'u') + "'"),
             with(offer, "pwd='asd88fgpdd777uzjYhagZg'", "pwd='asd88fgpdd777uzjYhagZ'"),
             with(candidates, " ufrag='8hhy'", "")}) {
        EXPECT_EQ(readJingleXml(xml, why, leftOut), std::nullopt) << xml;
        EXPECT_FALSE(why.empty()) << xml;
    }
    // Candidates alone need not name the application.
    EXPECT_TRUE(
        readJingleXml(with(candidates, "<description xmlns='urn:corvane:messenger:direct-path:0'/>", ""), why, leftOut))
        << why;

    // One good candidate, then one with these attributes in place of
    // those of a good one: each is left out.
    const std::string other =
        " component='1' foundation='1' generation='0' id='c2' ip='10.0.1.1' port='1'"
        " priority='1' protocol='udp' rel-addr='10.0.1.2' rel-port='1' type='host'";
    const std::regex name("([a-z-]+)=");
    // Rows split at "|".
    std::string rows =
        "component='2'|protocol='tcp'|type='local'|ip='h.example'|ip='0.0.0.0'|ip='::'|ip='224.0.0.1'|"
        "ip='239.255.255.250'|ip='255.255.255.255'|ip='ff02::1'|ip='::ffff:224.0.0.1'|ip='fe80::1%eth0'|"
        "ip='10.0.1.01'|port='0'|port='65536'|port='+80'|port=' 80'|port='-1'|port='0x50'|"
        "priority='4294967296'|priority='1e3'|foundation=''|foundation='a-b'|id=''|id='c&#9;2'|generation='-0'|"
        "rel-addr='h.example'|rel-port='70000'|port='8998'|ip='::ffff:10.0.1.1' port='8998'|";
    rows += "foundation='" + std::string(33, 'f') + "'|id='" + std::string(65, 'i') + "'";
    std::istringstream table(rows);
    for (std::string change; std::getline(table, change, '|');) {
        std::string c = other;
        for (std::sregex_iterator m(change.begin(), change.end(), name), end; m != end; ++m)
            c = std::regex_replace(c, std::regex(" " + (*m)[1].str() + "='[^']*'"), "");
        std::optional<PathSignal> s =
            readJingleXml(offerXml(good + "<candidate" + c + " " + change + "/>"), why, leftOut);
        ASSERT_TRUE(s) << change << ": " << why;
        EXPECT_EQ(s->ice.candidates.size(), 1u) << change;
        EXPECT_EQ(leftOut, 1u) << change;
    }

    // No more than kMaxIceCandidates from one message.
    std::string many;
    for (int i = 1; i <= 20; ++i)
        many += "<candidate component='1' foundation='1' id='c' ip='10.0.1.1' port='" + std::to_string(i)
                + "' priority='1' protocol='udp' type='host'/>";
    std::optional<PathSignal> s = readJingleXml(offerXml(many), why, leftOut);
    ASSERT_TRUE(s) << why;
    EXPECT_EQ(s->ice.candidates.size(), kMaxIceCandidates);
    EXPECT_EQ(s->ice.candidates.back().port, kMaxIceCandidates);
    EXPECT_EQ(leftOut, 20 - kMaxIceCandidates);

    // A session's end names its first condition; none, or one of no one's
    // knowing, is a general error.
    for (const auto& [reason, read] : std::vector<std::pair<std::string, std::string>>{
             {"<reason><success/></reason>", "success"},
             {"<reason><text>gone fishing</text><mine xmlns='urn:x'/><decline/><gone/></reason>", "decline"},
             {"<reason><unheard-of/></reason>", "general-error"},
             {"", "general-error"}}) {
        s = readJingleXml(
            "<jingle xmlns='urn:xmpp:jingle:1' action='session-terminate' sid='s1'>" + reason + "</jingle>", why,
            leftOut);
        ASSERT_TRUE(s) << reason;
        EXPECT_EQ(*s, (PathSignal{PathSignal::Action::Terminate, "s1", {}, read})) << reason;
    }
}
