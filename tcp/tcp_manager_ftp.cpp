#include "tcp/tcp_manager_ftp.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "core/eventlog.h"

QV_TCPMANAGERFORFTP::QV_TCPMANAGERFORFTP(int32_t port, const Settings& given) : QV_TCPMANAGER(given)
{
    std::strcpy(ftpName, "QV_TCPMANAGERFORFTP");
    servicePort = port;
    init();
}

QV_SOCKETTCP* QV_TCPMANAGERFORFTP::dataLink()
{
    if (!dataLinkSocket) {
        dataLinkSocket = std::make_unique<QV_SOCKETTCP>();
        dataLinkSocket->setMainService(0);
    }
    return dataLinkSocket.get();
}

void QV_TCPMANAGERFORFTP::stop()
{
    QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
    for (std::unique_ptr<QV_SOCKETTCP>* socket : {&mainSocket, &dataLinkSocket}) {
        if (!*socket)
            continue;
        (*socket)->stopThread();
        log->writef(2, "TCP切断: ポート番号=%d", (*socket)->getBoundPort());
        socket->reset();
    }
}

int32_t QV_TCPMANAGERFORFTP::notifyTcpConnectRequest(int32_t port, const char* host)
{
    const char* text = host ? host : "";
    std::printf("TCPMANAMGER:notifyTcpConnectRequest:port%d\n", port);
    std::printf("port%d client sequence start\n", servicePort);
    if (!mainSocket) {
        std::printf("port%d_client create start\n", servicePort);
        mainSocket = std::make_unique<QV_SOCKETTCP>();
    }
    mainSocket->prepareClientSocket(port, text);
    startConnect(mainSocket.get(), false, port, text, "TCP接続: %s ポート番号=%d", servicePort);
    return 1;
}

void QV_TCPMANAGERFORFTP::notifyTcpConnectReply(int32_t port, int32_t code)
{
    recordConnectReply(mainSocket.get(), port, code);
}

void QV_TCPMANAGERFORFTP::notifyTcpDisconnect(int32_t port, int32_t reason)
{
    if (!mainSocket)
        return;
    endByPeer(mainSocket.get(), reason);
    QV_EVENTLOG::getInstance()->writef(2, "TCP切断: ポート番号=%d", port);
}

int32_t QV_TCPMANAGERFORFTP::createDataLinkServer(int32_t portHint)
{
    // The data connection belongs to the program at the other end of the
    // control connection: listen where that program reached us (or where we
    // reached it) and take a connection from its address only, so that
    // nobody else can reach the data link or take it first.
    uint32_t local = QV_SOCKETTCP::kLoopback;
    uint32_t remote = QV_SOCKETTCP::kLoopback;
    if (mainSocket && mainSocket->getConnectionLocalAddress() != 0 && mainSocket->getConnectionPeerAddress() != 0) {
        local = mainSocket->getConnectionLocalAddress();
        remote = mainSocket->getConnectionPeerAddress();
    }
    QV_SOCKETTCP* socket = dataLink();
    if (!socket->createServerSocketAnyPort(portHint, local))
        return -1;
    socket->setAcceptOnlyFrom(remote);
    socket->setRefusedReport([](uint32_t address, int32_t port) {
        in_addr from{};
        from.s_addr = address;
        char dotted[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &from, dotted, sizeof(dotted));
        QV_EVENTLOG::getInstance()->writef(2, "データリンク接続拒否: %s ポート番号=%d", dotted, port);
    });
    socket->startThread();
    QV_EVENTLOG::getInstance()->writef(2, "サーバソケット作成: ポート番号=%d ", socket->getBoundPort());
    return socket->getBoundPort();
}

int32_t QV_TCPMANAGERFORFTP::notifyDataLinkConnectRequest(int32_t port, const char* host)
{
    const char* text = host ? host : "";
    std::printf("TCPMANAMGER:notifyTcpConnectRequest:port%d\n", port);
    QV_SOCKETTCP* socket = dataLink();
    socket->prepareClientSocket(port, text);
    startConnect(socket, true, port, text, "TCP接続(datalink): %s ポート番号=%d", port);
    return 1;
}

void QV_TCPMANAGERFORFTP::notifyDataLinkConnectReply(int32_t port, int32_t code)
{
    recordConnectReply(dataLinkSocket.get(), port, code);
}

void QV_TCPMANAGERFORFTP::notifyDataLinkDisconnect(int32_t port, int32_t reason)
{
    if (!dataLinkSocket)
        return;
    endByPeer(dataLinkSocket.get(), reason);
    QV_EVENTLOG::getInstance()->writef(2, "TCP切断: ポート番号=%d", port);
}
