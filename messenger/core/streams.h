// The streams of every attached program: CONNECT, WRITE, READ and
// DISCONNECT on one side, the transport's events on the other, and between
// them the sealed handshake, the send window and the flow control of unread
// texts (streams.cpp says how they work together). No I/O: blocks go out
// through a StreamTransport, lines to programs through Programs, keys are
// checked against a TrustStore. Owned by Messenger; every call on the
// daemon's thread.
#pragma once

#include "messenger/core/contacts.h"
#include "messenger/core/direct_paths.h"
#include "messenger/core/programs.h"
#include "messenger/core/stream.h"
#include "messenger/core/stream_transport.h"
#include "messenger/crypto/noise.h"
#include "messenger/support/log.h"
#include "messenger/trust/trust_store.h"

#include <chrono>
#include <functional>
#include <map>
#include <string>

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

class Streams : public StreamEvents, public PathUsers {
public:
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

    // `streams`: the list to keep them in (Programs reads it); `own`: the
    // account's bare JID; `contacts`: who may have streams
    // (read only); `identity`: this installation's static key pair;
    // `trust`: the pins of contacts' keys.
    Streams(StreamList& streams, Programs& programs, StreamTransport& transport, Log& log, const Contacts& contacts,
            std::string own, const StreamSettings& settings, const noise::KeyPair& identity, TrustStore& trust);
    Streams(const Streams&) = delete;
    Streams& operator=(const Streams&) = delete;
    // The direct paths streams may move onto (none: every stream stays in
    // band).
    void setPaths(DirectPaths* p) { paths = p; }

    // The program's commands on streams; `online`: the server connection is
    // up.
    void connect(int client, const std::string& app, const std::string& user, bool online);
    void write(int client, const std::string& app, Stream& s, const std::string& text);
    void read(int client, Programs::App& app, Stream& s);
    void disconnect(Stream& s);
    // The open stream the program names, else null.
    Stream* find(int client, const std::string& app, const std::string& user, int id);

    // Ends every stream that `match` picks; tells the peer when `tellPeer`,
    // the program when `tellProgram`.
    void closeMatching(const std::function<bool(const Stream&)>& match, bool tellPeer, bool tellProgram,
                       const std::string& why);
    // The server connection is gone: every stream ends without a word to
    // the peers, and the programs that had open ones get their STREAMS line.
    void serverLost();
    const StreamList& all() const { return streams; }

    // The time now. Events between two calls count as happening at the last
    // one. Gives up streams whose peer does not answer.
    void tick(Clock::time_point now);

    void openRequest(const std::string& full, const std::string& sid, const std::string& app, bool offersCompact,
                     const IqRef& ref) override;
    void openResult(const std::string& full, const std::string& sid, bool ok, bool compact) override;
    void block(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data,
               const IqRef& ref) override;
    void blockResult(const std::string& full, const std::string& sid, uint16_t seq, bool ok) override;
    void closeRequest(const std::string& full, const std::string& sid, const IqRef& ref) override;
    void probeResult(const std::string& full, const std::string& sid, bool ok) override;
    void badBlock(const std::string& full, const std::string& sid, const IqRef& ref) override;

    void pathUp(const std::string& full, const std::string& how) override;
    void pathDown(const std::string& full, const std::string& why) override;
    void directBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data) override;
    void directAck(const std::string& full, const std::string& sid, uint16_t seq) override;
    void directClose(const std::string& full, const std::string& sid) override;
    bool usesPath(const std::string& full) const override;

private:
    Stream* findBySid(const std::string& full, const std::string& sid);
    // Ends a stream here; tells the peer when `tellPeer`, the program when
    // `tellProgram`.
    void removeStream(Stream* s, bool tellPeer, bool tellProgram, const std::string& why);
    // Refuses the block of `ack` with `condition` and ends the stream for
    // `why`.
    void refuse(Stream& s, const AckRef& ack, const char* condition, const std::string& why);
    // Acknowledges a block on the path it came by.
    void acknowledge(const Stream& s, const AckRef& ack);
    void releaseAcks(Stream& s);
    // A sealed block of the stream's own, on its path now.
    void sendSealed(Stream& s, std::string block);
    // A block of an open stream from either path, in its turn or not.
    void receive(Stream& s, uint16_t seq, const std::string& data, const AckRef& ack);
    // The block in its turn; false when the stream has been removed.
    bool take(Stream& s, uint16_t seq, const std::string& data, const AckRef& ack);
    // A block that came before on the other path.
    void duplicate(Stream& s, const AckRef& ack);
    // The texts up to `seq` were acknowledged.
    void ackedUpTo(Stream& s, uint16_t seq);
    // The contact closed the stream.
    void peerClosed(Stream& s);
    // The stream's blocks go on the direct path from now on.
    void goDirect(Stream& s, const std::string& how);
    // Keeps the text for READ, acknowledges or withholds it, tells the program.
    void storeText(Stream& s, std::string text, const AckRef& ack);
    // A block of a stream whose handshake is not done.
    void handshakeBlock(Stream& s, uint16_t seq, const std::string& data, const IqRef& iq);
    // Sends what the handshake has to send and acts on its step; false
    // when the stream has been removed.
    bool advanceHandshake(Stream& s, StreamSeal::Step step);
    // The stream is established: the program learns of it.
    void streamEstablished(Stream& s);
    // Streams of `app` with the contact `bare`, opening ones included.
    size_t streamsWith(const std::string& bare, const std::string& app) const;
    std::string newSid();

    Programs& programs;
    StreamTransport& transport;
    Log& log;
    const Contacts& contacts;
    const std::string own;
    const noise::KeyPair identity;
    TrustStore& trust;
    DirectPaths* paths = nullptr;
    const size_t maxUnread;
    const std::chrono::milliseconds answerTimeout;
    const size_t window;
    const bool compact;
    Clock::time_point now;
    StreamList& streams;
    std::map<std::string, int> lastId;  // per application name, never reused
    std::string sidPrefix;
    uint64_t sidCounter = 0;
};
