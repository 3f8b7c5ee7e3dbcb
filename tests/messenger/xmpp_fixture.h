// Integration fixture: a throwaway Prosody with accounts alice, bob and
// carol, a messengerd for alice and one for bob (each other's contacts),
// and one scripted program attached to each daemon. A derived fixture may
// put a relay between each daemon and the server, and a recording server
// between alice's daemon and the server.
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

    // One-way delay of a relay between each daemon and the server (0: none).
    virtual std::chrono::milliseconds serverDelay() const { return std::chrono::milliseconds(0); }
    // Whether alice's daemon reaches the server through aliceTamper.
    virtual bool tamperAlice() const { return false; }

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
    // test server, then the lines `extra`.
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
    bool waitForLog(const Peer& p, const std::string& text, std::chrono::milliseconds wait = std::chrono::seconds(10));

    std::unique_ptr<TempDir> dir;
    std::unique_ptr<ProsodyServer> server;
    std::unique_ptr<DelayProxy> aliceProxy;  // when serverDelay() is not 0
    std::unique_ptr<DelayProxy> bobProxy;
    std::unique_ptr<XmppTamperProxy> aliceTamper;  // when tamperAlice()
    Peer alice;
    Peer bob;
};
