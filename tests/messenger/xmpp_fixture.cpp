#include "tests/messenger/xmpp_fixture.h"

#include "tests/support/tcp_test_util.h"

#include <sys/stat.h>
#include <unistd.h>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

void MessengerXmpp::SetUp()
{
    std::string reason = ProsodyServer::unavailableReason();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    dir = std::make_unique<TempDir>();
    server = std::make_unique<ProsodyServer>(dir->path());
    if (!server->writeConfig() || !server->registerUser("alice", "alicepw") || !server->registerUser("bob", "bobpw")
        || !server->registerUser("carol", "carolpw") || !server->start())
        GTEST_SKIP() << "Prosody cannot run here: " << server->error();
    if (serverDelay().count() > 0) {
        for (auto* proxy : {&aliceProxy, &bobProxy}) {
            *proxy = std::make_unique<DelayProxy>("127.0.0.1", 0, "127.0.0.1", server->port(), serverDelay());
            ASSERT_TRUE((*proxy)->start()) << (*proxy)->error();
        }
    }
    if (tamperAlice()) {
        aliceTamper = std::make_unique<XmppTamperProxy>(aliceProxy ? aliceProxy->port() : server->port());
        ASSERT_TRUE(aliceTamper->start()) << aliceTamper->error();
    }

    prepare(alice, "alice", "contact = bob@localhost\n");
    prepare(bob, "bob", "contact = alice@localhost\n");
    ASSERT_TRUE(startDaemon(alice));
    ASSERT_TRUE(startDaemon(bob));
    ASSERT_TRUE(attach(alice));
    ASSERT_TRUE(attach(bob));
    // The daemons make each other contacts on their own.
    ASSERT_TRUE(pollFor(alice, "SEARCH FRIENDS", "USERS", "USERS bob@localhost"));
    ASSERT_TRUE(pollFor(bob, "SEARCH FRIENDS", "USERS", "USERS alice@localhost"));
}

void MessengerXmpp::TearDown()
{
    if (HasFailure()) {
        for (Peer* p : {&alice, &bob}) {
            std::string all = logOf(*p);
            if (all.size() > 4000)
                all = all.substr(all.size() - 4000);
            std::cerr << "--- log of " << p->name << "'s daemon (tail)\n" << all;
        }
    }
    alice.client.close();
    bob.client.close();
    // A daemon ends cleanly on SIGTERM (under the sanitizers: without findings).
    for (Peer* p : {&alice, &bob}) {
        if (p->daemon.running()) {
            EXPECT_EQ(p->daemon.stop(8s), 0) << p->name << "'s daemon";
        }
    }
    if (server)
        server->stop();
    aliceTamper.reset();
    aliceProxy.reset();
    bobProxy.reset();
}

void MessengerXmpp::prepare(Peer& p, const std::string& name, const std::string& extra)
{
    p.name = name;
    p.jid = name + "@localhost";
    p.socket = "CorvaneMsgTest-" + std::to_string(::getpid()) + "-" + name;
    p.config = dir->file(name + ".conf");
    p.log = dir->file(name + ".log");
    DelayProxy* proxy = name == "alice" ? aliceProxy.get() : name == "bob" ? bobProxy.get() : nullptr;
    int port = proxy ? proxy->port() : server->port();
    if (name == "alice" && aliceTamper)
        port = aliceTamper->port();
    std::ofstream out(p.config);
    out << "jid = " << p.jid << "\npassword = " << name << "pw\n"
        << "server = 127.0.0.1\nport = " << port << "\n"
        << "resource = pc-" << name << "\n"
        << "log = " << p.log << "\n"
        << extra;
    out.close();
    ::chmod(p.config.c_str(), 0600);  // it holds the password
}

std::string MessengerXmpp::logOf(const Peer& p)
{
    std::ifstream in(p.log);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool MessengerXmpp::startDaemon(Peer& p)
{
    return p.daemon.start({MESSENGERD_PATH, "--config", p.config, "--api-socket", p.socket},
                          dir->file(p.name + ".out"));
}

bool MessengerXmpp::connectClient(Peer& p)
{
    return tcptest::waitUntil([&] { return p.client.connect(p.socket); }, 20s);
}

bool MessengerXmpp::attach(Peer& p) { return connectClient(p) && p.client.discover() && p.client.waitAttach(0, 20s); }

bool MessengerXmpp::waitPrefix(Peer& p, const std::string& prefix, std::string& line, std::chrono::milliseconds timeout)
{
    return p.client.waitLine([&](const std::string& l) { return l.rfind(prefix, 0) == 0; }, line, timeout);
}

std::string MessengerXmpp::ask(Peer& p, const std::string& command, const std::string& prefix)
{
    std::string line;
    if (!p.client.command(command) || !waitPrefix(p, prefix, line, 10s))
        return "(no answer to " + command + ")";
    return line;
}

bool MessengerXmpp::pollFor(Peer& p, const std::string& command, const std::string& prefix, const std::string& expected)
{
    for (int i = 0; i < 200; ++i) {
        if (ask(p, command, prefix) == expected)
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

void MessengerXmpp::createOnBoth(const std::string& app)
{
    ASSERT_EQ(ask(bob, "CREATE APPLICATION " + app, "CREATE"), "CREATE APPLICATION " + app);
    ASSERT_EQ(ask(alice, "CREATE APPLICATION " + app, "CREATE"), "CREATE APPLICATION " + app);
    ASSERT_TRUE(pollFor(alice, "GET APPLICATION " + app + " CONNECTABLE", "APPLICATION " + app + " CONNECTABLE",
                        "APPLICATION " + app + " CONNECTABLE bob@localhost"));
}

void MessengerXmpp::connectStream(const std::string& app, std::string& aliceRef, std::string& bobRef)
{
    std::string line;
    ASSERT_TRUE(alice.client.command("ALTER APPLICATION " + app + " CONNECT bob@localhost"));
    ASSERT_TRUE(alice.client.nextLine(line, 10s));
    EXPECT_EQ(line, "ALTER APPLICATION " + app + " CONNECT bob@localhost");
    ASSERT_TRUE(alice.client.nextLine(line, 10s));
    EXPECT_EQ(line, "APPLICATION " + app + " CONNECTING bob@localhost");
    ASSERT_TRUE(waitPrefix(alice, "APPLICATION " + app + " STREAMS", line));
    std::string prefix = "APPLICATION " + app + " STREAMS bob@localhost:";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    aliceRef = line.substr(line.rfind(' ') + 1);
    ASSERT_TRUE(waitPrefix(bob, "APPLICATION " + app + " STREAMS", line));
    ASSERT_EQ(line.rfind("APPLICATION " + app + " STREAMS alice@localhost:", 0), 0u) << line;
    bobRef = line.substr(line.rfind(' ') + 1);
}

bool MessengerXmpp::waitForLog(const Peer& p, const std::string& text, std::chrono::milliseconds wait)
{
    return tcptest::waitUntil([&] { return logOf(p).find(text) != std::string::npos; }, wait);
}
