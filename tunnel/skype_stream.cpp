#include "tunnel/skype_stream.h"

#include <cstdio>
#include <cstring>

#include "core/eventlog.h"
#include "core/text.h"
#include "skype/skype_com.h"
#include "tcp/socket_tcp.h"
#include "tcp/tcp_manager.h"
#include "tcp/tcp_manager_ftp.h"
#include "tunnel/ftp_announcement.h"
#include "wire/a2a_packet.h"

static_assert(QV_SKYPESTREAM::kDequeueBufferSize >= QV_QUE::kSlotSize, "a queue entry must fit the dequeue buffer");
static_assert(QV_SKYPESTREAM::kDequeueBufferSize >= kA2AMaxData + QV_FTPPARTIALLINE::kMaxLength,
              "a kept line and a packet's data must fit the buffer they are read in");

namespace {

void copyBounded(char* dst, size_t size, const char* src) { std::snprintf(dst, size, "%s", src ? src : ""); }

}  // namespace

QV_SKYPESTREAM::QV_SKYPESTREAM(QV_SKYPECOM& com, QV_CONFIGURATION* configuration) : skypeCom(com), config(configuration)
{
    std::memset(name, 0, sizeof(name));
    std::strcpy(name, "QV_SKYPESTREAM");
    std::memset(forwardHost, 0, sizeof(forwardHost));
    std::memset(commandText, 0, sizeof(commandText));
    std::memset(receivedPacket, 0, sizeof(receivedPacket));
    std::memset(hexText, 0, sizeof(hexText));
    std::memset(peerUser, 0, sizeof(peerUser));
    std::memset(applicationName, 0, sizeof(applicationName));
    std::memset(dequeued, 0, sizeof(dequeued));
    std::memset(sentText, 0, sizeof(sentText));
    for (HeldPacket& slot : held)
        std::memset(slot.bytes, 0, sizeof(slot.bytes));
}

// Destroying the manager stops and joins its sockets' threads.
QV_SKYPESTREAM::~QV_SKYPESTREAM() = default;

void QV_SKYPESTREAM::setPeerUser(const char* user) { copyBounded(peerUser, sizeof(peerUser), user); }

void QV_SKYPESTREAM::setForwardHost(const char* host) { copyBounded(forwardHost, sizeof(forwardHost), host); }

void QV_SKYPESTREAM::setApplicationName(const char* text)
{
    copyBounded(applicationName, sizeof(applicationName), text);
}

bool QV_SKYPESTREAM::isFtpApplication() const
{
    if (!config)
        return false;
    const char* ftp = config->getFtpApplicationName();
    return ftp && std::strcmp(applicationName, ftp) == 0;
}

bool QV_SKYPESTREAM::start()
{
    if (!tcpManager) {
        const QV_TCPMANAGER::Settings settings = QV_TCPMANAGER::settingsOf(config);
        if (isFtpApplication())
            tcpManager = std::make_unique<QV_TCPMANAGERFORFTP>(kFtpControlPort, settings);
        else
            tcpManager = std::make_unique<QV_TCPMANAGER>(servicePort, settings);
        // Runs on the connection thread that made the connect; the stream's
        // names do not change while the manager lives.
        tcpManager->setConnectOutcomeListener([this](bool dataLink, int32_t port, bool connected) {
            QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
            if (dataLink)
                log->writef(2,
                            connected ? "%s:TCP接続要求(d-link): %s Port=%d 接続"
                                      : "%s:TCP接続要求(d-link): %s Port=%d 接続に失敗",
                            peerUser, forwardHost, port);
            else
                log->writef(2, connected ? "%s:TCP接続要求: %s Port=%d 接続" : "%s:TCP接続要求: %s Port=%d 接続に失敗",
                            peerUser, forwardHost, forwardPort);
        });
    }
    return tcpManager->start();
}

int32_t QV_SKYPESTREAM::getListenPort() const { return tcpManager ? tcpManager->getServicePort() : servicePort; }

int32_t QV_SKYPESTREAM::getListenError() const
{
    QV_SOCKETTCP* socket = mainSocket();
    return socket ? socket->getLastError() : 0;
}

void QV_SKYPESTREAM::stop()
{
    heldFirst = 0;
    heldCount = 0;
    forgetControlConnection();
    if (!tcpManager)
        return;
    tcpManager->stop();
    tcpManager.reset();
}

QV_SOCKETTCP* QV_SKYPESTREAM::mainSocket() const { return tcpManager ? tcpManager->getMainSocket() : nullptr; }

QV_SOCKETTCP* QV_SKYPESTREAM::dataLinkSocket() const { return tcpManager ? tcpManager->getDataLinkSocket() : nullptr; }

QV_SOCKETTCP* QV_SKYPESTREAM::targetSocket(Target target) const
{
    return target == Target::Main ? mainSocket() : dataLinkSocket();
}

int32_t QV_SKYPESTREAM::sendPacket(uint32_t length, uint8_t* packet)
{
    if (QV_SOCKETTCP* socket = mainSocket()) {
        setA2AMainLinkState(packet, static_cast<uint16_t>(socket->getConnectionState()));
        setA2AMainLinkFree(packet, static_cast<uint16_t>(socket->getInboundQueue()->freeSlots()));
    }
    if (QV_SOCKETTCP* socket = dataLinkSocket()) {
        setA2ADataLinkState(packet, static_cast<uint16_t>(socket->getConnectionState()));
        setA2ADataLinkFree(packet, static_cast<uint16_t>(socket->getInboundQueue()->freeSlots()));
    }
    setA2ASeq(packet, sendSeq);
    sendSeq += 1;
    sentBytes += a2aDataSize(packet);
    if (!hexEncode(static_cast<int32_t>(length), packet, hexText, sizeof(hexText))) {
        // Longer than any packet of this program: dropped like an over-long
        // command text.
        printf("QV_SKYPESTREAM::sendPacket() packet too long length=%u\n", length);
        return 1;
    }
    return writeHex(hexText);
}

int32_t QV_SKYPESTREAM::writeHex(const char* hex)
{
    const size_t total = std::strlen(peerUser) + std::strlen(applicationName) + std::strlen(hex) + 37;
    if (total > kMaxCommandLength)
        return 1;
    std::snprintf(commandText, sizeof(commandText), "ALTER APPLICATION %s WRITE %s:%d %s", applicationName, peerUser,
                  streamId, hex);
    if (skypeCom.send(commandText) == 0)
        return 0;
    canSend = 0;
    return 1;
}

int32_t QV_SKYPESTREAM::sendNullPacket()
{
    uint8_t header[kA2AHeaderSize];
    initA2AHeader(header);
    setA2ADataSize(header, 0);
    setA2APort(header, 0);
    setA2AKind(header, kA2AKindNull);
    setA2ACode(header, 0);
    return sendPacket(kA2AHeaderSize, header);
}

int32_t QV_SKYPESTREAM::sendControlReply(uint16_t kind, uint16_t port, uint16_t result, uint16_t error)
{
    uint8_t header[kA2AHeaderSize];
    initA2AHeader(header);
    setA2ADataSize(header, 0);
    setA2APort(header, port);
    setA2AKind(header, kind);
    setA2ACode(header, kA2ACodeConnectReply);
    setA2AResult(header, result);
    setA2AError(header, error);
    return sendPacket(kA2AHeaderSize, header);
}

int32_t QV_SKYPESTREAM::sendConnectReply(uint16_t port, uint16_t result, uint16_t error)
{
    return sendControlReply(kA2AKindControl, port, result, error);
}

int32_t QV_SKYPESTREAM::sendDataLinkConnectReply(uint16_t port, uint16_t result, uint16_t error)
{
    return sendControlReply(kA2AKindDataLinkControl, port, result, error);
}

int32_t QV_SKYPESTREAM::disconnect()
{
    std::snprintf(commandText, sizeof(commandText), "ALTER APPLICATION %s DISCONNECT %s:%d", applicationName, peerUser,
                  streamId);
    return skypeCom.send(commandText);
}

int32_t QV_SKYPESTREAM::sendQueued(QV_SOCKETTCP* socket)
{
    std::memset(dequeued, 0, sizeof(dequeued));
    if (!socket->getOutboundQueue()->dequeue(dequeued))
        return 0;
    if (!checkA2APacket(dequeued, QV_QUE::kSlotSize, QV_QUE::kSlotSize - kA2AHeaderSize)) {
        printf("QV_SKYPESTREAM::intervalTimer():A2A packet dropped headerSize=%d,dataSize=%d\n",
               a2aHeaderSize(dequeued), a2aDataSize(dequeued));
        return 0;
    }
    const uint32_t length = static_cast<uint32_t>(a2aHeaderSize(dequeued)) + a2aDataSize(dequeued);
    if (sendPacket(length, dequeued) != 1)
        return 0;
    if (socket == mainSocket())
        watchSentPacket(dequeued);
    printf("QV_SKYPESTREAM::intervalTimer():Send A2A packet deque port=%d,kind=%d\n", a2aPort(dequeued),
           a2aKind(dequeued));
    return 1;
}

void QV_SKYPESTREAM::forgetControlConnection()
{
    announcedPorts.forget();
    receivedLine.forget();
    sentLine.forget();
}

void QV_SKYPESTREAM::watchSentPacket(const uint8_t* packet)
{
    const uint16_t kind = a2aKind(packet);
    if (kind == kA2AKindControl) {
        // A control connection begins or ends: what was announced before
        // belongs to the one before.
        forgetControlConnection();
        return;
    }
    if (kind != kA2AKindData || !isFtpApplication())
        return;
    // The text is read as the peer reads it (see onData): behind the line
    // the packet before ended inside of, without a line that may still
    // become an announcement at its end, which is read with the next one.
    // Only the reading waits for it; the bytes went out as they were.
    const uint8_t* data = packet + kA2AHeaderSize;
    size_t length = a2aDataSize(packet);
    bool overlong = false;
    if (length <= kA2AMaxData) {
        std::memcpy(sentText, data, length);
        auto joined = static_cast<uint32_t>(length);
        joined = sentLine.resume(sentText, joined, static_cast<uint32_t>(sizeof(sentText)));
        length = sentLine.keepBack(sentText, joined, &overlong);
        data = sentText;
    } else {
        sentLine.forget();
    }
    // The peer rewrites the first announcement of a packet only, and
    // refuses a line too long to keep; the server's replies count on the
    // server application, the client's commands on the client application.
    for (size_t pos = 0; pos < length;) {
        const size_t lineLength = ftpLineLength(data, length, pos);
        const QV_FTPANNOUNCEMENT a = readFtpAnnouncement(data + pos, lineLength);
        if (overlong && pos + lineLength == length)
            return;
        if (a.isAnnouncement()) {
            if (a.usable && a.isReply() != clientApplication) {
                announcedPorts.announce(a.port);
                printf("QV_SKYPESTREAM::intervalTimer():FTP data port announced port=%d\n", a.port);
            }
            return;
        }
        pos += lineLength;
    }
}

void QV_SKYPESTREAM::sendEarly()
{
    if (!tcpManager || canSend == 0 || heldCount > 0)
        return;
    uint8_t header[kA2AHeaderSize];
    QV_SOCKETTCP* socket = mainSocket();
    if (socket && socket->getOutboundQueue()->peek(header, sizeof(header))
        && (a2aDataSize(header) == 0 || !sentThisTick) && sendQueued(socket) == 1) {
        sentThisTick = true;
        return;
    }
    // The data link's requests, replies and ends go at once too; its data
    // keep the tick.
    socket = dataLinkSocket();
    if (canSend != 0 && socket && socket->getOutboundQueue()->peek(header, sizeof(header)) && a2aDataSize(header) == 0)
        sendQueued(socket);
}

void QV_SKYPESTREAM::intervalTimer()
{
    flushHeldPacket();
    sentThisTick = false;
    if (!isMainConnected())
        forgetControlConnection();
    if (!tcpManager || canSend == 0)
        return;

    bool sentMain = false;
    if (QV_SOCKETTCP* socket = mainSocket())
        sentMain = sendQueued(socket) == 1;
    sentThisTick = sentMain;

    if (QV_SOCKETTCP* socket = dataLinkSocket()) {
        if (peerDataLinkState == 2 && peerDataLinkFree <= kDataLinkSkipFree) {
            printf("SKIP SEND A2A data-link data\n");
        } else if (sendQueued(socket) == 1) {
            return;
        }
    }

    if (!sentMain) {
        if (idleTicks >= kKeepAliveTicks) {
            if (sendNullPacket() == 1)
                idleTicks = 0;
        } else {
            idleTicks += 1;
        }
    }
}

void QV_SKYPESTREAM::repSending(int32_t count) { printf("QV_SKYPESTREAM::repSending(%d)\n", count); }

bool QV_SKYPESTREAM::isMainListening() const
{
    QV_SOCKETTCP* socket = mainSocket();
    return socket && socket->getConnectionState() == QV_SOCKETTCP::kStateAccepting;
}

bool QV_SKYPESTREAM::isMainConnected() const
{
    QV_SOCKETTCP* socket = mainSocket();
    return socket && socket->getConnectionState() == QV_SOCKETTCP::kStateConnected;
}

bool QV_SKYPESTREAM::isDataLinkListening() const
{
    QV_SOCKETTCP* socket = dataLinkSocket();
    return socket && socket->getConnectionState() == QV_SOCKETTCP::kStateAccepting;
}

bool QV_SKYPESTREAM::isDataLinkConnected() const
{
    QV_SOCKETTCP* socket = dataLinkSocket();
    return socket && socket->getConnectionState() == QV_SOCKETTCP::kStateConnected;
}

uint32_t QV_SKYPESTREAM::takeSentBytes()
{
    const uint32_t n = sentBytes;
    sentBytes = 0;
    return n;
}

uint32_t QV_SKYPESTREAM::takeReceivedBytes()
{
    const uint32_t n = receivedBytes;
    receivedBytes = 0;
    return n;
}
