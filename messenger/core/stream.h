// One stream between a program's application and a contact's: what the core
// keeps of it from the request to the close. Plain data; Streams owns every
// Stream and changes it, Programs reads the list for its report lines.
#pragma once

#include "messenger/core/send_window.h"
#include "messenger/core/stream_transport.h"
#include "messenger/crypto/stream_seal.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

// An acknowledgement owed to the peer for its block `seq`: the answer to an
// in-band request, or an ack frame on the direct path.
struct AckRef {
    IqRef iq;
    uint16_t seq = 0;
    bool direct = false;
};

struct Stream {
    explicit Stream(size_t maxTexts) : unacked(maxTexts) {}

    // "peer:id", as the program names the stream.
    std::string ref() const { return peer + ":" + std::to_string(id); }

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
    // Handshake blocks sent and not yet acknowledged (they precede every
    // text).
    int handshakeUnacked = 0;
    bool compact = false;  // texts travel in compact form both ways
    bool endSeen = false;  // the contact's sealed end came: only its close may follow
    uint16_t sendSeq = 0;
    uint16_t recvSeq = 0;
    SendWindow unacked;  // written texts not yet acknowledged
    // The same texts by their blocks, oldest first; the sealed bytes are
    // kept of those sent on the direct path, to go again in band if it
    // fails.
    struct Sent {
        uint16_t seq;
        bool direct;
        std::string block;
    };
    std::deque<Sent> inFlight;
    // Blocks go on the direct path to `full` (it is up, the handshake's
    // blocks were all acknowledged).
    bool direct = false;
    // Blocks may come on both paths: one ahead of its turn waits in `held`,
    // one that came before on the other path is only acknowledged.
    bool mixed = false;
    struct Held {
        std::string data;
        AckRef ack;
    };
    std::map<uint16_t, Held> held;
    size_t heldBytes = 0;
    // The contact's close came while blocks before it were still on the
    // way (since closeHeldSince); it takes effect when they are in.
    bool closeHeld = false;
    Clock::time_point closeHeldSince{};
    std::deque<std::string> unread;
    size_t unreadBytes = 0;
    std::deque<AckRef> withheld;  // acknowledgements of the newest unread texts
    size_t withheldBytes = 0;     // the bytes of those texts
    // Not open: when the request went out. Open with unacknowledged texts:
    // since when the peer has given no sign of life.
    Clock::time_point waitingSince{};
    bool probing = false;  // a probe is out, sent at probeSent
    Clock::time_point probeSent{};
};

// Every stream, in creation order.
using StreamList = std::vector<std::unique_ptr<Stream>>;
