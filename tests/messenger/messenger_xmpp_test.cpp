// What only strophe_link shows: the capabilities hash, and through a real
// Prosody the stanzas of peers that do not behave and a roster change from
// the own account. The core's own rules are in messenger_core_test; login, streams
// through a real server and a server link that dies are in the e2e suite.
#include "messenger/caps.h"
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
#include <map>
#include <mutex>
#include <regex>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kAliceFull = "alice@localhost/pc-alice";
const std::string kApp = "CorvaneForFtp0000";

// A bare libstrophe client without TLS that sends stanzas written as XML,
// to play a peer that does what messengerd never does.
class RawXmppClient {
public:
    RawXmppClient() : ctx(xmpp_ctx_new(nullptr, nullptr)), conn(xmpp_conn_new(ctx)) {}
    ~RawXmppClient()
    {
        if (online) {
            xmpp_disconnect(conn);
            for (int i = 0; i < 50 && !xmpp_conn_is_disconnected(conn); ++i)
                xmpp_run_once(ctx, 20);
        }
        xmpp_conn_release(conn);
        xmpp_ctx_free(ctx);
    }
    bool login(const std::string& jid, const std::string& password, int port)
    {
        xmpp_conn_set_flags(conn, XMPP_CONN_FLAG_DISABLE_SM | XMPP_CONN_FLAG_DISABLE_TLS);
        xmpp_conn_set_jid(conn, jid.c_str());
        xmpp_conn_set_pass(conn, password.c_str());
        if (xmpp_connect_client(conn, "127.0.0.1", static_cast<unsigned short>(port), onConnection, this) != XMPP_EOK)
            return false;
        run([this] { return online; });
        return online;
    }
    void send(const std::string& xml) { xmpp_send_raw(conn, xml.data(), xml.size()); }
    // Sends the iq `xml` whose id is `id`; its answer: "result", "error
    // <condition>", or "" when none came in time.
    std::string request(const std::string& id, const std::string& xml)
    {
        send(xml);
        run([&] { return answers.count(id) > 0 || !online; });
        return answers.count(id) ? answers[id] : std::string();
    }

private:
    template <typename Done>
    void run(Done done)
    {
        for (auto deadline = std::chrono::steady_clock::now() + 20s;
             !done() && std::chrono::steady_clock::now() < deadline;)
            xmpp_run_once(ctx, 20);
    }
    static void onConnection(xmpp_conn_t* c, xmpp_conn_event_t event, int, xmpp_stream_error_t*, void* self)
    {
        auto* client = static_cast<RawXmppClient*>(self);
        client->online = event == XMPP_CONN_CONNECT;
        if (client->online)
            xmpp_handler_add(c, onIq, nullptr, "iq", nullptr, client);
    }
    static int onIq(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self)
    {
        const char* type = xmpp_stanza_get_type(stanza);
        const char* id = xmpp_stanza_get_id(stanza);
        if (!type || !id || (std::string(type) != "result" && std::string(type) != "error"))
            return 1;
        std::string answer = type;
        // The defined condition: the first element child of <error/>.
        xmpp_stanza_t* err = xmpp_stanza_get_child_by_name(stanza, "error");
        for (xmpp_stanza_t* c = err ? xmpp_stanza_get_children(err) : nullptr; c; c = xmpp_stanza_get_next(c))
            if (const char* name = xmpp_stanza_get_name(c)) {
                answer += std::string(" ") + name;
                break;
            }
        static_cast<RawXmppClient*>(self)->answers[id] = answer;
        return 1;
    }

    xmpp_ctx_t* ctx;
    xmpp_conn_t* conn;
    bool online = false;
    std::map<std::string, std::string> answers;  // by iq id
};

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

}  // namespace

// A throwaway Prosody with accounts alice, bob and carol, and messengerd for
// alice and for bob, each other's contacts.
TEST(MessengerXmpp, StrangersLearnNothingAndARosterRemovalEndsTheContact)
{
    if (std::string reason = ProsodyServer::unavailableReason(); !reason.empty())
        GTEST_SKIP() << reason;
    TempDir dir;
    ProsodyServer server(dir.path());
    if (!server.writeConfig() || !server.registerUser("alice", "alicepw") || !server.registerUser("bob", "bobpw")
        || !server.registerUser("carol", "carolpw") || !server.start())
        GTEST_SKIP() << "Prosody cannot run here: " << server.error();
    Peer alice;
    Peer bob;
    ASSERT_TRUE(alice.start(dir, "alice", server.port(), "bob@localhost"));
    ASSERT_TRUE(bob.start(dir, "bob", server.port(), "alice@localhost"));
    // The daemons make each other contacts on their own.
    ASSERT_TRUE(alice.pollFor("SEARCH FRIENDS", "USERS", "USERS bob@localhost"));
    ASSERT_TRUE(bob.pollFor("SEARCH FRIENDS", "USERS", "USERS alice@localhost"));
    for (Peer* p : {&bob, &alice})
        ASSERT_TRUE(p->pollFor("CREATE APPLICATION " + kApp, "CREATE", "CREATE APPLICATION " + kApp));
    const std::string connectable = "GET APPLICATION " + kApp + " CONNECTABLE";
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
    RawXmppClient carol;
    ASSERT_TRUE(carol.login("carol@localhost/odd", "carolpw", server.port()));
    const size_t logBefore = readFile(alice.log).size();
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
        {open(kApp), "error forbidden"},
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
        EXPECT_EQ(carol.request(id, "<iq type='set' id='" + id + "' to='" + kAliceFull + "'>" + c.payload + "</iq>"),
                  c.answer)
            << c.payload.substr(0, 200);
    }
    // Names chosen by carol are cut in the log.
    EXPECT_LT(readFile(alice.log).size() - logBefore, 2000u);
    EXPECT_TRUE(alice.pollFor(connectable, "APPLICATION", "APPLICATION " + kApp + " CONNECTABLE bob@localhost"));

    // Disco and ping: carol learns nothing, as from a resource that is not
    // there; alice's own account does.
    struct Asker {
        std::string jid, password, answer;
    } askers[] = {
        {"carol@localhost/odd2", "carolpw", "error service-unavailable"},
        {"alice@localhost/other", "alicepw", "result"},
    };
    for (const Asker& a : askers) {
        RawXmppClient client;
        ASSERT_TRUE(client.login(a.jid, a.password, server.port()));
        for (const char* payload :
             {"<query xmlns='http://jabber.org/protocol/disco#info'/>", "<ping xmlns='urn:xmpp:ping'/>"})
            EXPECT_EQ(client.request("q", "<iq type='get' id='q' to='" + kAliceFull + "'>" + payload + "</iq>"),
                      a.answer)
                << a.jid << " " << payload;
    }

    // alice removes bob with another client of her account: neither is the
    // other's contact any more.
    RawXmppClient other;
    ASSERT_TRUE(other.login("alice@localhost/other", "alicepw", server.port()));
    ASSERT_EQ(other.request("rm",
                            "<iq type='set' id='rm'><query xmlns='jabber:iq:roster'>"
                            "<item jid='bob@localhost' subscription='remove'/></query></iq>"),
              "result");
    for (Peer* p : {&alice, &bob}) {
        EXPECT_TRUE(p->pollFor("SEARCH FRIENDS", "USERS", "USERS")) << p->name;
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

namespace {

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
                inTag = true;
                closing = false;
                slashLast = false;
                tagStart = held.size();
            } else if (inTag && c == '/' && held.size() == tagStart + 1) {
                closing = true;
            } else if (inTag && c == '>') {
                inTag = false;
                const bool special = held[tagStart] == '?';
                // A new stream after a login starts over inside no element.
                if (held.compare(tagStart + (closing ? 1 : 0), 13, "stream:stream") == 0)
                    depth = closing ? 0 : 1;
                else
                    depth += special || slashLast ? 0 : closing ? -1 : 1;
                // Depth 1 is inside the stream's own element.
                if (depth <= 1) {
                    whole.push_back(held);
                    held.clear();
                }
            }
            if (inTag)
                slashLast = c == '/';
        }
        return whole;
    }

private:
    std::string held;
    bool inTag = false;
    bool closing = false;
    bool slashLast = false;
    size_t tagStart = 0;
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

// No stream was announced to the program before the answer to a question.
bool noStreamAnnounced(Peer& p)
{
    std::string line;
    return p.client.command("GET APPLICATION " + kApp + " CONNECTABLE")
           && p.client.waitLine([](const std::string& l) { return l.rfind("APPLICATION " + kApp + " ", 0) == 0; }, line,
                                20s)
           && line.rfind("APPLICATION " + kApp + " CONNECTABLE", 0) == 0;
}

}  // namespace

// alice's daemon reaches Prosody through a relay that plays a hostile
// server: it drops, replays and makes up stanzas between the two daemons.
TEST(MessengerXmpp, AServerInBetweenCannotBendTheOpeningThePinsOrTheEnd)
{
    if (std::string reason = ProsodyServer::unavailableReason(); !reason.empty())
        GTEST_SKIP() << reason;
    TempDir dir;
    ProsodyServer server(dir.path());
    if (!server.writeConfig() || !server.registerUser("alice", "alicepw") || !server.registerUser("bob", "bobpw")
        || !server.start())
        GTEST_SKIP() << "Prosody cannot run here: " << server.error();
    DelayProxy relay("127.0.0.1", 0, "127.0.0.1", server.port(), 0ms);
    relay.recordBytes();
    // Armed, the relay keeps alice's next IK opening from the server and
    // tells its sid.
    std::mutex mutex;
    bool dropIk = false;
    std::string droppedSid;
    StanzaCutter fromAlice;
    relay.setFilter([&](bool towardsServer, std::string& bytes) {
        if (!towardsServer)
            return;
        std::string out;
        std::lock_guard<std::mutex> lock(mutex);
        for (const std::string& stanza : fromAlice.add(bytes)) {
            // An IK message: 'I' and the next byte's first bits in base64.
            static const std::regex ik(">S[Q-Za-f]");
            if (dropIk && stanza.find("<data") != std::string::npos && attribute(stanza, "seq") == "0"
                && std::regex_search(stanza, ik)) {
                dropIk = false;
                droppedSid = attribute(stanza, "sid");
                continue;
            }
            out += stanza;
        }
        bytes = out;
    });
    ASSERT_TRUE(relay.start()) << relay.error();
    // alice's pins file lies in a folder that is gone.
    ASSERT_EQ(::symlink(dir.file("gone/alice.pins").c_str(), dir.file("alice.pins").c_str()), 0);
    Peer alice;
    Peer bob;
    ASSERT_TRUE(alice.start(dir, "alice", relay.port(), "bob@localhost"));
    ASSERT_TRUE(bob.start(dir, "bob", server.port(), "alice@localhost"));
    for (Peer* p : {&alice, &bob})
        ASSERT_TRUE(p->pollFor("CREATE APPLICATION " + kApp, "CREATE", "CREATE APPLICATION " + kApp));
    const std::string connectable = "GET APPLICATION " + kApp + " CONNECTABLE";
    ASSERT_TRUE(bob.pollFor(connectable, "APPLICATION", "APPLICATION " + kApp + " CONNECTABLE alice@localhost"));
    ASSERT_TRUE(alice.pollFor(connectable, "APPLICATION", "APPLICATION " + kApp + " CONNECTABLE bob@localhost"));
    const std::string alter = "ALTER APPLICATION " + kApp + " ";
    const std::string streams = "APPLICATION " + kApp + " STREAMS";

    // A first use whose pin cannot be stored is refused.
    ASSERT_TRUE(bob.client.command(alter + "CONNECT alice@localhost"));
    EXPECT_TRUE(logHas(alice, "its key cannot be checked or pinned: cannot lock the pins file " + dir.file("alice.pins")
                                  + ": No such file or directory"));
    EXPECT_TRUE(noStreamAnnounced(alice));
    ::unlink(dir.file("alice.pins").c_str());
    // Stored, it goes on (bob pinned alice's key the first time: IK).
    ASSERT_TRUE(bob.client.command(alter + "CONNECT alice@localhost"));
    ASSERT_TRUE(alice.client.waitLine(streams + " bob@localhost:1", 20s));
    ASSERT_TRUE(logHas(alice, ", sealed, IK)"));
    std::smatch m;
    const std::string aliceLog = readFile(alice.log);
    ASSERT_TRUE(std::regex_search(aliceLog, m, std::regex("accepted stream bob@localhost:1 of \\S+ \\(sid (\\S+),")));
    const std::string sid = m[1].str();

    // A close the server makes up is a broken stream, not bob's end.
    const std::string bobFull = "bob@localhost/pc-bob";
    const std::string toAlice = "' to='alice@localhost/pc-alice' from='" + bobFull + "'>";
    relay.inject(false,
                 "<iq type='set' id='forged-close" + toAlice + "<close xmlns='" + kIbb + "' sid='" + sid + "'/></iq>");
    EXPECT_TRUE(alice.client.waitLine(streams, 20s));
    EXPECT_TRUE(logHas(alice, "closed: broken: closed without the sealed end of " + bobFull));

    // The recorded opening of that stream, played again, makes no stream.
    std::string replay;
    StanzaCutter fromServer;
    for (const std::string& stanza : fromServer.add(relay.recorded(false)))
        if (attribute(stanza, "sid") == sid
            && (stanza.find("<open") != std::string::npos || stanza.find("<data") != std::string::npos))
            replay += stanza;
    ASSERT_NE(replay.find("<open"), std::string::npos);
    relay.inject(false, replay);
    EXPECT_TRUE(logHas(alice, "closed: the handshake failed: the contact did not confirm the handshake"));
    EXPECT_TRUE(noStreamAnnounced(alice));

    // The server keeps alice's IK opening and asks her, as bob, to start
    // over: she warns, and bob's key is checked all the same.
    {
        std::lock_guard<std::mutex> lock(mutex);
        dropIk = true;
    }
    ASSERT_TRUE(alice.client.command(alter + "CONNECT bob@localhost"));
    std::string restartSid;
    ASSERT_TRUE(tcptest::waitUntil([&] {
        std::lock_guard<std::mutex> lock(mutex);
        restartSid = droppedSid;
        return !restartSid.empty();
    }));
    relay.inject(false, "<iq type='set' id='forged-restart" + toAlice + "<data xmlns='" + kIbb + "' sid='" + restartSid
                            + "' seq='0'>Ug==</data></iq>");
    EXPECT_TRUE(logHas(alice, "warning: the stream " + restartSid + " of " + kApp
                                  + " to bob@localhost starts over without the pinned key (XX)"));
    for (Peer* p : {&alice, &bob}) {
        p->client.close();
        EXPECT_EQ(p->daemon.stop(8s), 0) << p->name << "'s daemon";
    }
}
