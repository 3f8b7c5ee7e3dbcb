// QV_TCPMANAGER: the TCP side of one service stream. The stream creates it
// with the service port and the settings it needs, calls start() and, when the stream ends, stop()
// before destroying it. The tunnel protocol calls the notify operations when
// the peer's CONNECT-REQUEST, CONNECT-REPLY or DISCONNECT-REQUEST arrives.
//
// On the client application (isClientMode of the configuration) the manager
// listens on the service port, at the configured listen address
// (loopback unless the user opened the port), and serves local connections
// one after another;
// on the server application it connects to the forward host when the peer
// asks. It owns at most one main socket, so a service carries one TCP
// connection at a time. The data-link operations serve the FTP manager and do
// nothing here.
//
// Event-loop thread only. The sockets returned by the getters belong to the
// manager and live until stop() or destruction.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/configuration.h"
#include "tcp/socket_tcp.h"

class QV_TCPMANAGER {
public:
    static constexpr int32_t kListenOnServicePort = 2;
    static constexpr int32_t kConnectOnRequest = 1;

    // What the manager takes from the settings, given by its stream.
    struct Settings {
        // The client application listens on the service port; the server
        // application connects on the peer's request.
        bool clientApplication = false;
        // LISTENADDRESS as the user wrote it; none: loopback, unlogged.
        std::optional<std::string> listenAddress;
    };
    // The manager's settings in `config`; the defaults without one.
    static Settings settingsOf(QV_CONFIGURATION* config);

    QV_TCPMANAGER(int32_t servicePort, const Settings& settings);
    virtual ~QV_TCPMANAGER();
    QV_TCPMANAGER(const QV_TCPMANAGER&) = delete;
    QV_TCPMANAGER& operator=(const QV_TCPMANAGER&) = delete;

    virtual void init();
    // The client application's listener on the service port; false when it
    // could not listen (the main socket's getLastError() says why).
    virtual bool start();
    virtual void stop();
    // Hands the connect to the forward thread, which connects within the
    // connect time limit and answers the peer itself with the outcome
    // (CONNECT-REPLY); 1 when it is on its way. The event loop never waits
    // for a connect.
    virtual int32_t notifyTcpConnectRequest(int32_t port, const char* host);
    virtual void notifyTcpConnectReply(int32_t port, int32_t code);
    // The peer's DISCONNECT-REQUEST that could not be queued to the socket.
    // reason: that of the packet (0 orderly, 2 aborted). An open connection
    // ends as the reason says; a listener keeps listening, since the
    // message can only be about a connection that is over.
    virtual void notifyTcpDisconnect(int32_t port, int32_t reason = 0);
    // The port of a new data-link listener; here the hint itself.
    virtual int32_t createDataLinkServer(int32_t portHint);
    // 1 when the data-link connect is handed to a forward thread (which
    // answers the peer itself), 0 when there is no data link to connect.
    virtual int32_t notifyDataLinkConnectRequest(int32_t port, const char* host);
    virtual void notifyDataLinkConnectReply(int32_t port, int32_t code);
    virtual void notifyDataLinkDisconnect(int32_t port, int32_t reason = 0);

    // Told the outcome of every connect made for the peer, on the
    // connection thread that made it.
    using ConnectOutcome = std::function<void(bool dataLink, int32_t port, bool connected)>;
    void setConnectOutcomeListener(ConnectOutcome listener) { connectOutcome = std::move(listener); }

    QV_SOCKETTCP* getMainSocket() { return mainSocket.get(); }
    QV_SOCKETTCP* getDataLinkSocket() { return dataLinkSocket.get(); }
    int32_t getServicePort() const { return servicePort; }
    int32_t getListenMode() const { return listenMode; }

protected:
    // For a derived manager that sets its own name and port, then calls init.
    explicit QV_TCPMANAGER(const Settings& settings);
    // Records the peer's answer on `socket`, as the reply operations do.
    static void recordConnectReply(QV_SOCKETTCP* socket, int32_t port, int32_t code);
    // Where the service port listens: the settings' LISTENADDRESS, loopback
    // when it names no address (logged).
    uint32_t serviceListenAddress();
    // Ends `socket`'s open connection for the peer (see notifyTcpDisconnect).
    static void endByPeer(QV_SOCKETTCP* socket, int32_t reason);
    // Starts the forward thread of a prepared socket. The thread writes
    // `connectedLine` (host, port; none when null) or the failure line, then
    // tells the outcome listener.
    void startConnect(QV_SOCKETTCP* socket, bool dataLink, int32_t port, const char* host, const char* connectedLine,
                      int32_t logPort);

    char name[14];
    int32_t servicePort = 0;
    std::unique_ptr<QV_SOCKETTCP> mainSocket;
    std::unique_ptr<QV_SOCKETTCP> dataLinkSocket;
    int32_t listenMode = kConnectOnRequest;
    ConnectOutcome connectOutcome;
    Settings settings;
};
