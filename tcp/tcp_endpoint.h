// QV_TCPENDPOINT: the socket handles of one QV_SOCKETTCP and what is done
// with them: the listening socket and the one connection accepted on it, or
// the one connection to a forward host; listen, accept, connect, send and
// receive, with the receive and send buffers they work on. Every wait goes
// through the owner's QV_TCPWAKER, so a stop ends it.
//
// Owned by a QV_SOCKETTCP. Threads: while a connection thread runs, that
// thread alone calls the operations and touches the handles and buffers; the
// owner calls them on the event-loop thread only while no thread runs. The
// connection's addresses, the last error and the required peer address are
// atomic, for the event-loop thread's getters and setters at any time. The
// waker and the link must outlive the object.
//
// Results are 1 for success and 0 for failure; failures are traced on
// standard output with the platform's error number.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>

#include "tcp/tcp_link.h"
#include "tcp/tcp_waker.h"

class QV_TCPENDPOINT {
public:
    static constexpr int32_t kBufferSize = 20736;
    // Would-block results without progress before sendAll gives up, each
    // followed by a wait of up to kSendWaitMs for room (about 60 s in all):
    // a local program that stops reading for a while must not lose its
    // connection, one that takes nothing for a minute is gone.
    static constexpr int32_t kSendWaitLimit = 600;
    static constexpr int32_t kSendWaitMs = 100;
    // How long a connect to a forward host may take; a host that neither
    // answers nor refuses is given up after this (tests shorten it).
    static constexpr int32_t kConnectTimeoutMs = 20000;

    using RefusedReport = std::function<void(uint32_t address, int32_t port)>;

    QV_TCPENDPOINT(const QV_TCPLINK& link, QV_TCPWAKER& waker);
    ~QV_TCPENDPOINT();
    QV_TCPENDPOINT(const QV_TCPENDPOINT&) = delete;
    QV_TCPENDPOINT& operator=(const QV_TCPENDPOINT&) = delete;

    // A listening socket on address:bindPort (0: the system chooses the
    // port); 1 done, 0 failed.
    int32_t openListenSocket(uint32_t address, uint16_t bindPort);
    // The port the listening socket is bound to (0 when it cannot be told).
    int32_t listeningPort();
    // Waits for one connection; 0 also on a stop. A connection from an
    // address other than the required one is reset, reported with
    // `reportedPort` and the wait goes on.
    int32_t acceptConnection(int32_t reportedPort);
    void setAcceptOnlyFrom(uint32_t address) { acceptOnlyFrom = address; }
    void setRefusedReport(RefusedReport report) { refusedReport = std::move(report); }

    // Makes the data socket and records the target; the host name is
    // resolved by connectToServer.
    void prepareClientSocket(int32_t targetPort, const char* host);
    // Connects within the connect time limit; a stop cuts it short.
    int32_t connectToServer();
    static void setConnectTimeoutMs(int32_t ms);

    // Writes the send buffer's first sendLength bytes to the data socket.
    int32_t sendAll();
    static void setSendWaitLimit(int32_t limit);
    // Reads at most receiveLength bytes; afterwards receiveLength is the
    // count read, -1 when nothing was waiting, 0 after an error or close.
    int32_t receiveData();
    // True when the last failed receive saw the orderly end.
    bool receiveSawClose() const { return receiveClosed; }
    int32_t setNonBlocking();
    // True when the local program has closed its sending side and nothing
    // is left to read before that end.
    bool peerClosedAfterRead();
    // Passes the peer's half-close on: no more bytes towards the program.
    void shutdownSending();

    void closeListenSocket();
    void closeDataSocket();
    void shutdownAndCloseDataSocket();
    // Closes the data socket with a reset (SO_LINGER 0): the local program
    // sees its connection aborted, not ended.
    void abortDataSocket();

    uint8_t* getSendBuffer() { return sendBuffer; }
    void setSendLength(int32_t length) { sendLength = length; }
    int32_t getSendLength() const { return sendLength; }
    const uint8_t* getReceiveBuffer() const { return receiveBuffer; }
    void setReceiveLength(int32_t length) { receiveLength = length; }
    int32_t getReceiveLength() const { return receiveLength; }

    int getDataSocket() const { return dataSocket; }
    bool hasDataSocket() const { return dataSocket >= 0; }
    int32_t getLastError() const { return lastError; }
    uint32_t getConnectionLocalAddress() const { return connectionLocal; }
    uint32_t getConnectionPeerAddress() const { return connectionPeer; }

private:
    // Takes both addresses of the data socket's new connection.
    void recordConnectionAddresses();
    // Resets a connection from an address this listener does not serve.
    void refuse(int s, const char* dotted, int32_t reportedPort);

    const QV_TCPLINK& link;
    QV_TCPWAKER& waker;
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
    bool receiveClosed = false;  // the last failed receive saw the orderly end
    std::atomic<int32_t> lastError{0};
    std::atomic<uint32_t> acceptOnlyFrom{0};
    RefusedReport refusedReport;
    // Addresses of the open connection, for the event-loop thread.
    std::atomic<uint32_t> connectionLocal{0};
    std::atomic<uint32_t> connectionPeer{0};
};
