// The connection thread of a QV_SOCKETTCP: starting and stopping it, and the
// three thread bodies, which join the endpoint, the control packets and the
// relay. The bodies run on the connection thread; the rest on the event-loop
// thread.
#include <chrono>
#include <cstdio>

#include "tcp/socket_tcp.h"
#include "wire/a2a_packet.h"

namespace {

constexpr int kPeerPollMs = 50;
constexpr int kPeerOddStateMs = 100;
// A failing accept is retried after this pause rather than at once.
constexpr int kAcceptRetryMs = 100;

}  // namespace

void QV_SOCKETTCP::startThread()
{
    if (!thread.launch([this] { socketThreadMain(); }, "スレッドを作成しました"))
        std::printf("スレッド作成失敗\n");
}

void QV_SOCKETTCP::startForwardThread()
{
    std::printf("executeSocketOnConnect() start\n");
    if (!thread.launch([this] { forwardThreadMain(); }, "Forward スレッドを作成しました"))
        std::printf("Forwardスレッド作成失敗\n");
}

void QV_SOCKETTCP::stopThread()
{
    waker.requestStop();
    std::printf("スレッド終了を指示\n");
    // Every wait of the thread also watches the wake-up, so the join is
    // short; the sockets are closed only once no thread can use them.
    thread.join();
    endpoint.closeListenSocket();
    // A connection still open here was cut, not ended: reset it.
    endpoint.abortDataSocket();
    waker.drainWake();
    connectionState = kStateIdle;
    std::printf("スレッド終了を検知しました\n");
}

void QV_SOCKETTCP::socketThreadMain()
{
    std::printf("スレッド開始 port=%d\n", link.port);
    if (link.role == kRoleClient) {
        executeClient();
    } else if (link.role == kRoleServer) {
        executeServer();
    } else {
        std::printf("スレッド起動失敗：サーバ・クライアント種別が設定されていません\n");
    }
    std::printf("スレッド終了 port=%d\n", link.port);
}

void QV_SOCKETTCP::forwardThreadMain()
{
    std::printf("スレッド開始 port=%d\n", link.port);
    if (link.role == kRoleClient) {
        executeClientOnConnect();
    } else {
        std::printf("スレッド起動失敗：サーバ・クライアント合致しません\n");
    }
    std::printf("Forward スレッド終了 port=%d\n", link.port);
}

int32_t QV_SOCKETTCP::waitForPeer()
{
    const int32_t port = link.port;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(peerAnswerLimitMs());
    while (!stopRequested()) {
        switch (peerConnectState.load()) {
            case kPeerWaiting:
                if (std::chrono::steady_clock::now() >= deadline) {
                    std::printf("Thread:CONNECT no answer detect:port:%d\n", port);
                    return -1;
                }
                std::printf("WaitConnectPeer");
                waker.pauseOrNudgeMs(kPeerPollMs);
                break;
            case kPeerOk:
                std::printf("Thread:CONNECT_OK detect:port:%d\n", port);
                return 1;
            case kPeerNg:
                std::printf("Thread:CONNECT_NG detect:port:%d\n", port);
                return 0;
            default:
                waker.pauseMs(kPeerOddStateMs);
                break;
        }
    }
    return 0;
}

QV_SOCKETTCP::RelayEnd QV_SOCKETTCP::relayUntilEnd()
{
    setNonBlocking();
    const RelayEnd end = stopRequested() ? RelayEnd::Stopped : relay.run();
    if (end == RelayEnd::ReceiveFailed) {
        std::printf("Thread:Recv Fatal Error exit thread port=%d\n", link.port);
    } else if (end == RelayEnd::SendFailed) {
        std::printf("Thread:Send Fatal Error exit thread port=%d\n", link.port);
    }
    return end;
}

void QV_SOCKETTCP::executeServer()
{
    const int32_t port = link.port;
    std::printf("executeServer Start:port:%d\n", port);
    thread.markRunning();
    // How the last connection ended, for the thread's own end.
    RelayEnd lastEnd = RelayEnd::Stopped;
    while (!stopRequested()) {
        if (!acceptConnection()) {
            endpoint.closeDataSocket();
            // Not woken by a stop: the relay below fails at once and reports
            // the lost connection; pause so that a failing accept cannot spin.
            if (!stopRequested())
                waker.pauseMs(kAcceptRetryMs);
        } else {
            std::printf("Thread:accept exec\u3000OK:port:%d\n", port);
            setPeerConnectWait();
            relay.clearPeerEnd();
            control.queueConnectRequest();
            std::printf("Thread:PEERにconnect-RequestをQueしました\n");
            inbound.reset();
            const int32_t answer = waitForPeer();
            if (answer != 1) {
                // Refused, not answered, or stopped while waiting: the far
                // end was never reached, so the local client's connection
                // is reset. A peer that answers late is told to let go.
                if (answer < 0)
                    control.queueDisconnect(kA2ADisconnectAborted);
                endpoint.abortDataSocket();
                connectionState = kStateIdle;
                if (!stopRequested())
                    continue;
            }
        }

        setNonBlocking();
        std::printf("thread:Server port=%d start tcp rcv-send\n", port);
        if (stopRequested())
            break;

        lastEnd = relay.run();
        if (lastEnd == RelayEnd::Stopped)
            continue;
        if (lastEnd == RelayEnd::ReceiveFailed) {
            std::printf("Thread:Recv Fatal Error exit thread port=%d\n", port);
        } else if (lastEnd == RelayEnd::SendFailed) {
            std::printf("Thread:Send Error! port=%d, len=%d\n", port, getSendLength());
        }
        if (!link.mainService)
            break;  // a data link serves one connection
        connectionState = kStateIdle;
        // The peer's own end needs no answer on a service connection.
        relay.endConnection(lastEnd, lastEnd != RelayEnd::PeerDisconnect && lastEnd != RelayEnd::PeerAbort);
        if (lastEnd == RelayEnd::ReceiveFailed || lastEnd == RelayEnd::Finished)
            std::printf("PORT(%d):PEERから切断されました.\n", port);
        lastEnd = RelayEnd::Stopped;
    }
    relay.endConnection(lastEnd, true);
    thread.markEnded();
    std::printf("Server Thread end:port:%d\n", port);
    connectionState = kStateIdle;
}

void QV_SOCKETTCP::executeClient()
{
    thread.markRunning();
    const RelayEnd end = relayUntilEnd();
    std::printf("Client Thread:end :port:%d\n", link.port);
    relay.endConnection(end, true);
    connectionState = kStateIdle;
    thread.markEnded();
}

void QV_SOCKETTCP::executeClientOnConnect()
{
    const int32_t port = link.port;
    thread.markRunning();
    waker.pauseMs(10);
    if (!connectToServer()) {
        std::printf("executeClientOnConnect() connectNG port=%d\n", port);
        const int32_t error = getLastError();
        if (connectReport)
            connectReport(0, error);
        control.queueConnectReply(port, kA2AResultFailed, error);
        endpoint.shutdownAndCloseDataSocket();
        connectionState = kStateIdle;
        thread.markEnded();
        return;
    }
    std::printf("executeClientOnConnect() connectOK port=%d\n", port);
    if (connectReport)
        connectReport(1, 0);
    control.queueConnectReply(port, kA2AResultConnected, 0);
    const RelayEnd end = relayUntilEnd();
    std::printf("PortForward Client Thread:end :port:%d\n", port);
    relay.endConnection(end, true);
    connectionState = kStateIdle;
    thread.markEnded();
}
