// QV_TCPRELAY: the relay of one TCP connection. Each pass reads at most one
// block from the local program into a DATA packet for the peer and writes at
// most one packet from the peer to the program, then pauses until the next
// pass; the peer's DISCONNECT-REQUEST, the local program's close, a failed
// receive or send, or a stop end it. endConnection then tells the peer how
// it ended and closes the local connection.
//
// Half-close: once the local program has shut down its sending side nothing
// more is read, and a DISCONNECT-REQUEST marked as a send end tells the
// peer; once the peer's has come, the sending side towards the program is
// shut down. The connection is over when both are done.
//
// Owned by a QV_SOCKETTCP. Threads: run and endConnection are called on the
// connection thread, which alone touches the endpoint, the work area and the
// state of the run; clearPeerEnd by the owner while no relay runs. endByPeer
// may be called from the event-loop thread at any time (the peer's end is an
// atomic word, and the nudge wakes the pass). The queues are shared with the
// event-loop thread under their own mutexes. Everything given to the
// constructor must outlive the object.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

#include "core/que.h"
#include "tcp/peer_control.h"
#include "tcp/tcp_endpoint.h"
#include "tcp/tcp_link.h"
#include "tcp/tcp_waker.h"

class QV_TCPRELAY {
public:
    // One TCP read becomes one DATA packet of at most this many bytes.
    static constexpr int32_t kReadSize = 10240;

    // How a relay ended. Finished: both sides shut down their sending sides
    // in turn, in order; nothing is left to tell.
    enum class End { Stopped, ReceiveFailed, SendFailed, PeerDisconnect, PeerAbort, Finished };

    QV_TCPRELAY(const QV_TCPLINK& link, QV_TCPENDPOINT& endpoint, QV_TCPWAKER& waker, QV_PEERCONTROL& control,
                QV_QUE& inbound, QV_QUE& outbound);
    QV_TCPRELAY(const QV_TCPRELAY&) = delete;
    QV_TCPRELAY& operator=(const QV_TCPRELAY&) = delete;

    // Relays the endpoint's open connection until it ends.
    End run();
    // Tells the peer how the connection ended (unless `tellPeer` is false or
    // nothing is left to tell) and closes the local connection: in order,
    // or with a reset when it broke, so that the local program never takes
    // a cut connection for a complete one.
    void endConnection(End end, bool tellPeer);

    // The peer ended the open connection but its DISCONNECT-REQUEST could not
    // be queued: the relay ends as if it had taken the packet, an aborted end
    // at once, an orderly one after the data already queued is written.
    void endByPeer(bool aborted);
    // A new connection: an earlier endByPeer does not concern it.
    void clearPeerEnd() { peerEnd = 0; }

private:
    // The steps of one pass; each answers how the relay ends, or nothing
    // to go on.
    std::optional<End> readFromProgram();
    std::optional<End> takeFromPeer();
    std::optional<End> writeToProgram();
    std::optional<End> onPeerControl();
    void pauseUntilNextPass();
    // Puts the receive buffer's `length` bytes into a DATA packet for the peer.
    void queueData(int32_t length);

    const QV_TCPLINK& link;
    QV_TCPENDPOINT& endpoint;
    QV_TCPWAKER& waker;
    QV_PEERCONTROL& control;
    QV_QUE& inbound;
    QV_QUE& outbound;
    std::atomic<int32_t> peerEnd{0};  // 0, or the reason + 1 of endByPeer

    // State of the current run.
    std::chrono::steady_clock::time_point nextPass;
    bool drained = false;     // the last read found nothing waiting
    bool localDone = false;   // the local program closed its sending side
    bool remoteDone = false;  // the peer's program closed its sending side
    // Work area: one queue entry.
    uint8_t entry[QV_QUE::kSlotSize];
};
