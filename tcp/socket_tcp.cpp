#include "tcp/socket_tcp.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// a.root-servers.net: any routable address serves, nothing is sent to it.
const char* const kRouteProbeAddress = "198.41.0.4";

std::atomic<int32_t> peerAnswerMs{QV_SOCKETTCP::kPeerAnswerMs};

}  // namespace

int32_t startWinsock() { return 1; }

QV_SOCKETTCP::QV_SOCKETTCP()
{
    std::strcpy(name, "QV_SOCKETTCP");
    startWinsock();
}

QV_SOCKETTCP::~QV_SOCKETTCP()
{
    if (thread.isRunning() != 0 || thread.joinable())
        stopThread();
    endpoint.closeListenSocket();
    endpoint.closeDataSocket();
}

int32_t QV_SOCKETTCP::createServerSocket(int32_t listenPort, uint32_t address)
{
    if (thread.joinable())
        stopThread();
    endpoint.closeListenSocket();
    link.port = listenPort;
    boundPort = listenPort;
    if (!endpoint.openListenSocket(address, static_cast<uint16_t>(listenPort)))
        return 0;
    std::printf("サーバソケットを作成しました. port:%d\n", listenPort);
    link.role = kRoleServer;
    connectionState = kStateIdle;
    return 1;
}

int32_t QV_SOCKETTCP::createServerSocketAnyPort(int32_t portHint, uint32_t address)
{
    if (thread.joinable())
        stopThread();
    endpoint.closeListenSocket();
    link.port = portHint;
    if (!endpoint.openListenSocket(address, 0))
        return 0;
    boundPort = endpoint.listeningPort();
    std::printf("** sin.sin_port=%d\n", boundPort);
    std::printf("サーバソケットを作成しました. port:%d\n", portHint);
    link.role = kRoleServer;
    connectionState = kStateIdle;
    inbound.reset();
    outbound.reset();
    return 1;
}

int32_t QV_SOCKETTCP::acceptConnection()
{
    connectionState = kStateAccepting;
    const int32_t accepted = endpoint.acceptConnection(boundPort);
    connectionState = accepted ? kStateConnected : kStateIdle;
    return accepted;
}

int32_t QV_SOCKETTCP::prepareClientSocket(int32_t targetPort, const char* host)
{
    if (thread.joinable())
        stopThread();
    link.port = targetPort;
    relay.clearPeerEnd();
    connectReport = nullptr;
    endpoint.prepareClientSocket(targetPort, host);
    std::printf("クライアントソケットを作成しました. port:%d\n", targetPort);
    link.role = kRoleClient;
    connectionState = kStateIdle;
    inbound.reset();
    outbound.reset();
    return 1;
}

void QV_SOCKETTCP::setConnectTimeoutMs(int32_t ms) { QV_TCPENDPOINT::setConnectTimeoutMs(ms); }
void QV_SOCKETTCP::setPeerAnswerMs(int32_t ms) { peerAnswerMs = ms; }
int32_t QV_SOCKETTCP::peerAnswerLimitMs() { return peerAnswerMs; }
void QV_SOCKETTCP::setSendWaitLimit(int32_t limit) { QV_TCPENDPOINT::setSendWaitLimit(limit); }

int32_t QV_SOCKETTCP::connectToServer()
{
    if (!endpoint.connectToServer())
        return 0;
    std::printf("connctしました. port:%d\n", link.port);
    connectionState = kStateConnected;
    return 1;
}

uint32_t getLocalAddress()
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s <= 0)
        return 0;
    sockaddr_in probe{};
    probe.sin_family = AF_INET;
    probe.sin_port = 0;
    probe.sin_addr.s_addr = inet_addr(kRouteProbeAddress);
    if (connect(s, reinterpret_cast<sockaddr*>(&probe), sizeof(probe)) < 0) {
        close(s);
        return 0;
    }
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) < 0) {
        close(s);
        return 0;
    }
    close(s);
    return local.sin_addr.s_addr;
}
