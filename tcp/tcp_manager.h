// QV_TCPMANAGER: the TCP side of one service stream. The stream creates it
// with the service port, calls start() and, when the stream ends, stop()
// before destroying it. The tunnel protocol calls the notify operations when
// the peer's CONNECT-REQUEST, CONNECT-REPLY or DISCONNECT-REQUEST arrives.
//
// On the client application (isClientMode of the configuration) the manager
// listens on the service port and serves local connections one after another;
// on the server application it connects to the forward host when the peer
// asks. It owns at most one main socket, so a service carries one TCP
// connection at a time. The data-link operations serve the FTP manager and do
// nothing here.
//
// Event-loop thread only. The sockets returned by the getters belong to the
// manager and live until stop() or destruction.
#pragma once

#include <cstdint>
#include <memory>

#include "tcp/socket_tcp.h"

class QV_TCPMANAGER {
public:
    static constexpr int32_t kListenOnServicePort = 2;
    static constexpr int32_t kConnectOnRequest = 1;

    explicit QV_TCPMANAGER(int32_t servicePort);
    virtual ~QV_TCPMANAGER();
    QV_TCPMANAGER(const QV_TCPMANAGER&) = delete;
    QV_TCPMANAGER& operator=(const QV_TCPMANAGER&) = delete;

    virtual void init();
    virtual void start();
    virtual void stop();
    // 1 when the connection is made or, for a host other than "localhost",
    // handed to the forward thread (which then answers the peer itself).
    virtual int32_t notifyTcpConnectRequest(int32_t port, const char* host);
    // True when an accepted connect request to `host` is answered to the
    // peer by the forward thread (with the real outcome), so the caller must
    // not answer it too: any host but "localhost" here.
    virtual bool repliesToConnectRequest(const char* host) const;
    virtual void notifyTcpConnectReply(int32_t port, int32_t code);
    virtual void notifyTcpDisconnect(int32_t port);
    // The port of a new data-link listener; here the hint itself.
    virtual int32_t createDataLinkServer(int32_t portHint);
    virtual int32_t notifyDataLinkConnectRequest(int32_t port, const char* host);
    virtual void notifyDataLinkConnectReply(int32_t port, int32_t code);
    virtual void notifyDataLinkDisconnect(int32_t port);

    QV_SOCKETTCP* getMainSocket() { return mainSocket.get(); }
    QV_SOCKETTCP* getDataLinkSocket() { return dataLinkSocket.get(); }
    int32_t getServicePort() const { return servicePort; }
    int32_t getListenMode() const { return listenMode; }

protected:
    // For a derived manager that sets its own name and port, then calls init.
    QV_TCPMANAGER();
    // Records the peer's answer on `socket`, as the reply operations do.
    static void recordConnectReply(QV_SOCKETTCP* socket, int32_t port, int32_t code);

    char name[14];
    int32_t servicePort = 0;
    std::unique_ptr<QV_SOCKETTCP> mainSocket;
    std::unique_ptr<QV_SOCKETTCP> dataLinkSocket;
    int32_t listenMode = kConnectOnRequest;
};
