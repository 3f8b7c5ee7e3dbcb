// The receiving half of the packet protocol: repRead decodes and checks one
// READ reply and hands the packet to the TCP side.
#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/eventlog.h"
#include "core/text.h"
#include "tcp/socket_tcp.h"
#include "tcp/tcp_manager.h"
#include "tunnel/ftp_rewrite.h"
#include "tunnel/skype_stream.h"
#include "wire/a2a_packet.h"

void QV_SKYPESTREAM::repRead(const char* text)
{
    char self[128];
    std::snprintf(self, sizeof(self), "%s:%d", peerUser, streamId);
    const size_t selfLength = std::strlen(self);
    if (!text || std::strncmp(text, self, selfLength) != 0 || text[selfLength] != ' ') {
        printf("QV_SKYPESTREAM::repRead() SKIP NOT user=%s, id=%d\n", peerUser, streamId);
        return;
    }
    printf("READ REPLY OK\n");
    const char* hex = text + selfLength + 1;
    const size_t hexLength = std::strlen(hex);
    if (hexLength > 2 * sizeof(receivedPacket)) {
        printf("QV_SKYPESTREAM::repRead() READ TEXT TOO LONG length=%zu\n", hexLength);
        return;
    }
    std::memset(receivedPacket, 0, sizeof(receivedPacket));
    const int32_t decoded = hexDecode(hex, receivedPacket, sizeof(receivedPacket));
    const uint16_t headerSize = a2aHeaderSize(receivedPacket);
    if (headerSize == 0) {
        printf("●●●●DATA NASHI headerSize=%d\n", headerSize);
        return;
    }
    if (!checkA2APacket(receivedPacket, static_cast<size_t>(decoded), sizeof(receivedPacket) - kA2AHeaderSize)) {
        printf("QV_SKYPESTREAM::repRead() BAD PACKET headerSize=%d,dataSize=%d,decoded=%d\n", headerSize,
               a2aDataSize(receivedPacket), decoded);
        return;
    }

    peerMainState = a2aMainLinkState(receivedPacket);
    peerMainFree = a2aMainLinkFree(receivedPacket);
    peerDataLinkState = a2aDataLinkState(receivedPacket);
    peerDataLinkFree = a2aDataLinkFree(receivedPacket);
    const uint32_t seq = a2aSeq(receivedPacket);
    if (seq != recvSeq) {
        printf("SEQ NO Error headerSEQ=%d, thisSEQ=%d\n", static_cast<int>(seq), static_cast<int>(recvSeq));
        disconnect();
    }
    recvSeq += 1;
    receivedBytes += a2aDataSize(receivedPacket);
    dispatchPacket();
}

void QV_SKYPESTREAM::dispatchPacket()
{
    switch (a2aKind(receivedPacket)) {
        case kA2AKindNull:
            printf("receive NULL packet !\n");
            break;
        case kA2AKindControl:
            onControl();
            break;
        case kA2AKindDataLinkControl:
            onDataLinkControl();
            break;
        case kA2AKindData:
            onData();
            break;
        case kA2AKindDataLinkData:
            onDataLinkData();
            break;
        default:
            break;
    }
}

int32_t QV_SKYPESTREAM::socketError(QV_SOCKETTCP* socket) const
{
    if (socket && socket->getLastError() != 0)
        return socket->getLastError();
    return errno;
}

void QV_SKYPESTREAM::refuseConnectRequest(bool dataLink, uint16_t port)
{
    QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
    printf("QV_SKYPESTREAM::repRead() CONNECT-REQUEST refused port=%d,data-link=%d\n", port, dataLink ? 1 : 0);
    if (dataLink) {
        if (sendDataLinkConnectReply(port, kA2AResultFailed, EACCES) == 1)
            log->writef(2, "%s:TCP接続要求(d-link): %s Port=%d 接続に失敗", peerUser, forwardHost, port);
        log->writef(2, "%s:TCP接続要求(d-link): Port=%d 拒否(こちらのFTPが通知していないポート)", peerUser, port);
    } else {
        if (sendConnectReply(port, kA2AResultFailed, EACCES) == 1)
            log->writef(2, "%s:TCP接続要求: %s Port=%d 接続に失敗", peerUser, forwardHost, forwardPort);
        log->writef(2, "%s:TCP接続要求: Port=%d 拒否(クライアント側は接続要求を受けない)", peerUser, port);
    }
}

void QV_SKYPESTREAM::onControl()
{
    const uint16_t port = a2aPort(receivedPacket);
    switch (a2aCode(receivedPacket)) {
        case kA2ACodeConnectRequest:
            printf("A2A RECIEV CONNECT-REQUEST:port:%d\n", port);
            onConnectRequest(port);
            break;
        case kA2ACodeConnectReply:
            printf("A2A RECIEV CONNECT-REPLY:port:%d\n", port);
            if (awaitsPeerAnswer(mainSocket()))
                dropHeldPackets(Target::Main);
            if (tcpManager)
                tcpManager->notifyTcpConnectReply(port, a2aResult(receivedPacket));
            break;
        case kA2ACodeDisconnectRequest:
            onDisconnectRequest(port);
            break;
        default:
            break;
    }
}

void QV_SKYPESTREAM::onConnectRequest(uint16_t port)
{
    if (!tcpManager)
        return;
    // The client application's connections start at its own listener; the
    // peer does not make it connect anywhere.
    if (clientApplication) {
        refuseConnectRequest(false, port);
        return;
    }
    forgetControlConnection();
    // Whatever still waits for the connection before belongs to it.
    dropHeldPackets(Target::Main);
    // A connect handed to the forward thread is answered by that thread once
    // it knows the outcome, and the outcome listener logs it: an answer here
    // would report success before the connect.
    if (tcpManager->notifyTcpConnectRequest(forwardPort, forwardHost) != 1) {
        const auto error = static_cast<uint16_t>(socketError(mainSocket()));
        if (sendConnectReply(port, kA2AResultFailed, error) == 1)
            QV_EVENTLOG::getInstance()->writef(2, "%s:TCP接続要求: %s Port=%d 接続に失敗", peerUser, forwardHost,
                                               forwardPort);
    }
}

void QV_SKYPESTREAM::onDisconnectRequest(uint16_t port)
{
    // A plain end on the FTP stream counts only for the service's port. The
    // peer's forward side names its forward port, which differs when the FTP
    // server listens elsewhere: a half-close or an abort is always about this
    // stream's one control connection, and a connection waiting for the
    // peer's half-close must get it.
    const uint16_t reason = a2aResult(receivedPacket);
    if (isFtpApplication() && port != servicePort && reason != kA2ADisconnectSendEnd && reason != kA2ADisconnectAborted)
        return;
    printf("A2A RECIEV DISCONNECT-REQUEST:port:%d\n", port);
    forgetControlConnection();
    switch (deliver(Target::Main, kA2AHeaderSize + a2aDataSize(receivedPacket))) {
        case Delivery::Queued:
            printf("PEERからのDISCONNECTをQUEしました\n");
            break;
        case Delivery::Held:
            printf("PEERからのDISCONNECTを保留しました(QUE FULL)\n");
            break;
        case Delivery::Stale:
            break;
        case Delivery::Dropped:
            if (tcpManager)
                tcpManager->notifyTcpDisconnect(port, a2aResult(receivedPacket));
            printf("PEERからのDISCONNECTをTCPMANAGERに通知しました\n");
            break;
        case Delivery::NoSocket:
            if (tcpManager)
                tcpManager->notifyTcpDisconnect(port, a2aResult(receivedPacket));
            printf("PEERからのDISCONNECTをオブジェクト設定がないのでTCPMANAGERに通知しました\n");
            break;
    }
    QV_EVENTLOG::getInstance()->writef(2, "%s:TCP切断要求: %s Port=%d 切断", peerUser, forwardHost, port);
}

void QV_SKYPESTREAM::onDataLinkControl()
{
    const uint16_t port = a2aPort(receivedPacket);
    QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
    switch (a2aCode(receivedPacket)) {
        case kA2ACodeConnectRequest:
            if (!tcpManager)
                return;
            // Only to a port this side's FTP program announced on the control
            // connection that is up now, and only once.
            if (!isMainConnected() || !announcedPorts.claim(port)) {
                refuseConnectRequest(true, port);
                return;
            }
            dropHeldPackets(Target::DataLink);
            // Answered by the data link's forward thread (see onControl).
            if (tcpManager->notifyDataLinkConnectRequest(port, forwardHost) != 1) {
                const auto error = static_cast<uint16_t>(socketError(dataLinkSocket()));
                if (sendDataLinkConnectReply(port, kA2AResultFailed, error) == 1)
                    log->writef(2, "%s:TCP接続要求(d-link): %s Port=%d 接続に失敗", peerUser, forwardHost, port);
            }
            break;
        case kA2ACodeConnectReply:
            printf("A2A RECIEV CONNECT-REPLY:port:%d\n", port);
            if (awaitsPeerAnswer(dataLinkSocket()))
                dropHeldPackets(Target::DataLink);
            if (tcpManager)
                tcpManager->notifyDataLinkConnectReply(port, a2aResult(receivedPacket));
            break;
        case kA2ACodeDisconnectRequest: {
            const Delivery d = deliver(Target::DataLink, kA2AHeaderSize + a2aDataSize(receivedPacket));
            if ((d == Delivery::Dropped || d == Delivery::NoSocket) && tcpManager)
                tcpManager->notifyDataLinkDisconnect(port, a2aResult(receivedPacket));
            log->writef(2, "%s:TCP切断要求(d-link): %s Port=%d 切断", peerUser, forwardHost, port);
            break;
        }
        default:
            break;
    }
}

void QV_SKYPESTREAM::onData()
{
    if (!mainSocket())
        return;
    if (!isFtpApplication()) {
        deliver(Target::Main, kA2AHeaderSize + a2aDataSize(receivedPacket));
        return;
    }
    QV_FTPREWRITEHOOKS hooks;
    hooks.createDataLinkServer = [this](int32_t port) { return tcpManager->createDataLinkServer(port); };
    // The address the local FTP program reached us at is one it can
    // reach the data link at (and the one an FTP server accepts in a
    // PORT command); the route's address only when there is none.
    hooks.getLocalAddress = [this] {
        uint32_t address = mainSocket() ? mainSocket()->getConnectionLocalAddress() : 0;
        if (address == 0)
            address = getLocalAddress();
        return address != 0 ? address : htonl(INADDR_LOOPBACK);
    };
    hooks.peerUser = peerUser;
    hooks.forwardHost = forwardHost;

    uint8_t* data = receivedPacket + kA2AHeaderSize;
    uint32_t length = a2aDataSize(receivedPacket);
    if (length > kA2AMaxData || awaitsPeerAnswer(mainSocket())) {
        // Not for the control connection that is up, or larger than its
        // thread takes: nothing to join with what was kept for it.
        receivedLine.forget();
        // A rewritten packet must still fit a queue entry.
        length = rewriteFtpData(data, length, QV_QUE::kSlotSize - kA2AHeaderSize, hooks);
        setA2ADataSize(receivedPacket, static_cast<uint16_t>(length));
        deliver(Target::Main, kA2AHeaderSize + length);
        return;
    }
    // The peer chooses where its packets end: a line that may still become
    // an announcement waits for its end (QV_FTPPARTIALLINE), so that it is
    // rewritten or refused whole.
    static_assert(kBufferSize >= kA2AHeaderSize + 2 * size_t{kA2AMaxData},
                  "a packet's data with the kept line and its rewriting must fit the receive buffer");
    const bool keptBefore = receivedLine.length() > 0;
    length = receivedLine.resume(data, length, 2 * kA2AMaxData);
    bool overlong = false;
    length = receivedLine.keepBack(data, length, &overlong);
    if (length == 0 && (keptBefore || receivedLine.length() > 0))
        return;
    length = rewriteFtpData(data, length, 2 * kA2AMaxData, hooks, overlong);
    // A queue entry carries at most kA2AMaxData bytes to the connection's
    // thread: what the kept line and the rewriting added goes in a second.
    if (length > kA2AMaxData) {
        setA2ADataSize(receivedPacket, kA2AMaxData);
        deliver(Target::Main, kA2AHeaderSize + kA2AMaxData);
        std::memmove(data, data + kA2AMaxData, length - kA2AMaxData);
        length -= kA2AMaxData;
    }
    setA2ADataSize(receivedPacket, static_cast<uint16_t>(length));
    deliver(Target::Main, kA2AHeaderSize + length);
}

void QV_SKYPESTREAM::onDataLinkData()
{
    const uint16_t port = a2aPort(receivedPacket);
    QV_SOCKETTCP* socket = dataLinkSocket();
    const bool connected = socket && socket->getConnectionState() == QV_SOCKETTCP::kStateConnected;
    if (deliver(Target::DataLink, kA2AHeaderSize + a2aDataSize(receivedPacket)) != Delivery::Dropped || !connected)
        return;
    // Bytes of an open FTP data connection are lost: the user must know.
    for (int i = 0; i < 500; ++i)
        printf("ERROR ");
    printf("\n");
    QV_EVENTLOG::getInstance()->writef(0, "%sとのFTP接続:%sとのd-port=%d QUEFULLを検出", peerUser, forwardHost, port);
}

bool QV_SKYPESTREAM::awaitsPeerAnswer(const QV_SOCKETTCP* socket)
{
    return socket && socket->getRole() == QV_SOCKETTCP::kRoleServer
           && socket->getConnectionState() == QV_SOCKETTCP::kStateConnected
           && socket->getPeerConnectState() == QV_SOCKETTCP::kPeerWaiting;
}

void QV_SKYPESTREAM::dropHeldPackets(Target target)
{
    int kept = 0;
    for (int i = 0; i < heldCount; ++i) {
        HeldPacket& slot = held[(heldFirst + i) % kHeldSlots];
        if (slot.target == target) {
            printf("QV_SKYPESTREAM::repRead() held packet of an ended connection dropped port=%d,kind=%d\n",
                   a2aPort(slot.bytes), a2aKind(slot.bytes));
            continue;
        }
        if (kept != i)
            held[(heldFirst + kept) % kHeldSlots] = slot;
        kept += 1;
    }
    heldCount = kept;
}

// Puts the received packet into the target socket's inbound queue. A full
// queue of a connected socket keeps the packet among the held ones; packets
// for the same queue never overtake a held one. One READ is on its way at a
// time, so one held packet is the rule; the few more slots cover a READ that
// was repeated after its reply seemed lost.
QV_SKYPESTREAM::Delivery QV_SKYPESTREAM::deliver(Target target, uint32_t size)
{
    QV_SOCKETTCP* socket = targetSocket(target);
    if (!socket)
        return Delivery::NoSocket;
    if (awaitsPeerAnswer(socket)) {
        // An accepted connection hears from the peer only after its answer:
        // what comes before it was sent for the connection before.
        printf("QV_SKYPESTREAM::repRead() packet of an ended connection dropped port=%d,kind=%d,code=%d\n",
               a2aPort(receivedPacket), a2aKind(receivedPacket), a2aCode(receivedPacket));
        return Delivery::Stale;
    }
    if (size > QV_QUE::kSlotSize) {
        printf("QV_SKYPESTREAM::repRead() packet larger than a queue entry dropped size=%u\n", size);
        return Delivery::Dropped;
    }
    flushHeldPacket();
    QV_QUE* queue = socket->getInboundQueue();
    bool behindHeld = false;
    for (int i = 0; i < heldCount; ++i)
        behindHeld = behindHeld || held[(heldFirst + i) % kHeldSlots].target == target;
    if (!behindHeld && queue->hasRoom() && queue->enqueue(receivedPacket, size)) {
        socket->nudge();
        return Delivery::Queued;
    }
    if (heldCount == kHeldSlots || socket->getConnectionState() != QV_SOCKETTCP::kStateConnected) {
        printf("QV_SKYPESTREAM::repRead() INBOUND QUEUE FULL, packet dropped port=%d,kind=%d,seq=%u%s\n",
               a2aPort(receivedPacket), a2aKind(receivedPacket), a2aSeq(receivedPacket),
               heldCount == kHeldSlots ? " (every hold slot is taken)" : "");
        return Delivery::Dropped;
    }
    HeldPacket& slot = held[(heldFirst + heldCount) % kHeldSlots];
    std::memcpy(slot.bytes, receivedPacket, size);
    slot.length = size;
    slot.target = target;
    heldCount += 1;
    printf("QV_SKYPESTREAM::repRead() INBOUND QUEUE FULL, packet held port=%d,kind=%d,seq=%u\n", a2aPort(slot.bytes),
           a2aKind(slot.bytes), a2aSeq(slot.bytes));
    return Delivery::Held;
}

void QV_SKYPESTREAM::flushHeldPacket()
{
    while (heldCount > 0) {
        HeldPacket& slot = held[heldFirst];
        QV_SOCKETTCP* socket = targetSocket(slot.target);
        if (!socket || socket->getConnectionState() != QV_SOCKETTCP::kStateConnected || awaitsPeerAnswer(socket)) {
            // The connection the packet belongs to has ended.
            printf("QV_SKYPESTREAM::intervalTimer():held packet dropped, no connection port=%d,kind=%d\n",
                   a2aPort(slot.bytes), a2aKind(slot.bytes));
        } else {
            QV_QUE* queue = socket->getInboundQueue();
            if (!queue->hasRoom() || !queue->enqueue(slot.bytes, slot.length))
                return;
            socket->nudge();
            printf("QV_SKYPESTREAM::intervalTimer():held packet enqueued port=%d,kind=%d\n", a2aPort(slot.bytes),
                   a2aKind(slot.bytes));
        }
        slot.length = 0;
        heldFirst = (heldFirst + 1) % kHeldSlots;
        heldCount -= 1;
    }
}
