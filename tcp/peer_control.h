// QV_PEERCONTROL: the packets a connection sends towards the peer through the
// outbound queue: CONNECT-REQUEST, CONNECT-REPLY and DISCONNECT-REQUEST, and
// the hand-over of every packet (the relay's DATA too) with the signal that
// lets the stream send it before its next tick. A control packet that meets
// a full queue waits for room, at most kControlWaitMs and never past a stop.
//
// Owned by a QV_SOCKETTCP. Threads: called on the connection thread, the
// outbound queue's only producer, so room seen is room kept. Each control
// packet is built on the caller's stack; the object keeps no packet between
// calls. The link, the queue and the waker must outlive the object.
#pragma once

#include <cstdint>

#include "core/que.h"
#include "tcp/tcp_link.h"
#include "tcp/tcp_waker.h"

class QV_PEERCONTROL {
public:
    // How long a control packet waits for room in a full outbound queue.
    static constexpr int32_t kControlWaitMs = 5000;

    QV_PEERCONTROL(const QV_TCPLINK& link, QV_QUE& outbound, QV_TCPWAKER& waker);
    QV_PEERCONTROL(const QV_PEERCONTROL&) = delete;
    QV_PEERCONTROL& operator=(const QV_PEERCONTROL&) = delete;

    // Asks the peer to open the far end of a newly accepted connection.
    void queueConnectRequest();
    // The reply is of kind DATA-LINK CONTROL on a data link, CONTROL
    // otherwise, and carries replyPort.
    void queueConnectReply(int32_t replyPort, int32_t result, int32_t error);
    // reason: 0 an orderly end, 2 a broken one, 3 the local program's
    // half-close (see a2a_packet.h).
    void queueDisconnect(int32_t reason);

    // Queues a packet for the peer and wakes the event loop to send it;
    // 1 queued, 0 refused.
    int32_t queueForPeer(const uint8_t* packet, uint32_t size);

private:
    // A header of the link's control kind with `code`, for packetPort.
    void buildControl(uint8_t* packet, uint16_t code, int32_t packetPort) const;
    int32_t enqueueControl(const uint8_t* packet);

    const QV_TCPLINK& link;
    QV_QUE& outbound;
    QV_TCPWAKER& waker;
};
