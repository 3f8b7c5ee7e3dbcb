// The daemon's core: the programs attached through the local socket, their
// applications and streams, the contacts; it answers every command line and
// turns XMPP events into notifications. It knows no sockets and no XMPP
// library: lines and attach codes go out through ClientSink, stanzas through
// XmppLink. Owned by the daemon; every call on the daemon's thread.
#pragma once

#include "messenger/contacts.h"
#include "messenger/log.h"
#include "messenger/noise.h"
#include "messenger/send_window.h"
#include "messenger/stream_seal.h"
#include "messenger/trust.h"
#include "messenger/xmpp_link.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct Command;

class ClientSink {
public:
    virtual void sendAttach(int client, uint32_t code, uint32_t handle) = 0;
    virtual void sendLine(int client, const std::string& line) = 0;

protected:
    ~ClientSink() = default;
};

// How streams behave; the configuration file sets these.
struct StreamSettings {
    // Unread texts a stream keeps before it withholds acknowledgements.
    int maxUnread = 64;
    // How long a peer may leave a stream request, or a written text together
    // with the probe that follows it, unanswered before the stream is given up.
    std::chrono::milliseconds answerTimeout = std::chrono::seconds(30);
    // Texts a stream may have in flight (sent, not yet acknowledged) before
    // it is listed in SENDING and its program stops writing.
    int window = 32;
    // Offer and use the compact form of texts (compact_text.h).
    bool compact = true;
};

class Messenger {
public:
    using Clock = std::chrono::steady_clock;

    // A stream whose peer keeps more texts unacknowledged than this beyond
    // maxUnread is not following the protocol: the stream is closed. A
    // window may not be larger.
    static constexpr size_t kMaxWithheld = 1024;
    // Streams of one application between this account and one contact,
    // both directions and those still opening together. A program opens
    // one per service and contact; a request beyond is refused.
    static constexpr size_t kMaxStreamsPerPeer = 8;
    // A stream acknowledges a text only while its unread texts, that one
    // included, take at most this many bytes (and number at most
    // maxUnread): a slow reader holds back its writer by bytes as well.
    static constexpr size_t kAckedUnreadBytes = 2u << 20;
    // Unread bytes a stream may keep, acknowledged or not. A peer that
    // waits for its acknowledgements stays below this with a window of
    // hundreds of texts; one that sends on is not following the protocol
    // and loses the stream.
    static constexpr size_t kMaxUnreadBytes = 8u << 20;
    // Unread bytes of all streams together; a text beyond ends its stream.
    static constexpr size_t kMaxUnreadTotal = 64u << 20;

    // `ownJid`: the account's bare JID. `accepted`: the user's contacts:
    // their subscription requests are accepted (and they are asked in
    // turn); no one else is a friend, whatever the server's roster says.
    // `identity`: this installation's static key pair; `trust`: the pins
    // of contacts' keys.
    Messenger(ClientSink& sink, XmppLink& link, Log& log, std::string ownJid, std::vector<std::string> accepted,
              const StreamSettings& settings, const noise::KeyPair& identity, TrustStore& trust);
    ~Messenger();
    Messenger(const Messenger&) = delete;
    Messenger& operator=(const Messenger&) = delete;

    // The local socket.
    void clientDiscover(int client);
    void clientCommand(int client, const std::string& line);
    void clientClosed(int client);

    // The time now; called regularly by the daemon's loop. Events between
    // two calls count as happening at the last one. Gives up streams whose
    // peer does not answer.
    void tick(Clock::time_point now);

    // The server connection; serverOnline after the roster has been loaded.
    void serverOnline();
    void serverOffline();
    bool online() const { return isOnline; }

    // Roster and presence.
    void rosterItem(const std::string& bare, const std::string& subscription);
    void rosterRemoved(const std::string& bare);
    void subscriptionRequest(const std::string& bare);
    void presence(const std::string& full, bool available, const std::string& show, const std::set<std::string>& apps);

    // In-band bytestreams.
    // `offersCompact`: the opener's daemon offers the compact form.
    void openRequest(const std::string& full, const std::string& sid, const std::string& app, bool offersCompact,
                     const IqRef& ref);
    // `compact`: the peer took up the compact form that this side offered.
    void openResult(const std::string& full, const std::string& sid, bool ok, bool compact);
    // `data`: the block's bytes (the text, or its compact form).
    void block(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data,
               const IqRef& ref);
    void blockResult(const std::string& full, const std::string& sid, bool ok);
    void closeRequest(const std::string& full, const std::string& sid, const IqRef& ref);
    // The answer to probe(): `ok` when the peer answered the ping.
    void probeResult(const std::string& full, const std::string& sid, bool ok);
    // A data block that could not be decoded: the stream cannot go on.
    void badBlock(const std::string& full, const std::string& sid, const IqRef& ref);

    // Whether `bare` may ask this account's resource what it is (disco#info)
    // and whether it is there (ping): the own account and contacts that
    // see its presence. Anyone else learns nothing from the daemon.
    bool mayQuery(const std::string& bare) const;

    // Application names of all attached programs (what presence advertises).
    std::set<std::string> applications() const;
    size_t streamCount() const { return streams.size(); }

private:
    enum class ClientState { Connected, NotAvailable, Attached };
    struct App {
        std::string name;
        std::string lastSending;      // last SENDING line sent
        std::string lastReceivedSet;  // streams named by the last RECEIVED line
        std::deque<int> readOrder;    // stream ids with unread texts, next first
    };
    struct Client {
        ClientState state = ClientState::Connected;
        bool sawCodeZero = false;  // C frames only after code 0 on this connection
        std::vector<App> apps;     // creation order
    };
    struct Stream {
        int client = 0;
        std::string app;
        int id = 0;        // 0 until open
        std::string peer;  // bare JID: the handle
        std::string full;  // the peer's full JID
        std::string sid;
        // Open: the handshake is done and the program knows the stream.
        bool open = false;
        bool opener = false;  // this side asked for the stream
        std::unique_ptr<StreamSeal> seal;
        // Handshake blocks sent and not yet acknowledged (they precede
        // every text).
        int handshakeUnacked = 0;
        bool compact = false;  // texts travel in compact form both ways
        bool endSeen = false;  // the contact's sealed end came: only its close may follow
        uint16_t sendSeq = 0;
        uint16_t recvSeq = 0;
        explicit Stream(size_t maxTexts) : unacked(maxTexts) {}
        SendWindow unacked;  // written texts not yet acknowledged
        std::deque<std::string> unread;
        size_t unreadBytes = 0;
        std::deque<IqRef> withheld;  // acknowledgements of the newest unread texts
        size_t withheldBytes = 0;    // the bytes of those texts
        // Not open: when the request went out. Open with unacknowledged
        // texts: since when the peer has given no sign of life.
        Clock::time_point waitingSince{};
        bool probing = false;  // a probe is out, sent at probeSent
        Clock::time_point probeSent{};
    };

    void handleCommand(int client, Client& c, const std::string& line);
    // handleCommand's command families; `line` is the command as sent. The
    // first two return false for a command that is not theirs.
    // Invalid commands and those that name no application of the program.
    bool answerGeneralCommand(int client, Client& c, const Command& cmd, const std::string& line);
    // Commands on the program's application `app`, not on one of its streams.
    bool answerApplicationCommand(int client, Client& c, App& app, const Command& cmd, const std::string& line);
    // Commands on the stream `s` of the program's application `app`.
    void answerStreamCommand(int client, App& app, Stream& s, const Command& cmd, const std::string& line);
    // The application `name` of an attached program, else null.
    App* attachedApp(int client, const std::string& name);
    void send(int client, const std::string& line);
    void broadcast(const std::string& line);
    App* findApp(Client& c, const std::string& name);
    Stream* findStream(int client, const std::string& app, const std::string& user, int id);
    Stream* findBySid(const std::string& full, const std::string& sid);
    std::string ref(const Stream& s) const;
    // The stream may not send more before an acknowledgement comes.
    bool windowFull(const Stream& s) const { return s.unacked.full(); }
    std::string streamsLine(int client, const std::string& app) const;
    std::string sendingLine(int client, const std::string& app) const;
    std::string receivedLine(int client, const App& app) const;
    std::string receivedSet(int client, const App& app) const;
    void reportSending(int client, const std::string& app, bool always);
    void reportReceived(int client, const std::string& app, bool always);
    // Ends a stream here; tells the peer when `tellPeer`, the program when
    // `tellProgram`.
    void removeStream(Stream* s, bool tellPeer, bool tellProgram, const std::string& why);
    void releaseAcks(Stream& s);
    // The steps of block(). The first two return false when they refused the
    // block, which has then been answered and `s` removed.
    // The text a data block carries, unpacked when the stream is compact.
    bool decodeBlock(Stream& s, const std::string& full, const std::string& sid, const std::string& data,
                     const IqRef& iq, std::string& text);
    // Whether a text of `size` bytes in block `seq` is in order and within
    // the limits of the stream and of all streams.
    bool admitBlock(Stream& s, uint16_t seq, size_t size, const IqRef& iq);
    // Keeps the text for READ, acknowledges or withholds it, tells the program.
    void storeText(Stream& s, std::string text, const IqRef& iq);
    // A block of a stream whose handshake is not done.
    void handshakeBlock(Stream& s, uint16_t seq, const std::string& data, const IqRef& iq);
    // Sends what the handshake has to send and acts on its step; false
    // when the stream has been removed.
    bool advanceHandshake(Stream& s, StreamSeal::Step step);
    // Whether the peer's key, just shown by the handshake, is the one
    // pinned for the contact (pins it on first use).
    bool trustPeerKey(Stream& s);
    // The stream is established: the program learns of it.
    void streamEstablished(Stream& s);
    void closeStreamsWith(const std::string& bare, const std::string& why);
    // Streams of `app` with the contact `bare`, opening ones included.
    size_t streamsWith(const std::string& bare, const std::string& app) const;
    size_t unreadTotal() const;
    void connect(int client, const std::string& app, const std::string& user);
    void write(int client, const std::string& app, Stream& s, const std::string& text);
    void read(int client, App& app, Stream& s);
    void advertise();
    void askOnce(const std::string& bare);
    bool isAccepted(const std::string& bare) const;
    std::string newSid();

    ClientSink& sink;
    XmppLink& link;
    Log& log;
    const std::string own;
    const std::vector<std::string> accepted;
    const noise::KeyPair identity;
    TrustStore& trust;
    const size_t maxUnread;
    const std::chrono::milliseconds answerTimeout;
    const size_t window;
    const bool compact;
    Clock::time_point now;
    bool isOnline = false;
    Contacts contacts;
    std::map<int, Client> clients;
    std::vector<std::unique_ptr<Stream>> streams;  // creation order
    std::map<std::string, int> lastId;             // per application name, never reused
    std::set<std::string> askedThisSession;
    std::set<std::string> ignoredThisSession;  // roster items not in the contact list, logged once
    std::string sidPrefix;
    uint64_t sidCounter = 0;
};
