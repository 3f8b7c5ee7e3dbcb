#include "tcp/peer_control.h"

#include <cstdio>

#include "core/outbound_signal.h"
#include "wire/a2a_packet.h"

namespace {
// How often a control packet looks for room in a full queue.
constexpr int kRoomPollMs = 20;
}  // namespace

QV_PEERCONTROL::QV_PEERCONTROL(const QV_TCPLINK& owner, QV_QUE& queue, QV_TCPWAKER& ownerWaker)
    : link(owner), outbound(queue), waker(ownerWaker)
{
}

void QV_PEERCONTROL::buildControl(uint8_t* packet, uint16_t code, int32_t packetPort) const
{
    initA2AHeader(packet);
    setA2AKind(packet, link.controlKind());
    setA2ACode(packet, code);
    setA2APort(packet, static_cast<uint16_t>(packetPort));
}

int32_t QV_PEERCONTROL::queueForPeer(const uint8_t* packet, uint32_t size)
{
    int32_t queued = outbound.enqueue(packet, size);
    // The stream may send it before its next tick.
    if (queued)
        signalOutbound();
    return queued;
}

int32_t QV_PEERCONTROL::enqueueControl(const uint8_t* packet)
{
    // This thread is the queue's only producer: room seen is room kept.
    if (outbound.hasRoom())
        return queueForPeer(packet, kA2AHeaderSize);
    const int port = link.port;
    int code = a2aCode(packet);
    std::printf("PORT%d A2ASEND QUE FULL: control packet code=%d waits\n", port, code);
    for (int waited = 0; waited < kControlWaitMs; waited += kRoomPollMs) {
        if (waker.stopRequested()) {
            std::printf("PORT%d control packet code=%d abandoned on stop\n", port, code);
            return 0;
        }
        waker.pauseMs(kRoomPollMs);
        if (outbound.hasRoom())
            return queueForPeer(packet, kA2AHeaderSize);
    }
    std::printf("PORT%d control packet code=%d lost: queue stayed full\n", port, code);
    return 0;
}

void QV_PEERCONTROL::queueConnectRequest()
{
    uint8_t packet[kA2AHeaderSize];
    buildControl(packet, kA2ACodeConnectRequest, link.port);
    enqueueControl(packet);
}

void QV_PEERCONTROL::queueConnectReply(int32_t replyPort, int32_t result, int32_t error)
{
    uint8_t packet[kA2AHeaderSize];
    buildControl(packet, kA2ACodeConnectReply, replyPort);
    setA2AResult(packet, static_cast<uint16_t>(result));
    setA2AError(packet, static_cast<uint16_t>(error & 0xffff));
    enqueueControl(packet);
}

void QV_PEERCONTROL::queueDisconnect(int32_t reason)
{
    uint8_t packet[kA2AHeaderSize];
    buildControl(packet, kA2ACodeDisconnectRequest, link.port);
    setA2AResult(packet, static_cast<uint16_t>(reason));
    enqueueControl(packet);
}
