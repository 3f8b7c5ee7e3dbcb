#include "tcp/tcp_relay.h"

#include <cstdio>
#include <cstring>

#include "wire/a2a_packet.h"

namespace {

constexpr int kPassPauseMs = 20;

// A DATA packet is written to TCP from the send buffer: it may carry no more
// than one TCP read of this system and no more than that buffer holds.
constexpr size_t kDataLimit = kA2AMaxData < QV_TCPENDPOINT::kBufferSize ? kA2AMaxData : QV_TCPENDPOINT::kBufferSize;

}  // namespace

static_assert(QV_QUE::kSlotSize >= kA2AHeaderSize + QV_TCPRELAY::kReadSize);
static_assert(QV_TCPENDPOINT::kBufferSize >= kA2AHeaderSize + QV_TCPRELAY::kReadSize);

QV_TCPRELAY::QV_TCPRELAY(const QV_TCPLINK& owner, QV_TCPENDPOINT& ownerEndpoint, QV_TCPWAKER& ownerWaker,
                         QV_PEERCONTROL& ownerControl, QV_QUE& inboundQueue, QV_QUE& outboundQueue)
    : link(owner),
      endpoint(ownerEndpoint),
      waker(ownerWaker),
      control(ownerControl),
      inbound(inboundQueue),
      outbound(outboundQueue)
{
    std::memset(entry, 0, sizeof(entry));
}

void QV_TCPRELAY::endByPeer(bool aborted)
{
    peerEnd = aborted ? 2 : 1;
    waker.nudge();
}

QV_TCPRELAY::End QV_TCPRELAY::run()
{
    // Passes start on a fixed schedule, one every kPassPauseMs, so that the
    // time a pass takes does not stretch the period; a nudge (an inbound
    // packet) runs one pass more without moving the schedule. A connection
    // whose last read found nothing reads new data as soon as it comes and
    // starts its schedule again there, so an answer never waits for the
    // next pass; a busy one reads on the schedule.
    nextPass = std::chrono::steady_clock::now();
    drained = false;
    localDone = false;
    remoteDone = false;
    for (;;) {
        drained = false;
        if (peerEnd == 2)
            return End::PeerAbort;
        if (const auto end = readFromProgram())
            return *end;
        if (const auto end = takeFromPeer())
            return *end;
        pauseUntilNextPass();
        if (waker.stopRequested())
            return End::Stopped;
    }
}

std::optional<QV_TCPRELAY::End> QV_TCPRELAY::readFromProgram()
{
    if (localDone)
        return std::nullopt;  // nothing more to read from the program
    if (!outbound.hasRoom()) {
        if (link.isServer())
            std::printf("PORT%d A2ASEND QUE FULL\n", link.port);
        return std::nullopt;
    }
    endpoint.setReceiveLength(kReadSize);
    bool ended = false;
    if (!endpoint.receiveData()) {
        if (!endpoint.receiveSawClose())
            return End::ReceiveFailed;
        ended = true;
    }
    const int32_t length = endpoint.getReceiveLength();
    drained = length <= 0;
    if (length > 0) {
        queueData(length);
        // A short read may have taken the last bytes before the program's
        // close: the end is seen now, not a pass later.
        if (length < kReadSize && endpoint.peerClosedAfterRead()) {
            endpoint.setReceiveLength(kReadSize);
            ended = !endpoint.receiveData() && endpoint.receiveSawClose();
            if (!ended)
                return End::ReceiveFailed;
        }
    }
    if (ended) {
        std::printf("Thread:local send side closed port=%d\n", link.port);
        control.queueDisconnect(kA2ADisconnectSendEnd);
        localDone = true;
        if (remoteDone)
            return End::Finished;
    }
    return std::nullopt;
}

void QV_TCPRELAY::queueData(int32_t length)
{
    if (link.isServer())
        std::printf("Thread:TCP-Recieve port=%d,len=%d\n", link.port, length);
    uint8_t* packet = endpoint.getSendBuffer();
    std::memset(packet, 0, kA2AHeaderSize);
    initA2AHeader(packet);
    setA2APort(packet, static_cast<uint16_t>(link.port));
    setA2AKind(packet, link.dataKind());
    setA2ADataSize(packet, static_cast<uint16_t>(length));
    std::memcpy(packet + kA2AHeaderSize, endpoint.getReceiveBuffer(), static_cast<size_t>(length));
    control.queueForPeer(packet, kA2AHeaderSize + static_cast<uint32_t>(length));
}

std::optional<QV_TCPRELAY::End> QV_TCPRELAY::takeFromPeer()
{
    if (!inbound.dequeue(entry)) {
        // Everything the peer sent before its end is written.
        if (peerEnd == 1)
            return End::PeerDisconnect;
        return std::nullopt;
    }
    const uint16_t kind = a2aKind(entry);
    if (!checkA2APacket(entry, sizeof(entry), kDataLimit)) {
        // The peer's word on sizes is never trusted.
        std::printf("Thread:A2A packet dropped port=%d,headerSize=%d,dataSize=%d\n", link.port, a2aHeaderSize(entry),
                    a2aDataSize(entry));
        return std::nullopt;
    }
    if (kind == kA2AKindData || kind == kA2AKindDataLinkData)
        return writeToProgram();
    if (kind == kA2AKindControl || kind == kA2AKindDataLinkControl)
        return onPeerControl();
    return std::nullopt;
}

std::optional<QV_TCPRELAY::End> QV_TCPRELAY::writeToProgram()
{
    const int32_t size = a2aDataSize(entry);
    if (link.isServer())
        std::printf("Thread:A2A-Recieve len=%d\n", size);
    endpoint.setSendLength(size);
    std::memcpy(endpoint.getSendBuffer(), entry + kA2AHeaderSize, static_cast<size_t>(size));
    if (!endpoint.sendAll())
        return End::SendFailed;
    std::printf("Thread:Send complete! port=%d,len=%d\n", link.port, size);
    return std::nullopt;
}

std::optional<QV_TCPRELAY::End> QV_TCPRELAY::onPeerControl()
{
    // Nothing but the peer's DISCONNECT-REQUEST is meant for a connection.
    if (a2aCode(entry) != kA2ACodeDisconnectRequest)
        return std::nullopt;
    const uint16_t reason = a2aResult(entry);
    if (reason == kA2ADisconnectAborted)
        return End::PeerAbort;
    // A peer that does not know the send-end mark ends the whole connection.
    if (reason != kA2ADisconnectSendEnd)
        return End::PeerDisconnect;
    if (remoteDone)
        return std::nullopt;
    // Everything the peer's program sent is written: pass its shutdown on,
    // and keep reading what this side answers.
    std::printf("Thread:peer send side closed port=%d\n", link.port);
    endpoint.shutdownSending();
    remoteDone = true;
    if (localDone)
        return End::Finished;
    return std::nullopt;
}

void QV_TCPRELAY::pauseUntilNextPass()
{
    const auto period = std::chrono::milliseconds(kPassPauseMs);
    auto now = std::chrono::steady_clock::now();
    if (now >= nextPass) {
        nextPass += period;
        // Late by a whole period (a slow send): no burst to catch up.
        if (nextPass <= now)
            nextPass = now + period;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextPass - now);
    if (drained && !localDone && outbound.hasRoom()) {
        if (waker.pauseForDataMs(endpoint.getDataSocket(), static_cast<int>(left.count()))) {
            nextPass = std::chrono::steady_clock::now();  // this read starts the schedule again
        }
    } else {
        waker.pauseOrNudgeMs(static_cast<int>(left.count()));
    }
}

void QV_TCPRELAY::endConnection(End end, bool tellPeer)
{
    bool broken = false;
    switch (end) {
        case End::Stopped:
            // Cut by this side (the stream or the program ends); an open
            // connection is cut, one never made is no news.
            broken = endpoint.hasDataSocket();
            break;
        case End::ReceiveFailed:
        case End::SendFailed:
        case End::PeerAbort:
            broken = true;
            break;
        case End::Finished:
            tellPeer = false;  // the peer has come to the same end by itself
            break;
        case End::PeerDisconnect:
            break;
    }
    if (tellPeer)
        control.queueDisconnect(broken ? kA2ADisconnectAborted : kA2ADisconnectOrderly);
    if (broken) {
        std::printf("Thread:connection reset port=%d\n", link.port);
        endpoint.abortDataSocket();
    } else {
        endpoint.shutdownAndCloseDataSocket();
    }
}
