// QV_TCPMANAGERFORFTP: the TCP manager of the FTP stream. Beside the control
// connection on the service port it carries the FTP data connection as the
// data link: a listener on a system-chosen port for each announced transfer,
// or an outgoing connection when the peer asks. The data-link socket is made
// once, on first use, and reused for every later transfer. Control and data
// connects run in forward threads, which answer the peer themselves.
//
// Event-loop thread only, as QV_TCPMANAGER.
#pragma once

#include "tcp/tcp_manager.h"

class QV_TCPMANAGERFORFTP : public QV_TCPMANAGER {
public:
    QV_TCPMANAGERFORFTP(int32_t servicePort, const Settings& settings);

    void stop() override;
    int32_t notifyTcpConnectRequest(int32_t port, const char* host) override;
    void notifyTcpConnectReply(int32_t port, int32_t code) override;
    void notifyTcpDisconnect(int32_t port, int32_t reason = 0) override;
    // The bound port of the new listener, or -1. It listens at the control
    // connection's local address and accepts only from that connection's
    // remote address (loopback for both without a control connection);
    // any other connection is reset and logged.
    int32_t createDataLinkServer(int32_t portHint) override;
    int32_t notifyDataLinkConnectRequest(int32_t port, const char* host) override;
    void notifyDataLinkConnectReply(int32_t port, int32_t code) override;
    void notifyDataLinkDisconnect(int32_t port, int32_t reason = 0) override;

private:
    QV_SOCKETTCP* dataLink();

    char ftpName[20];
};
