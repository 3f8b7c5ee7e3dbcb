#include "tcp/tcp_manager.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/eventlog.h"

QV_TCPMANAGER::Settings QV_TCPMANAGER::settingsOf(QV_CONFIGURATION* config)
{
    Settings settings;
    if (!config)
        return settings;
    settings.clientApplication = config->isClientMode() != 0;
    if (const char* address = config->getListenAddress())
        settings.listenAddress = address;
    return settings;
}

QV_TCPMANAGER::QV_TCPMANAGER(const Settings& given) : settings(given) { std::strcpy(name, "QV_TCPMANAGER"); }

QV_TCPMANAGER::QV_TCPMANAGER(int32_t port, const Settings& given) : QV_TCPMANAGER(given)
{
    servicePort = port;
    init();
}

// Destroying a socket stops and joins its thread.
QV_TCPMANAGER::~QV_TCPMANAGER() = default;

void QV_TCPMANAGER::init()
{
    mainSocket.reset();
    dataLinkSocket.reset();
    listenMode = settings.clientApplication ? kListenOnServicePort : kConnectOnRequest;
}

uint32_t QV_TCPMANAGER::serviceListenAddress()
{
    if (!settings.listenAddress)
        return QV_SOCKETTCP::kLoopback;
    const char* text = settings.listenAddress->c_str();
    uint32_t address = 0;
    QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
    if (!parseListenAddress(text, &address)) {
        // Never wider than the user asked for: a value that names no
        // address keeps the port on this machine.
        log->writef(2, "待受アドレス不正: %s ポート番号=%d (127.0.0.1で待受)", text, servicePort);
        return QV_SOCKETTCP::kLoopback;
    }
    if (address != QV_SOCKETTCP::kLoopback)
        log->writef(2, "待受アドレス: %s ポート番号=%d", text, servicePort);
    return address;
}

bool QV_TCPMANAGER::start()
{
    if (listenMode != kListenOnServicePort)
        return true;
    if (!mainSocket)
        mainSocket = std::make_unique<QV_SOCKETTCP>();
    const uint32_t address = serviceListenAddress();
    QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
    if (mainSocket->createServerSocket(servicePort, address)) {
        mainSocket->startThread();
        log->writef(2, "サーバソケット作成: ポート番号=%d ", servicePort);
        return true;
    }
    // Typically a port in use, or below 1024 without the right to bind it.
    log->writef(2, "サーバソケット作成失敗: ポート番号=%d ", servicePort);
    return false;
}

void QV_TCPMANAGER::stop()
{
    if (!mainSocket)
        return;
    mainSocket->stopThread();
    QV_EVENTLOG::getInstance()->writef(2, "TCP切断: ポート番号=%d", mainSocket->getBoundPort());
    mainSocket.reset();
}

void QV_TCPMANAGER::startConnect(QV_SOCKETTCP* socket, bool dataLink, int32_t port, const char* host,
                                 const char* connectedLine, int32_t logPort)
{
    socket->setConnectReport(
        [this, dataLink, port, logPort, connectedLine, text = std::string(host)](int32_t connected, int32_t) {
            QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
            if (!connected)
                log->writef(2, "TCP接続失敗: %s ポート番号=%d", text.c_str(), logPort);
            else if (connectedLine)
                log->writef(2, connectedLine, text.c_str(), logPort);
            if (connectOutcome)
                connectOutcome(dataLink, port, connected != 0);
        });
    socket->startForwardThread();
}

int32_t QV_TCPMANAGER::notifyTcpConnectRequest(int32_t port, const char* host)
{
    const char* text = host ? host : "";
    std::printf("TCPMANAMGER:notifyTcpConnectRequest:port%d\n", port);
    if (!mainSocket)
        mainSocket = std::make_unique<QV_SOCKETTCP>();
    mainSocket->prepareClientSocket(port, text);
    if (std::strcmp(text, "localhost") == 0) {
        startConnect(mainSocket.get(), false, port, text, "TCP接続: %s ポート番号=%d", port);
        return 1;
    }
    startConnect(mainSocket.get(), false, port, text, nullptr, port);
    QV_EVENTLOG::getInstance()->writef(2, "TCP接続(外部): %s ポート番号=%d", text, port);
    return 1;
}

void QV_TCPMANAGER::recordConnectReply(QV_SOCKETTCP* socket, int32_t port, int32_t code)
{
    std::printf("TCPMANAGER:notifyTcpConnectReply() port:%d, repCode:%d\n", port, code);
    if (!socket)
        return;
    if (code != 1 && code != 2)
        return;  // an unknown answer changes nothing
    // The peer answers in stream order, after everything it sent for the
    // connection before: what waits in the inbound queue now is left from
    // that one (typically the DISCONNECT-REQUEST with which the peer's
    // forward side acknowledged our own) and must not reach the new one.
    if (socket->getPeerConnectState() == QV_SOCKETTCP::kPeerWaiting)
        socket->getInboundQueue()->reset();
    const char* label = nullptr;
    if (code == 1) {
        socket->setPeerConnectOk();
        label = "OK";
    } else {
        socket->setPeerConnectNg();
        label = "NG";
    }
    QV_EVENTLOG::getInstance()->writef(2, "TCP接続応答(%s): ポート番号=%d", label, socket->getBoundPort());
}

void QV_TCPMANAGER::notifyTcpConnectReply(int32_t port, int32_t code)
{
    recordConnectReply(mainSocket.get(), port, code);
}

void QV_TCPMANAGER::endByPeer(QV_SOCKETTCP* socket, int32_t reason)
{
    if (socket->getConnectionState() == QV_SOCKETTCP::kStateConnected) {
        socket->endByPeer(reason == 2);
    } else if (socket->getRole() != QV_SOCKETTCP::kRoleServer) {
        socket->stopThread();
    }
}

void QV_TCPMANAGER::notifyTcpDisconnect(int32_t port, int32_t reason)
{
    // A plain end names the service's port to count; a half-close or an
    // abort is always about the one connection, whatever port the peer's
    // side of it has.
    if ((port == servicePort || reason != 0) && mainSocket)
        endByPeer(mainSocket.get(), reason);
    QV_EVENTLOG::getInstance()->writef(2, "TCP切断: ポート番号=%d", port);
}

int32_t QV_TCPMANAGER::createDataLinkServer(int32_t portHint) { return portHint; }

int32_t QV_TCPMANAGER::notifyDataLinkConnectRequest(int32_t, const char*) { return 0; }

void QV_TCPMANAGER::notifyDataLinkConnectReply(int32_t, int32_t) {}

void QV_TCPMANAGER::notifyDataLinkDisconnect(int32_t, int32_t) {}
