// QV_SOCKETTCP: one TCP endpoint of a tunnelled service, either the listening
// side (a listening socket and the one connection accepted on it) or the
// outgoing side (one connection to a forward host). It carries the receive and
// send buffers, the two queues that join it to the service's stream, and the
// connection thread that moves bytes between TCP and those queues.
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
#include <thread>

#include "core/que.h"

class QV_SOCKETTCP {
public:
    static constexpr int32_t kBufferSize = 20736;
    // One TCP read becomes one DATA packet of at most this many bytes.
    static constexpr int32_t kReadSize = 10240;
    // Would-block results without progress before sendAll gives up, each
    // followed by a wait of up to kSendWaitMs for room (about 60 s in all):
    // a local program that stops reading for a while must not lose its
    // connection, one that takes nothing for a minute is gone.
    static constexpr int32_t kSendWaitLimit = 600;
    static constexpr int32_t kSendWaitMs = 100;
    // How long a control packet waits for room in a full outbound queue.
    static constexpr int32_t kControlWaitMs = 5000;
    // How long a connect to a forward host may take; a host that neither
    // answers nor refuses is given up after this (tests shorten it).
    static constexpr int32_t kConnectTimeoutMs = 20000;
    // How long an accepted connection waits for the peer's answer to its
    // CONNECT-REQUEST: longer than the peer's own connect may take, so a
    // slow forward host is still answered, bounded so that a peer that never
    // answers cannot hold the service (tests shorten it).
    static constexpr int32_t kPeerAnswerMs = 40000;

    // 127.0.0.1 in network byte order: where listeners listen unless told.
    static constexpr uint32_t kLoopback =
        std::endian::native == std::endian::little ? 0x0100007fu : 0x7f000001u;

    static constexpr int32_t kRoleNone = 0;
    static constexpr int32_t kRoleClient = 1;
    static constexpr int32_t kRoleServer = 2;

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
    void setAcceptOnlyFrom(uint32_t address) { acceptOnlyFrom = address; }
    // Told the address (network byte order) and port of every connection
    // refused for its address, on the connection thread. Set before
    // startThread.
    using RefusedReport = std::function<void(uint32_t address, int32_t port)>;
    void setRefusedReport(RefusedReport report) { refusedReport = std::move(report); }

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
    int32_t sendAll();
    // Tests shorten the wait; kSendWaitLimit otherwise.
    static void setSendWaitLimit(int32_t limit);
    // Reads at most getReceiveLength() bytes; afterwards getReceiveLength() is
    // the count read, -1 when nothing was waiting, 0 after an error or close.
    int32_t receiveData();
    int32_t setNonBlocking();

    int32_t getPort() const { return port; }
    int32_t getBoundPort() const { return boundPort; }
    int32_t getRole() const { return role; }

    // The peer's answer to a CONNECT-REQUEST, set by the manager, polled by
    // the listening thread (which the answer wakes).
    void setPeerConnectWait() { peerConnectState = kPeerWaiting; }
    void setPeerConnectOk() { peerConnectState = kPeerOk; nudge(); }
    void setPeerConnectNg() { peerConnectState = kPeerNg; nudge(); }
    // Ends the thread's current relay pause or peer wait early: something
    // it waits for (an inbound packet, the peer's answer) is there.
    void nudge();
    int32_t getPeerConnectState() const { return peerConnectState; }

    // The peer ended the open connection but its DISCONNECT-REQUEST could not
    // be queued: the relay ends as if it had taken the packet, an aborted end
    // at once, an orderly one after the data already queued is written. A
    // connection opened later is not affected.
    void endByPeer(bool aborted);

    // The thread bodies; see connection_threads.cpp.
    void startThread();
    void startForwardThread();
    void stopThread();
    // Put a control packet into the outbound queue, waiting for room while
    // the queue is full (at most kControlWaitMs, never past a stop). The
    // reply is of kind DATA-LINK CONTROL on a data link, CONTROL otherwise.
    void queueConnectReply(int32_t replyPort, int32_t result, int32_t error);
    // reason: 0 an orderly end, 2 a broken one, 3 the local program's
    // half-close (see a2a_packet.h).
    void queueDisconnect(int32_t reason = 0);

    // 1 for a service connection (packet kinds CONTROL and DATA), 0 for an
    // FTP data link (DATA-LINK CONTROL and DATA-LINK DATA).
    void setMainService(int32_t flag) { mainService = flag; }
    int32_t isMainService() const { return mainService; }

    int32_t getConnectionState() const { return connectionState; }
    int32_t isRunning() const { return running; }
    // errno of the last failed socket call of this object.
    int32_t getLastError() const { return lastError; }

    // Inbound: packets from the peer, drained by the thread. Outbound: packets
    // for the peer, filled by the thread and drained by the stream.
    QV_QUE* getInboundQueue() { return &inbound; }
    QV_QUE* getOutboundQueue() { return &outbound; }

    uint8_t* getSendBuffer() { return sendBuffer; }
    void setSendLength(int32_t length) { sendLength = length; }
    int32_t getSendLength() const { return sendLength; }
    const uint8_t* getReceiveBuffer() const { return receiveBuffer; }
    void setReceiveLength(int32_t length) { receiveLength = length; }
    int32_t getReceiveLength() const { return receiveLength; }

    int getDataSocketForTest() const { return dataSocket; }
    // This side's IPv4 address of the open connection (network order), 0
    // without one: the address the local program reached us at.
    uint32_t getConnectionLocalAddress() const { return connectionLocal; }
    // The other end's IPv4 address of the open connection (network order),
    // 0 without one: the local program's, or the forward host's.
    uint32_t getConnectionPeerAddress() const { return connectionPeer; }

private:
    // How a relay ended. Finished: both sides shut down their sending sides
    // in turn, in order; nothing is left to tell.
    enum class RelayEnd { Stopped, ReceiveFailed, SendFailed, PeerDisconnect, PeerAbort, Finished };

    void socketThreadMain();
    void forwardThreadMain();
    void executeServer();
    void executeClient();
    void executeClientOnConnect();
    RelayEnd relay();
    // 1 the peer connected its end, 0 it refused or a stop came, -1 no answer
    // within the time limit.
    int32_t waitForPeer();
    // Tells the peer how the connection ended (unless `tellPeer` is false or
    // nothing is left to tell) and closes the local connection: in order,
    // or with a reset when it broke, so that the local program never takes
    // a cut connection for a complete one.
    void endConnection(RelayEnd end, bool tellPeer);
    void buildControl(uint8_t* packet, uint16_t kind, uint16_t code, int32_t packetPort);
    // Queues a packet for the peer and wakes the event loop to send it.
    int32_t queueForPeer(const uint8_t* packet, uint32_t size);
    int32_t enqueueControl(const uint8_t* packet);
    void reapThread();
    // Runs threadMain on the worker thread, prints createdLine and waits
    // briefly until the thread runs; false when no thread could be made.
    bool launchThread(void (QV_SOCKETTCP::*threadMain)(), const char* createdLine);

    bool stopRequested() const { return stop != 0; }
    static int32_t peerAnswerLimitMs();
    void wake();
    void drainWake();
    // Waits until fd is ready for `events`: 1 ready, 0 timed out, -1 stopped.
    int32_t waitReady(int fd, short events, int timeoutMs);
    // A pause that a stop cuts short.
    void pauseMs(int ms);
    // A pause that a stop or a nudge cuts short.
    void pauseOrNudgeMs(int ms);
    // A pause that a stop, a nudge or data to read on the data socket cuts
    // short; true when data (or its end) is there to read.
    bool pauseForDataMs(int ms);
    // True when the local program has closed its sending side and nothing
    // is left to read before that end.
    bool peerClosedAfterRead();
    // A listening socket on address:bindPort (0: the system chooses the
    // port); 1 done, 0 failed.
    int32_t openListenSocket(uint32_t address, uint16_t bindPort);
    // Takes both addresses of the data socket's new connection.
    void recordConnectionAddresses();
    void closeListenSocket();
    void closeDataSocket();
    void shutdownAndCloseDataSocket();
    // Closes the data socket with a reset (SO_LINGER 0): the local program
    // sees its connection aborted, not ended.
    void abortDataSocket();

    char name[13];
    uint8_t receiveBuffer[kBufferSize];
    int32_t receiveLength = 0;
    uint8_t sendBuffer[kBufferSize];
    int32_t sendLength = 0;
    int listenSocket = -1;
    int dataSocket = -1;
    sockaddr_in bindAddress{};
    sockaddr_in peerAddress{};
    sockaddr_in connectAddress{};
    char connectHost[260] = "";
    ConnectReport connectReport;
    bool receiveClosed = false;  // the last failed receive saw the orderly end
    int32_t mainService = 1;
    int32_t role = kRoleNone;
    int32_t port = 0;
    int32_t boundPort = 0;
    std::thread worker;
    std::atomic<int32_t> stop{0};
    std::atomic<int32_t> peerConnectState{kPeerWaiting};
    std::atomic<int32_t> running{0};
    std::atomic<int32_t> connectionState{kStateIdle};
    std::atomic<int32_t> lastError{0};
    std::atomic<int32_t> peerEnd{0};  // 0, or the reason + 1 of endByPeer
    std::atomic<uint32_t> acceptOnlyFrom{0};
    RefusedReport refusedReport;
    // Addresses of the open connection, for the event-loop thread.
    std::atomic<uint32_t> connectionLocal{0};
    std::atomic<uint32_t> connectionPeer{0};
    int wakeFd = -1;   // eventfd, readable while a stop is pending
    int nudgeFd = -1;  // eventfd, readable after a nudge until the next pause
    QV_QUE inbound;
    QV_QUE outbound;
    // Work areas of the thread: one queue entry, and a CONNECT-REPLY.
    uint8_t entry[QV_QUE::kSlotSize];
    uint8_t replyPacket[40];
};

// Nothing to start on this platform; answers 1. Kept so that every socket
// object announces its use of the socket layer in one place.
int32_t startWinsock();

// This machine's IPv4 address towards the internet, in network byte order,
// or 0 when there is no route.
uint32_t getLocalAddress();
