// The connection thread of a QV_SOCKETTCP: the three thread bodies, the relay
// pass they share, and starting and stopping the thread.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "core/outbound_signal.h"
#include "tcp/socket_tcp.h"
#include "wire/a2a_packet.h"

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
    // A connection still open here was cut, not ended: reset it.
    abortDataSocket();
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
    buildControl(replyPacket, mainService ? kA2AKindControl : kA2AKindDataLinkControl, kA2ACodeConnectReply,
                 replyPort);
    setA2AResult(replyPacket, static_cast<uint16_t>(result));
    setA2AError(replyPacket, static_cast<uint16_t>(error & 0xffff));
    enqueueControl(replyPacket);
}

void QV_SOCKETTCP::queueDisconnect(int32_t reason) {
    std::memset(sendBuffer, 0, kA2AHeaderSize);
    buildControl(sendBuffer, mainService ? kA2AKindControl : kA2AKindDataLinkControl,
                 kA2ACodeDisconnectRequest, port);
    setA2AResult(sendBuffer, static_cast<uint16_t>(reason));
    enqueueControl(sendBuffer);
}

void QV_SOCKETTCP::endConnection(RelayEnd end, bool tellPeer) {
    bool broken = false;
    switch (end) {
        case RelayEnd::Stopped:
            // Cut by this side (the stream or the program ends); an open
            // connection is cut, one never made is no news.
            broken = dataSocket >= 0;
            break;
        case RelayEnd::ReceiveFailed:
        case RelayEnd::SendFailed:
        case RelayEnd::PeerAbort:
            broken = true;
            break;
        case RelayEnd::Finished:
            tellPeer = false;  // the peer has come to the same end by itself
            break;
        case RelayEnd::PeerDisconnect:
            break;
    }
    if (tellPeer) queueDisconnect(broken ? kA2ADisconnectAborted : kA2ADisconnectOrderly);
    if (broken) {
        std::printf("Thread:connection reset port=%d\n", port);
        abortDataSocket();
    } else {
        shutdownAndCloseDataSocket();
    }
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
    //
    // Half-close: once the local program has shut down its sending side
    // (localDone) nothing more is read, and a DISCONNECT-REQUEST marked as
    // a send end tells the peer; once the peer's has come (remoteDone), the
    // sending side towards the program is shut down. The connection is over
    // when both are done. A peer that does not know the mark ends the whole
    // connection and says so, as before.
    const auto period = std::chrono::milliseconds(kPassPauseMs);
    auto nextPass = std::chrono::steady_clock::now();
    bool drained = false;
    bool localDone = false;
    bool remoteDone = false;
    for (;;) {
        drained = false;
        if (peerEnd == 2) return RelayEnd::PeerAbort;
        if (localDone) {
            // Nothing more to read from the program.
        } else if (outbound.hasRoom()) {
            receiveLength = kReadSize;
            bool ended = false;
            if (!receiveData()) {
                if (!receiveClosed) return RelayEnd::ReceiveFailed;
                ended = true;
            }
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
                    ended = !receiveData() && receiveClosed;
                    if (!ended) return RelayEnd::ReceiveFailed;
                }
            }
            if (ended) {
                std::printf("Thread:local send side closed port=%d\n", port);
                queueDisconnect(kA2ADisconnectSendEnd);
                localDone = true;
                if (remoteDone) return RelayEnd::Finished;
            }
        } else if (server) {
            std::printf("PORT%d A2ASEND QUE FULL\n", port);
        }

        if (!inbound.dequeue(entry)) {
            // Everything the peer sent before its end is written.
            if (peerEnd == 1) return RelayEnd::PeerDisconnect;
        } else {
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
            } else if (kind == kA2AKindControl || kind == kA2AKindDataLinkControl) {
                const uint16_t reason = a2aResult(entry);
                if (a2aCode(entry) != kA2ACodeDisconnectRequest) {
                    // Nothing else is meant for a connection.
                } else if (reason == kA2ADisconnectAborted) {
                    return RelayEnd::PeerAbort;
                } else if (reason != kA2ADisconnectSendEnd) {
                    return RelayEnd::PeerDisconnect;
                } else if (!remoteDone) {
                    // Everything the peer's program sent is written: pass its
                    // shutdown on, and keep reading what this side answers.
                    std::printf("Thread:peer send side closed port=%d\n", port);
                    shutdown(dataSocket, SHUT_WR);
                    remoteDone = true;
                    if (localDone) return RelayEnd::Finished;
                }
            }
        }

        auto now = std::chrono::steady_clock::now();
        if (now >= nextPass) {
            nextPass += period;
            // Late by a whole period (a slow send): no burst to catch up.
            if (nextPass <= now) nextPass = now + period;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextPass - now);
        if (drained && !localDone && outbound.hasRoom()) {
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

int32_t QV_SOCKETTCP::waitForPeer() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(peerAnswerLimitMs());
    while (!stopRequested()) {
        switch (peerConnectState.load()) {
            case kPeerWaiting:
                if (std::chrono::steady_clock::now() >= deadline) {
                    std::printf("Thread:CONNECT no answer detect:port:%d\n", port);
                    return -1;
                }
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
    // How the last connection ended, for the thread's own end.
    RelayEnd lastEnd = RelayEnd::Stopped;
    while (!stopRequested()) {
        if (!acceptConnection()) {
            closeDataSocket();
            // Not woken by a stop: the relay below fails at once and reports
            // the lost connection; pause so that a failing accept cannot spin.
            if (!stopRequested()) pauseMs(kAcceptRetryMs);
        } else {
            std::printf("Thread:accept exec\u3000OK:port:%d\n", port);
            setPeerConnectWait();
            peerEnd = 0;
            std::memset(sendBuffer, 0, kA2AHeaderSize);
            buildControl(sendBuffer, mainService ? kA2AKindControl : kA2AKindDataLinkControl,
                         kA2ACodeConnectRequest, port);
            enqueueControl(sendBuffer);
            std::printf("Thread:PEERにconnect-RequestをQueしました\n");
            inbound.reset();
            const int32_t answer = waitForPeer();
            if (answer != 1) {
                // Refused, not answered, or stopped while waiting: the far
                // end was never reached, so the local client's connection
                // is reset. A peer that answers late is told to let go.
                if (answer < 0) queueDisconnect(kA2ADisconnectAborted);
                abortDataSocket();
                connectionState = kStateIdle;
                if (!stopRequested()) continue;
            }
        }

        setNonBlocking();
        std::printf("thread:Server port=%d start tcp rcv-send\n", port);
        if (stopRequested()) break;

        lastEnd = relay();
        if (lastEnd == RelayEnd::Stopped) continue;
        if (lastEnd == RelayEnd::ReceiveFailed) {
            std::printf("Thread:Recv Fatal Error exit thread port=%d\n", port);
        } else if (lastEnd == RelayEnd::SendFailed) {
            std::printf("Thread:Send Error! port=%d, len=%d\n", port, sendLength);
        }
        if (!mainService) break;  // a data link serves one connection
        connectionState = kStateIdle;
        // The peer's own end needs no answer on a service connection.
        endConnection(lastEnd, lastEnd != RelayEnd::PeerDisconnect && lastEnd != RelayEnd::PeerAbort);
        if (lastEnd == RelayEnd::ReceiveFailed || lastEnd == RelayEnd::Finished)
            std::printf("PORT(%d):PEERから切断されました.\n", port);
        lastEnd = RelayEnd::Stopped;
    }
    endConnection(lastEnd, true);
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
    endConnection(end, true);
    connectionState = kStateIdle;
    running = 0;
}

void QV_SOCKETTCP::executeClientOnConnect() {
    running = 1;
    pauseMs(10);
    if (!connectToServer()) {
        std::printf("executeClientOnConnect() connectNG port=%d\n", port);
        const int32_t error = lastError;
        if (connectReport) connectReport(0, error);
        queueConnectReply(port, kA2AResultFailed, error);
        shutdownAndCloseDataSocket();
        connectionState = kStateIdle;
        running = 0;
        return;
    }
    std::printf("executeClientOnConnect() connectOK port=%d\n", port);
    if (connectReport) connectReport(1, 0);
    queueConnectReply(port, kA2AResultConnected, 0);
    setNonBlocking();
    RelayEnd end = stopRequested() ? RelayEnd::Stopped : relay();
    if (end == RelayEnd::ReceiveFailed) {
        std::printf("Thread:Recv Fatal Error exit thread port=%d\n", port);
    } else if (end == RelayEnd::SendFailed) {
        std::printf("Thread:Send Fatal Error exit thread port=%d\n", port);
    }
    std::printf("PortForward Client Thread:end :port:%d\n", port);
    endConnection(end, true);
    connectionState = kStateIdle;
    running = 0;
}
