// A hostile XMPP server's view of one client, for the tests: a TCP relay on
// loopback between a daemon and the test server (plain XMPP, no TLS) that
// records every byte both ways and may change one in-band bytestream data
// block (XEP-0047) the client sends, the way a server that wants to go
// unnoticed would: the IBB seq numbers of that stream's later blocks are
// shifted so that they still run without a gap.
//
// IbbTamper is the rewriting of the client's bytes, pure and single-threaded.
// XmppTamperProxy runs it on a thread of its own, started by start() and
// joined by stop() or the destructor; its other members may be called from
// any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class IbbAction {
    None,
    FlipBit,  // one bit in the middle of the block's bytes flipped
    Drop,     // the block's iq swallowed
    Replay,   // the block's iq forwarded, then a copy of it with a new iq id
};

// Rewrites the client-to-server bytes of one XMPP connection. Every byte
// outside an IBB data iq (an <iq> holding <data xmlns='http://jabber.org/protocol/ibb'>)
// is passed on unchanged and in order; data iqs are counted per sid, and the
// armed action hits block number `block` (from 1) of the first sid that
// reaches it, once.
class IbbTamper {
public:
    void arm(IbbAction action, int block);
    // The bytes to forward for `bytes` read from the client. An element cut
    // by the read is held back until it is complete.
    std::string feed(const std::string& bytes);
    // What is held back (the client closed its side).
    std::string flush();
    bool acted() const { return done; }

private:
    std::string rewrite(const std::string& original);

    IbbAction action = IbbAction::None;
    int block = 0;
    bool done = false;
    std::string pending;
    std::map<std::string, int> counted;  // data blocks seen, by sid
    std::map<std::string, int> shift;    // added to the seq of later blocks, by sid
};

class XmppTamperProxy {
public:
    // Listens on a free port of 127.0.0.1 (see port()) and relays every
    // connection to 127.0.0.1:targetPort.
    explicit XmppTamperProxy(int targetPort);
    ~XmppTamperProxy();
    XmppTamperProxy(const XmppTamperProxy&) = delete;
    XmppTamperProxy& operator=(const XmppTamperProxy&) = delete;

    // Binds and starts the thread; false (and error()) when it cannot listen.
    bool start();
    void stop();
    int port() const { return boundPort; }
    const std::string& error() const { return why; }

    // Applies `action` to data block `block` of the first stream that
    // reaches it, on the connection open then or the next one. Returns once
    // the relay has taken it up (at most 2 s), so that every byte the client
    // sends after the call is seen armed.
    void arm(IbbAction action, int block);
    bool acted() const { return hasActed; }
    // Every byte the client sent (before any change) and the server sent.
    std::string fromClient() const;
    std::string fromServer() const;

    // The decoded bytes of every IBB data block in the XML text `xml`;
    // `undecodable` counts the blocks whose base64 is not valid.
    static std::vector<std::string> ibbBlocks(const std::string& xml, int& undecodable);

private:
    void run();

    const int targetPort;
    int listenFd = -1;
    int wakeFds[2] = {-1, -1};
    int boundPort = 0;
    std::string why;
    std::thread worker;
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> hasActed{false};
    mutable std::mutex mutex;
    std::condition_variable armTaken;
    IbbAction armedAction = IbbAction::None;  // guarded by mutex
    int armedBlock = 0;                       // guarded by mutex
    bool armedChanged = false;                // guarded by mutex
    std::string clientBytes;                  // guarded by mutex
    std::string serverBytes;                  // guarded by mutex
};
