// The connection thread of a QV_SOCKETTCP: the three thread bodies, the relay
// pass they share, and starting and stopping the thread.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "core/outbound_signal.h"
#include "tcp/socket_tcp.h"
#include "tunnel/a2a_packet.h"

namespace {

constexpr int kPassPauseMs = 20;
constexpr int kPeerPollMs = 50;
constexpr int kPeerOddStateMs = 100;
// A failing accept is retried after this pause rather than at once.
constexpr int kAcceptRetryMs = 100;
constexpr int kStartPollMs = 5;
constexpr int kStartPolls = 200;

// A DATA packet is written to TCP from the send buffer: it may carry no more
// than one TCP read of this system and no more than that buffer holds.
constexpr size_t kDataLimit =
    kA2AMaxData < QV_SOCKETTCP::kBufferSize ? kA2AMaxData : QV_SOCKETTCP::kBufferSize;

}  // namespace

static_assert(QV_QUE::kSlotSize >= kA2AHeaderSize + QV_SOCKETTCP::kReadSize);
static_assert(QV_SOCKETTCP::kBufferSize >= kA2AHeaderSize + QV_SOCKETTCP::kReadSize);

void QV_SOCKETTCP::reapThread() {
    // A thread that already ended only needs its join; one that still runs
    // (the caller forgot stopThread) is woken and joined first.
    if (!worker.joinable()) return;
    stop = 1;
    wake();
    worker.join();
}

bool QV_SOCKETTCP::launchThread(void (QV_SOCKETTCP::*threadMain)(), const char* createdLine) {
    reapThread();
    stop = 0;
    drainWake();
    try {
        worker = std::thread(threadMain, this);
    } catch (const std::system_error&) {
        return false;
    }
    std::printf("%s\n", createdLine);
    for (int i = 0; i < kStartPolls && running == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kStartPollMs));
    }
    return true;
}

void QV_SOCKETTCP::startThread() {
    if (!launchThread(&QV_SOCKETTCP::socketThreadMain, "スレッドを作成しました"))
        std::printf("スレッド作成失敗\n");
}

void QV_SOCKETTCP::startForwardThread() {
    std::printf("executeSocketOnConnect() start\n");
    if (!launchThread(&QV_SOCKETTCP::forwardThreadMain, "Forward スレッドを作成しました"))
        std::printf("Forwardスレッド作成失敗\n");
}

void QV_SOCKETTCP::stopThread() {
    stop = 1;
    wake();
    std::printf("スレッド終了を指示\n");
    // Every wait of the thread also watches the wake-up, so the join is
    // short; the sockets are closed only once no thread can use them.
    if (worker.joinable()) worker.join();
    closeListenSocket();
    closeDataSocket();
    drainWake();
    connectionState = kStateIdle;
    std::printf("スレッド終了を検知しました\n");
}

void QV_SOCKETTCP::socketThreadMain() {
    std::printf("スレッド開始 port=%d\n", port);
    if (role == kRoleClient) {
        executeClient();
    } else if (role == kRoleServer) {
        executeServer();
    } else {
        std::printf("スレッド起動失敗：サーバ・クライアント種別が設定されていません\n");
    }
    std::printf("スレッド終了 port=%d\n", port);
}

void QV_SOCKETTCP::forwardThreadMain() {
    std::printf("スレッド開始 port=%d\n", port);
    if (role == kRoleClient) {
        executeClientOnConnect();
    } else {
        std::printf("スレッド起動失敗：サーバ・クライアント合致しません\n");
    }
    std::printf("Forward スレッド終了 port=%d\n", port);
}

void QV_SOCKETTCP::buildControl(uint8_t* packet, uint16_t kind, uint16_t code, int32_t packetPort) {
    initA2AHeader(packet);
    setA2AKind(packet, kind);
    setA2ACode(packet, code);
    setA2APort(packet, static_cast<uint16_t>(packetPort));
}

int32_t QV_SOCKETTCP::queueForPeer(const uint8_t* packet, uint32_t size) {
    int32_t queued = outbound.enqueue(packet, size);
    // The stream may send it before its next tick.
    if (queued) signalOutbound();
    return queued;
}

int32_t QV_SOCKETTCP::enqueueControl(const uint8_t* packet) {
    // This thread is the queue's only producer: room seen is room kept.
    if (outbound.hasRoom()) return queueForPeer(packet, kA2AHeaderSize);
    int code = a2aCode(packet);
    std::printf("PORT%d A2ASEND QUE FULL: control packet code=%d waits\n", port, code);
    for (int waited = 0; waited < kControlWaitMs; waited += kPassPauseMs) {
        if (stopRequested()) {
            std::printf("PORT%d control packet code=%d abandoned on stop\n", port, code);
            return 0;
        }
        pauseMs(kPassPauseMs);
        if (outbound.hasRoom()) return queueForPeer(packet, kA2AHeaderSize);
    }
    std::printf("PORT%d control packet code=%d lost: queue stayed full\n", port, code);
    return 0;
}

void QV_SOCKETTCP::queueConnectReply(int32_t replyPort, int32_t result, int32_t error) {
    buildControl(replyPacket, kA2AKindControl, kA2ACodeConnectReply, replyPort);
    setA2AResult(replyPacket, static_cast<uint16_t>(result));
    setA2AError(replyPacket, static_cast<uint16_t>(error & 0xffff));
    enqueueControl(replyPacket);
}

void QV_SOCKETTCP::queueDisconnect() {
    std::memset(sendBuffer, 0, kA2AHeaderSize);
    buildControl(sendBuffer, mainService ? kA2AKindControl : kA2AKindDataLinkControl,
                 kA2ACodeDisconnectRequest, port);
    enqueueControl(sendBuffer);
}

QV_SOCKETTCP::RelayEnd QV_SOCKETTCP::relay() {
    const bool server = role == kRoleServer;
    const uint16_t dataKind = mainService ? kA2AKindData : kA2AKindDataLinkData;
    // Passes start on a fixed schedule, one every kPassPauseMs, so that the
    // time a pass takes does not stretch the period; a nudge (an inbound
    // packet) runs one pass more without moving the schedule. A connection
    // whose last read found nothing reads new data as soon as it comes and
    // starts its schedule again there, so an answer never waits for the
    // next pass; a busy one reads on the schedule.
    const auto period = std::chrono::milliseconds(kPassPauseMs);
    auto nextPass = std::chrono::steady_clock::now();
    bool drained = false;
    for (;;) {
        drained = false;
        if (outbound.hasRoom()) {
            receiveLength = kReadSize;
            if (!receiveData()) return RelayEnd::ReceiveFailed;
            drained = receiveLength <= 0;
            if (receiveLength > 0) {
                if (server) std::printf("Thread:TCP-Recieve port=%d,len=%d\n", port, receiveLength);
                std::memset(sendBuffer, 0, kA2AHeaderSize);
                initA2AHeader(sendBuffer);
                setA2APort(sendBuffer, static_cast<uint16_t>(port));
                setA2AKind(sendBuffer, dataKind);
                setA2ADataSize(sendBuffer, static_cast<uint16_t>(receiveLength));
                std::memcpy(sendBuffer + kA2AHeaderSize, receiveBuffer, static_cast<size_t>(receiveLength));
                queueForPeer(sendBuffer, kA2AHeaderSize + static_cast<uint32_t>(receiveLength));
                // A short read may have taken the last bytes before the
                // program's close: the end is seen now, not a pass later.
                if (receiveLength < kReadSize && peerClosedAfterRead()) {
                    receiveLength = kReadSize;
                    receiveData();
                    return RelayEnd::ReceiveFailed;
                }
            }
        } else if (server) {
            std::printf("PORT%d A2ASEND QUE FULL\n", port);
        }

        if (inbound.dequeue(entry)) {
            const uint16_t kind = a2aKind(entry);
            if (!checkA2APacket(entry, sizeof(entry), kDataLimit)) {
                // The peer's word on sizes is never trusted.
                std::printf("Thread:A2A packet dropped port=%d,headerSize=%d,dataSize=%d\n", port,
                            a2aHeaderSize(entry), a2aDataSize(entry));
            } else if (kind == kA2AKindData || kind == kA2AKindDataLinkData) {
                const int32_t size = a2aDataSize(entry);
                if (server) std::printf("Thread:A2A-Recieve len=%d\n", size);
                sendLength = size;
                std::memcpy(sendBuffer, entry + kA2AHeaderSize, static_cast<size_t>(size));
                if (!sendAll()) return RelayEnd::SendFailed;
                std::printf("Thread:Send complete! port=%d,len=%d\n", port, size);
            } else if ((kind == kA2AKindControl || kind == kA2AKindDataLinkControl) &&
                       a2aCode(entry) == kA2ACodeDisconnectRequest) {
                return RelayEnd::PeerDisconnect;
            }
        }

        auto now = std::chrono::steady_clock::now();
        if (now >= nextPass) {
            nextPass += period;
            // Late by a whole period (a slow send): no burst to catch up.
            if (nextPass <= now) nextPass = now + period;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextPass - now);
        if (drained && outbound.hasRoom()) {
            if (pauseForDataMs(static_cast<int>(left.count()))) {
                now = std::chrono::steady_clock::now();
                nextPass = now;  // this read starts the schedule again
            }
        } else {
            pauseOrNudgeMs(static_cast<int>(left.count()));
        }
        if (stopRequested()) return RelayEnd::Stopped;
    }
}

// 1 when the peer connected its end, 0 when it refused or a stop came.
int32_t QV_SOCKETTCP::waitForPeer() {
    while (!stopRequested()) {
        switch (peerConnectState.load()) {
            case kPeerWaiting:
                std::printf("WaitConnectPeer");
                pauseOrNudgeMs(kPeerPollMs);
                break;
            case kPeerOk:
                std::printf("Thread:CONNECT_OK detect:port:%d\n", port);
                return 1;
            case kPeerNg:
                std::printf("Thread:CONNECT_NG detect:port:%d\n", port);
                return 0;
            default:
                pauseMs(kPeerOddStateMs);
                break;
        }
    }
    return 0;
}

void QV_SOCKETTCP::executeServer() {
    std::printf("executeServer Start:port:%d\n", port);
    running = 1;
    while (!stopRequested()) {
        if (!acceptConnection()) {
            closeDataSocket();
            // Not woken by a stop: the relay below fails at once and reports
            // the lost connection; pause so that a failing accept cannot spin.
            if (!stopRequested()) pauseMs(kAcceptRetryMs);
        } else {
            std::printf("Thread:accept exec\u3000OK:port:%d\n", port);
            setPeerConnectWait();
            std::memset(sendBuffer, 0, kA2AHeaderSize);
            buildControl(sendBuffer, mainService ? kA2AKindControl : kA2AKindDataLinkControl,
                         kA2ACodeConnectRequest, port);
            enqueueControl(sendBuffer);
            std::printf("Thread:PEERにconnect-RequestをQueしました\n");
            inbound.reset();
            if (!waitForPeer()) {
                // Refused, or stopped while waiting: the local client sees
                // its connection closed.
                shutdownAndCloseDataSocket();
                connectionState = kStateIdle;
                if (!stopRequested()) continue;
            }
        }

        setNonBlocking();
        std::printf("thread:Server port=%d start tcp rcv-send\n", port);
        if (stopRequested()) break;

        RelayEnd end = relay();
        if (end == RelayEnd::Stopped) continue;
        if (end == RelayEnd::ReceiveFailed) {
            std::printf("Thread:Recv Fatal Error exit thread port=%d\n", port);
        } else if (end == RelayEnd::SendFailed) {
            std::printf("Thread:Send Error! port=%d, len=%d\n", port, sendLength);
        }
        if (!mainService) break;  // a data link serves one connection
        connectionState = kStateIdle;
        if (end != RelayEnd::PeerDisconnect) queueDisconnect();
        shutdownAndCloseDataSocket();
        if (end == RelayEnd::ReceiveFailed) std::printf("PORT(%d):PEERから切断されました.\n", port);
    }
    queueDisconnect();
    shutdownAndCloseDataSocket();
    running = 0;
    std::printf("Server Thread end:port:%d\n", port);
    connectionState = kStateIdle;
}

void QV_SOCKETTCP::executeClient() {
    running = 1;
    setNonBlocking();
    RelayEnd end = stopRequested() ? RelayEnd::Stopped : relay();
    if (end == RelayEnd::ReceiveFailed) {
        std::printf("Thread:Recv Fatal Error exit thread port=%d\n", port);
    } else if (end == RelayEnd::SendFailed) {
        std::printf("Thread:Send Fatal Error exit thread port=%d\n", port);
    }
    std::printf("Client Thread:end :port:%d\n", port);
    queueDisconnect();
    shutdownAndCloseDataSocket();
    connectionState = kStateIdle;
    running = 0;
}

void QV_SOCKETTCP::executeClientOnConnect() {
    running = 1;
    pauseMs(10);
    if (!connectToServer()) {
        std::printf("executeClientOnConnect() connectNG port=%d\n", port);
        queueConnectReply(port, kA2AResultFailed, lastError);
        shutdownAndCloseDataSocket();
        connectionState = kStateIdle;
        running = 0;
        return;
    }
    std::printf("executeClientOnConnect() connectOK port=%d\n", port);
    queueConnectReply(port, kA2AResultConnected, 0);
    setNonBlocking();
    RelayEnd end = stopRequested() ? RelayEnd::Stopped : relay();
    if (end == RelayEnd::ReceiveFailed) {
        std::printf("Thread:Recv Fatal Error exit thread port=%d\n", port);
    } else if (end == RelayEnd::SendFailed) {
        std::printf("Thread:Send Fatal Error exit thread port=%d\n", port);
    }
    std::printf("PortForward Client Thread:end :port:%d\n", port);
    queueDisconnect();
    shutdownAndCloseDataSocket();
    connectionState = kStateIdle;
    running = 0;
}
