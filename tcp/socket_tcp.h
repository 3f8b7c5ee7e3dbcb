// QV_SOCKETTCP: one TCP endpoint of a tunnelled service, either the listening
// side (a listening socket and the one connection accepted on it) or the
// outgoing side (one connection to a forward host). It carries the two queues
// that join it to the service's stream and the connection thread that moves
// bytes between TCP and those queues. The work is done by parts it holds and
// delegates to: the socket handles and buffers (QV_TCPENDPOINT), the stop
// request and the waits (QV_TCPWAKER), the packets towards the peer
// (QV_PEERCONTROL), the relay of one connection (QV_TCPRELAY) and the
// thread's life (QV_WORKERTHREAD); what the object serves is its QV_TCPLINK.
// The thread bodies, which join these parts, are in connection_threads.cpp.
//
// Ownership and threads: a TCP manager owns the object and calls everything
// but the thread bodies from the event-loop thread. While a connection thread
// runs, that thread alone touches the socket handles and buffers; the
// event-loop thread shares only the two queues (each locked by its own mutex)
// and the atomic state words. stopThread() wakes a thread wherever it waits
// (accept, connect, the peer's answer, a full queue, a pause) and joins it, so
// the object is never destroyed under a running thread. Preparing or creating
// a socket again first stops a thread that still runs on the object.
//
// Results are 1 for success and 0 for failure; failures are traced on
// standard output with the platform's error number.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <functional>

#include "core/que.h"
#include "tcp/peer_control.h"
#include "tcp/tcp_endpoint.h"
#include "tcp/tcp_link.h"
#include "tcp/tcp_relay.h"
#include "tcp/tcp_waker.h"
#include "tcp/worker_thread.h"

class QV_SOCKETTCP {
public:
    static constexpr int32_t kBufferSize = QV_TCPENDPOINT::kBufferSize;
    // One TCP read becomes one DATA packet of at most this many bytes.
    static constexpr int32_t kReadSize = QV_TCPRELAY::kReadSize;
    // Would-block results without progress before sendAll gives up, each
    // followed by a wait of up to kSendWaitMs for room (about 60 s in all).
    static constexpr int32_t kSendWaitLimit = QV_TCPENDPOINT::kSendWaitLimit;
    static constexpr int32_t kSendWaitMs = QV_TCPENDPOINT::kSendWaitMs;
    // How long a control packet waits for room in a full outbound queue.
    static constexpr int32_t kControlWaitMs = QV_PEERCONTROL::kControlWaitMs;
    // How long a connect to a forward host may take; a host that neither
    // answers nor refuses is given up after this (tests shorten it).
    static constexpr int32_t kConnectTimeoutMs = QV_TCPENDPOINT::kConnectTimeoutMs;
    // How long an accepted connection waits for the peer's answer to its
    // CONNECT-REQUEST: longer than the peer's own connect may take, so a
    // slow forward host is still answered, bounded so that a peer that never
    // answers cannot hold the service (tests shorten it).
    static constexpr int32_t kPeerAnswerMs = 40000;

    // 127.0.0.1 in network byte order: where listeners listen unless told.
    static constexpr uint32_t kLoopback = std::endian::native == std::endian::little ? 0x0100007fu : 0x7f000001u;

    static constexpr int32_t kRoleNone = QV_TCPLINK::kRoleNone;
    static constexpr int32_t kRoleClient = QV_TCPLINK::kRoleClient;
    static constexpr int32_t kRoleServer = QV_TCPLINK::kRoleServer;

    static constexpr int32_t kStateIdle = 0;
    static constexpr int32_t kStateAccepting = 1;
    static constexpr int32_t kStateConnected = 2;

    static constexpr int32_t kPeerWaiting = 0;
    static constexpr int32_t kPeerOk = 1;
    static constexpr int32_t kPeerNg = 2;

    QV_SOCKETTCP();
    ~QV_SOCKETTCP();
    QV_SOCKETTCP(const QV_SOCKETTCP&) = delete;
    QV_SOCKETTCP& operator=(const QV_SOCKETTCP&) = delete;

    // Listening side, on `address` (IPv4, network byte order; INADDR_ANY is
    // every address of the machine). createServerSocketAnyPort lets the
    // system choose the port (getBoundPort tells it) and keeps the hint as
    // getPort.
    int32_t createServerSocket(int32_t port, uint32_t address = kLoopback);
    int32_t createServerSocketAnyPort(int32_t portHint, uint32_t address = kLoopback);
    // Waits for one connection; 0 also when the thread is asked to stop.
    // With a required peer address set, a connection from any other
    // address is reset at once, reported, and the wait goes on.
    int32_t acceptConnection();
    // The only address a connection may come from (network byte order), 0
    // for any. Set on a listening object before startThread.
    void setAcceptOnlyFrom(uint32_t address) { endpoint.setAcceptOnlyFrom(address); }
    // Told the address (network byte order) and port of every connection
    // refused for its address, on the connection thread. Set before
    // startThread.
    using RefusedReport = QV_TCPENDPOINT::RefusedReport;
    void setRefusedReport(RefusedReport report) { endpoint.setRefusedReport(std::move(report)); }

    // Outgoing side. prepareClientSocket always answers 1 and only records
    // the target: the host name is resolved by connectToServer, in the
    // connection thread, and a name that cannot be resolved fails the
    // connect. connectToServer gives up after the connect time limit.
    int32_t prepareClientSocket(int32_t port, const char* host);
    int32_t connectToServer();
    static void setConnectTimeoutMs(int32_t ms);
    static void setPeerAnswerMs(int32_t ms);
    // Called by the forward thread once its connect has succeeded (1) or
    // failed (0, with the error number), before the reply is queued. Runs on
    // the connection thread; set before startForwardThread.
    using ConnectReport = std::function<void(int32_t connected, int32_t error)>;
    void setConnectReport(ConnectReport report) { connectReport = std::move(report); }

    // Writes the send buffer's first getSendLength() bytes to the data socket.
    int32_t sendAll() { return endpoint.sendAll(); }
    // Tests shorten the wait; kSendWaitLimit otherwise.
    static void setSendWaitLimit(int32_t limit);
    // Reads at most getReceiveLength() bytes; afterwards getReceiveLength() is
    // the count read, -1 when nothing was waiting, 0 after an error or close.
    int32_t receiveData() { return endpoint.receiveData(); }
    int32_t setNonBlocking() { return endpoint.setNonBlocking(); }

    int32_t getPort() const { return link.port; }
    int32_t getBoundPort() const { return boundPort; }
    int32_t getRole() const { return link.role; }

    // The peer's answer to a CONNECT-REQUEST, set by the manager, polled by
    // the listening thread (which the answer wakes).
    void setPeerConnectWait() { peerConnectState = kPeerWaiting; }
    void setPeerConnectOk()
    {
        peerConnectState = kPeerOk;
        nudge();
    }
    void setPeerConnectNg()
    {
        peerConnectState = kPeerNg;
        nudge();
    }
    // Ends the thread's current relay pause or peer wait early: something
    // it waits for (an inbound packet, the peer's answer) is there.
    void nudge() { waker.nudge(); }
    int32_t getPeerConnectState() const { return peerConnectState; }

    // The peer ended the open connection but its DISCONNECT-REQUEST could not
    // be queued: the relay ends as if it had taken the packet, an aborted end
    // at once, an orderly one after the data already queued is written. A
    // connection opened later is not affected.
    void endByPeer(bool aborted) { relay.endByPeer(aborted); }

    // The thread bodies; see connection_threads.cpp.
    void startThread();
    void startForwardThread();
    void stopThread();
    // Put a control packet into the outbound queue, waiting for room while
    // the queue is full (at most kControlWaitMs, never past a stop). The
    // reply is of kind DATA-LINK CONTROL on a data link, CONTROL otherwise.
    // Called on the connection thread.
    void queueConnectReply(int32_t replyPort, int32_t result, int32_t error)
    {
        control.queueConnectReply(replyPort, result, error);
    }
    // reason: 0 an orderly end, 2 a broken one, 3 the local program's
    // half-close (see a2a_packet.h).
    void queueDisconnect(int32_t reason = 0) { control.queueDisconnect(reason); }

    // 1 for a service connection (packet kinds CONTROL and DATA), 0 for an
    // FTP data link (DATA-LINK CONTROL and DATA-LINK DATA).
    void setMainService(int32_t flag) { link.mainService = flag; }
    int32_t isMainService() const { return link.mainService; }

    int32_t getConnectionState() const { return connectionState; }
    int32_t isRunning() const { return thread.isRunning(); }
    // errno of the last failed socket call of this object.
    int32_t getLastError() const { return endpoint.getLastError(); }

    // Inbound: packets from the peer, drained by the thread. Outbound: packets
    // for the peer, filled by the thread and drained by the stream.
    QV_QUE* getInboundQueue() { return &inbound; }
    QV_QUE* getOutboundQueue() { return &outbound; }

    uint8_t* getSendBuffer() { return endpoint.getSendBuffer(); }
    void setSendLength(int32_t length) { endpoint.setSendLength(length); }
    int32_t getSendLength() const { return endpoint.getSendLength(); }
    const uint8_t* getReceiveBuffer() const { return endpoint.getReceiveBuffer(); }
    void setReceiveLength(int32_t length) { endpoint.setReceiveLength(length); }
    int32_t getReceiveLength() const { return endpoint.getReceiveLength(); }

    int getDataSocketForTest() const { return endpoint.getDataSocket(); }
    // This side's IPv4 address of the open connection (network order), 0
    // without one: the address the local program reached us at.
    uint32_t getConnectionLocalAddress() const { return endpoint.getConnectionLocalAddress(); }
    // The other end's IPv4 address of the open connection (network order),
    // 0 without one: the local program's, or the forward host's.
    uint32_t getConnectionPeerAddress() const { return endpoint.getConnectionPeerAddress(); }

private:
    using RelayEnd = QV_TCPRELAY::End;

    void socketThreadMain();
    void forwardThreadMain();
    void executeServer();
    void executeClient();
    void executeClientOnConnect();
    // Relays the open connection and traces a failed receive or send.
    RelayEnd relayUntilEnd();
    // 1 the peer connected its end, 0 it refused or a stop came, -1 no answer
    // within the time limit.
    int32_t waitForPeer();

    bool stopRequested() const { return waker.stopRequested(); }
    static int32_t peerAnswerLimitMs();

    char name[13];
    // Written on the event-loop thread while no thread runs (see above).
    QV_TCPLINK link;
    int32_t boundPort = 0;
    ConnectReport connectReport;
    // State words shared with the event-loop thread.
    std::atomic<int32_t> peerConnectState{kPeerWaiting};
    std::atomic<int32_t> connectionState{kStateIdle};
    // The parts, in the order they depend on each other; the thread is the
    // last, so that it is the first to go.
    QV_TCPWAKER waker;
    QV_TCPENDPOINT endpoint{link, waker};
    QV_QUE inbound;
    QV_QUE outbound;
    QV_PEERCONTROL control{link, outbound, waker};
    QV_TCPRELAY relay{link, endpoint, waker, control, inbound, outbound};
    QV_WORKERTHREAD thread{waker};
};

// Nothing to start on this platform; answers 1. Kept so that every socket
// object announces its use of the socket layer in one place.
int32_t startWinsock();

// This machine's IPv4 address towards the internet, in network byte order,
// or 0 when there is no route.
uint32_t getLocalAddress();
