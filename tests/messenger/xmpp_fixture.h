// Integration fixture: a throwaway Prosody with accounts alice, bob and
// carol, a messengerd for alice and one for bob (each other's contacts),
// and one scripted program attached to each daemon. carol has no daemon
// unless a test starts one. A derived fixture may put a delay element
// between each daemon and the server, a tampering server between alice's
// daemon and the server, and add configuration lines.
#pragma once

#include "tests/support/api_test_client.h"
#include "tests/support/delay_proxy.h"
#include "tests/support/prosody_server.h"
#include "tests/support/spawned.h"
#include "tests/support/temp_dir.h"
#include "tests/support/xmpp_tamper_proxy.h"

#include <gtest/gtest.h>
#include <memory>

class MessengerXmpp : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // One-way delay between each daemon and the server (0: none).
    virtual std::chrono::milliseconds serverDelay() const { return std::chrono::milliseconds(0); }
    // Whether alice's daemon reaches the server through aliceTamper.
    virtual bool tamperAlice() const { return false; }
    // The rate the server allows each client ("10kb/s"; empty: no limit).
    virtual std::string serverRateLimit() const { return std::string(); }
    // Lines added to the configuration of `name`'s daemon.
    virtual std::string extraConfig(const std::string&) const { return std::string(); }

    struct Peer {
        std::string name;    // alice, bob
        std::string jid;     // alice@localhost
        std::string socket;  // abstract socket name
        std::string config;
        std::string log;
        Spawned daemon;
        ApiTestClient client;
    };
    // Fills in `p` and writes its configuration: the account `name`, the
    // test server, then the lines `extra` (contacts and the like).
    void prepare(Peer& p, const std::string& name, const std::string& extra);
    static std::string logOf(const Peer& p);
    bool startDaemon(Peer& p);
    // Connects p's program to its daemon's socket (waiting for the daemon).
    bool connectClient(Peer& p);
    // Connects, discovers, and waits for attach code 0.
    bool attach(Peer& p);
    // Sends `command` and waits for a line starting with `prefix`.
    std::string ask(Peer& p, const std::string& command, const std::string& prefix);
    // Repeats `command` until its answer (the line starting with `prefix`)
    // equals `expected`.
    bool pollFor(Peer& p, const std::string& command, const std::string& prefix, const std::string& expected);
    bool waitPrefix(Peer& p, const std::string& prefix, std::string& line,
                    std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Both programs create `app`; alice waits until bob is connectable.
    void createOnBoth(const std::string& app);
    // alice connects `app` to bob; both see one stream. Returns the refs.
    void connectStream(const std::string& app, std::string& aliceRef, std::string& bobRef);
    // Waits until `p`'s log holds `text`.
    bool waitForLog(const Peer& p, const std::string& text, std::chrono::milliseconds wait = std::chrono::seconds(10));

    std::unique_ptr<TempDir> dir;
    std::unique_ptr<ProsodyServer> server;
    std::unique_ptr<DelayProxy> aliceProxy;  // when serverDelay() is not 0
    std::unique_ptr<DelayProxy> bobProxy;
    std::unique_ptr<XmppTamperProxy> aliceTamper;  // when tamperAlice()
    Peer alice;
    Peer bob;
};

// Both programs run kStreamApp and alice has a stream to bob (aRef, bRef).
class StreamBetweenDaemons : public MessengerXmpp {
public:
    static constexpr const char* kStreamApp = "CorvaneForTcp2000";

protected:
    void SetUp() override;
    // Text number i of a run: lower-case hex (what the program writes),
    // except every 50th, which is not hex and must travel as it is.
    static std::string textFor(int i, size_t size);
    // alice writes `count` texts as the program does (the next one once
    // SENDING is empty) while bob reads each as soon as it is there; every
    // text must arrive whole, once, in order.
    void transfer(int count, size_t size);

    std::string aRef, bRef;
};
