// Two daemons through a real Prosody: what only strophe_link shows — login
// and the STARTTLS policy, roster and presence, and the stanzas of peers that
// do not behave. The core's own rules are in messenger_core_test; streams
// through a real server and a server link that dies are in the e2e suite.
#include "tests/support/api_test_client.h"
#include "tests/support/prosody_server.h"
#include "tests/support/spawned.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <strophe.h>
#include <sys/stat.h>
#include <unistd.h>
#include <fstream>
#include <map>
#include <memory>
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

// A throwaway Prosody with accounts alice, bob and carol, a messengerd for
// alice and one for bob (each other's contacts), and one scripted program
// attached to each daemon.
class MessengerXmpp : public ::testing::Test {
protected:
    struct Peer {
        std::string name;
        std::string socket;  // abstract socket name
        std::string config;
        std::string log;
        Spawned daemon;
        ApiTestClient client;
    };

    void SetUp() override
    {
        std::string reason = ProsodyServer::unavailableReason();
        if (!reason.empty())
            GTEST_SKIP() << reason;
        server = std::make_unique<ProsodyServer>(dir.path());
        if (!server->writeConfig() || !server->registerUser("alice", "alicepw")
            || !server->registerUser("bob", "bobpw") || !server->registerUser("carol", "carolpw") || !server->start())
            GTEST_SKIP() << "Prosody cannot run here: " << server->error();
        start(alice, "alice", "contact = bob@localhost\n");
        start(bob, "bob", "contact = alice@localhost\n");
        ASSERT_TRUE(attach(alice));
        ASSERT_TRUE(attach(bob));
        // The daemons make each other contacts on their own.
        ASSERT_TRUE(pollFor(alice, "SEARCH FRIENDS", "USERS", "USERS bob@localhost"));
        ASSERT_TRUE(pollFor(bob, "SEARCH FRIENDS", "USERS", "USERS alice@localhost"));
    }

    void TearDown() override
    {
        for (Peer* p : {&alice, &bob}) {
            if (HasFailure()) {
                std::cerr << "--- log of " << p->name << "'s daemon\n" << readFile(p->log);
            }
            p->client.close();
            // A daemon ends cleanly on SIGTERM (under the sanitizers: without findings).
            if (p->daemon.running()) {
                EXPECT_EQ(p->daemon.stop(8s), 0) << p->name << "'s daemon";
            }
        }
        if (server)
            server->stop();
    }

    // Writes p's configuration (the account `name`, the test server, then
    // the lines `extra`) and starts its daemon.
    void start(Peer& p, const std::string& name, const std::string& extra)
    {
        p.name = name;
        p.socket = "CorvaneMsgTest-" + std::to_string(::getpid()) + "-" + name;
        p.config = dir.file(name + ".conf");
        p.log = dir.file(name + ".log");
        std::ofstream(p.config) << "jid = " << name << "@localhost\npassword = " << name << "pw\n"
                                << "server = 127.0.0.1\nport = " << server->port() << "\nresource = pc-" << name
                                << "\nlog = " << p.log << "\n"
                                << extra;
        ::chmod(p.config.c_str(), 0600);  // it holds the password
        ASSERT_TRUE(p.daemon.start({MESSENGERD_PATH, "--config", p.config, "--api-socket", p.socket},
                                   dir.file(name + ".out")));
    }
    bool connectClient(Peer& p)
    {
        return tcptest::waitUntil([&] { return p.client.connect(p.socket); }, 20s) && p.client.discover();
    }
    bool attach(Peer& p) { return connectClient(p) && p.client.waitAttach(0, 20s); }
    bool waitPrefix(Peer& p, const std::string& prefix, std::string& line)
    {
        return p.client.waitLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, line, 20s);
    }
    // Sends `command`; the first line starting with `prefix`.
    std::string ask(Peer& p, const std::string& command, const std::string& prefix)
    {
        std::string line;
        if (!p.client.command(command) || !waitPrefix(p, prefix, line))
            return "(no answer to " + command + ")";
        return line;
    }
    // Repeats `command` until its answer equals `expected`.
    bool pollFor(Peer& p, const std::string& command, const std::string& prefix, const std::string& expected)
    {
        for (int i = 0; i < 200; ++i) {
            if (ask(p, command, prefix) == expected)
                return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }
    bool connectable(const std::string& expected)
    {
        return pollFor(alice, "GET APPLICATION " + kApp + " CONNECTABLE", "APPLICATION " + kApp + " CONNECTABLE",
                       "APPLICATION " + kApp + " CONNECTABLE" + expected);
    }

    TempDir dir;
    std::unique_ptr<ProsodyServer> server;
    Peer alice;
    Peer bob;
};

}  // namespace

TEST_F(MessengerXmpp, LoginRosterPresenceAndStrangers)
{
    EXPECT_EQ(ask(alice, "GET USER bob@localhost ONLINESTATUS", "USER bob@localhost ONLINESTATUS"),
              "USER bob@localhost ONLINESTATUS ONLINE");
    for (Peer* p : {&bob, &alice})
        ASSERT_EQ(ask(*p, "CREATE APPLICATION " + kApp, "CREATE"), "CREATE APPLICATION " + kApp);
    ASSERT_TRUE(connectable(" bob@localhost"));
    EXPECT_EQ(ask(bob, "DELETE APPLICATION " + kApp, "DELETE"), "DELETE APPLICATION " + kApp);
    EXPECT_TRUE(connectable(""));
    ASSERT_EQ(ask(bob, "CREATE APPLICATION " + kApp, "CREATE"), "CREATE APPLICATION " + kApp);
    ASSERT_TRUE(connectable(" bob@localhost"));

    // The test server offers no STARTTLS: carol's daemon with TLS required
    // never gets online; the same account without that requirement does.
    for (const std::string tls : {"required", "auto"}) {
        Peer carol;
        start(carol, "carol", "tls = " + tls + "\n");
        ASSERT_TRUE(connectClient(carol));
        if (tls == "required") {
            EXPECT_TRUE(carol.client.waitAttach(3, 10s));
            EXPECT_TRUE(tcptest::waitUntil(
                [&] { return readFile(carol.log).find("(STARTTLS required)") != std::string::npos; }, 10s));
            EXPECT_EQ(readFile(carol.log).find("connected as carol@localhost"), std::string::npos);
            EXPECT_EQ(carol.client.attaches().back(), 3u);
        } else {
            EXPECT_TRUE(carol.client.waitAttach(0, 20s));
            EXPECT_NE(readFile(carol.log).find("connected as carol@localhost/pc-carol (no TLS)"), std::string::npos);
        }
        carol.client.close();
        EXPECT_EQ(carol.daemon.stop(8s), 0);
        ::unlink(carol.log.c_str());
    }

    // carol, no contact of alice's, sends what messengerd never sends.
    RawXmppClient carol;
    ASSERT_TRUE(carol.login("carol@localhost/odd", "carolpw", server->port()));
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
    EXPECT_EQ(ask(alice, "GET APPLICATION " + kApp + " CONNECTABLE", "APPLICATION"),
              "APPLICATION " + kApp + " CONNECTABLE bob@localhost");

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
        ASSERT_TRUE(client.login(a.jid, a.password, server->port()));
        for (const char* payload :
             {"<query xmlns='http://jabber.org/protocol/disco#info'/>", "<ping xmlns='urn:xmpp:ping'/>"})
            EXPECT_EQ(client.request("q", "<iq type='get' id='q' to='" + kAliceFull + "'>" + payload + "</iq>"),
                      a.answer)
                << a.jid << " " << payload;
    }

    // alice removes bob with another client of her account: the stream ends
    // and neither is the other's contact any more.
    std::string line;
    ASSERT_TRUE(alice.client.command("ALTER APPLICATION " + kApp + " CONNECT bob@localhost"));
    for (Peer* p : {&alice, &bob}) {
        ASSERT_TRUE(waitPrefix(*p, "APPLICATION " + kApp + " STREAMS", line)) << p->name;
        EXPECT_NE(line, "APPLICATION " + kApp + " STREAMS") << p->name;
    }
    RawXmppClient other;
    ASSERT_TRUE(other.login("alice@localhost/other", "alicepw", server->port()));
    ASSERT_EQ(other.request("rm", "<iq type='set' id='rm'><query xmlns='jabber:iq:roster'>"
                                  "<item jid='bob@localhost' subscription='remove'/></query></iq>"),
              "result");
    for (Peer* p : {&alice, &bob}) {
        EXPECT_TRUE(p->client.waitLine("APPLICATION " + kApp + " STREAMS", 20s)) << p->name;
        EXPECT_TRUE(pollFor(*p, "SEARCH FRIENDS", "USERS", "USERS")) << p->name;
    }
    EXPECT_TRUE(alice.daemon.running());
}
