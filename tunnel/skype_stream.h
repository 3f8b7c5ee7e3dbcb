// QV_SKYPESTREAM: one open AP2AP stream with one peer user inside one
// application (one tunnelled service). It owns the service's TCP manager,
// paces the packets the connection threads queue and writes them to the
// messenger as hex text ("ALTER APPLICATION %s WRITE %s:%d %s"), sends
// keep-alives and connection replies, and decodes, checks and dispatches every
// packet that a READ reply brings (repRead, in rep_read.cpp).
//
// Flow control: after a WRITE the stream waits for setCanSend. Towards TCP, a
// packet that finds its socket's inbound queue full is kept by the stream (a
// few at most) and queued on a later intervalTimer before anything else; while
// isHoldingPacket() answers true the application sends no READ for the
// stream, so the messenger keeps the unread data.
//
// Owned by its application, which gives it the messenger link and the
// configuration (both must outlive it); the stream gives its TCP manager the
// settings that manager needs. Event-loop thread only; the connection threads
// share only the sockets' queues and state words. The buffers are part of the object: sending and
// receiving allocate nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "core/configuration.h"
#include "core/que.h"
#include "tunnel/announced_ports.h"
#include "tunnel/ftp_partial_line.h"

class QV_TCPMANAGER;
class QV_SOCKETTCP;
class QV_SKYPECOM;

class QV_SKYPESTREAM {
public:
    static constexpr size_t kBufferSize = 65792;
    // The longest command text handed to the messenger.
    static constexpr size_t kMaxCommandLength = 65534;
    // Idle ticks before a keep-alive; it goes out on the tick after.
    static constexpr int32_t kKeepAliveTicks = 600;
    // The peer's data link is spared while it reports this many free slots
    // or fewer.
    static constexpr uint16_t kDataLinkSkipFree = 20;
    // The work area that a packet is taken into from an outbound queue.
    static constexpr size_t kDequeueBufferSize = 32768;
    static constexpr int32_t kFtpControlPort = 21;

    // `config` (may be null: no FTP application, a manager that connects on
    // request) names the FTP application and gives the TCP manager its
    // settings.
    QV_SKYPESTREAM(QV_SKYPECOM& skypeCom, QV_CONFIGURATION* config);
    ~QV_SKYPESTREAM();
    QV_SKYPESTREAM(const QV_SKYPESTREAM&) = delete;
    QV_SKYPESTREAM& operator=(const QV_SKYPESTREAM&) = delete;

    void setPeerUser(const char* user);
    const char* getPeerUser() const { return peerUser; }
    void setStreamId(int32_t id) { streamId = id; }
    int32_t getStreamId() const { return streamId; }
    void setServicePort(int32_t port) { servicePort = port; }
    int32_t getServicePort() const { return servicePort; }
    void setForwardHost(const char* host);
    const char* getForwardHost() const { return forwardHost; }
    void setForwardPort(int32_t port) { forwardPort = port; }
    int32_t getForwardPort() const { return forwardPort; }
    void setApplicationName(const char* applicationName);
    const char* getApplicationName() const { return applicationName; }
    // Whether this program runs as the client application. The client
    // application makes no connection for the peer on the main link, and
    // each side lets the peer connect a data link only to a port that its
    // own FTP program announced (see QV_ANNOUNCEDPORTS). False until set.
    void setClientApplication(bool value) { clientApplication = value; }
    bool isClientApplication() const { return clientApplication; }
    // The clock of the announced data ports, for tests.
    void setAnnouncementClock(QV_ANNOUNCEDPORTS::Clock clock) { announcedPorts.setClock(std::move(clock)); }

    // Creates the TCP manager when there is none (the FTP manager on port 21
    // for the FTP application, else a manager on servicePort) and starts it.
    // False when the client application's port could not listen: which
    // port, and the errno why, tell the two getters below.
    bool start();
    int32_t getListenPort() const;
    int32_t getListenError() const;
    // Stops and destroys the manager; a held packet goes with it.
    void stop();
    bool isFtpApplication() const;

    // Stamps link states, free slots and seq into the packet, counts its data
    // bytes and writes it. 1 on success.
    int32_t sendPacket(uint32_t length, uint8_t* packet);
    // 1 when sent (canSend is then 0) or dropped as too long; 0 when the
    // messenger was not reachable.
    int32_t writeHex(const char* hex);
    int32_t sendNullPacket();
    int32_t sendConnectReply(uint16_t port, uint16_t result, uint16_t error);
    int32_t sendDataLinkConnectReply(uint16_t port, uint16_t result, uint16_t error);
    // "ALTER APPLICATION %s DISCONNECT %s:%d"; the command sender's result.
    int32_t disconnect();

    // One 20 ms pacing tick.
    void intervalTimer();
    // Between ticks, once the messenger lets the stream write or a
    // connection thread has queued a packet: sends at once a packet of the
    // main connection that carries no data (a connection's request, reply or
    // end), or a data packet when none went out since the last tick. Data
    // keep their pace of one packet a tick; a connection does not wait for
    // the tick to begin or end.
    void sendEarly();
    void setCanSend() { canSend = 1; }
    void repSending(int32_t count);
    // One READ reply: "user:id hex".
    void repRead(const char* text);
    bool isHoldingPacket() const { return heldCount > 0; }

    bool isMainListening() const;
    bool isMainConnected() const;
    bool isDataLinkListening() const;
    bool isDataLinkConnected() const;
    bool isPeerMainConnected() const { return peerMainState == 2; }
    bool isPeerDataLinkConnected() const { return peerDataLinkState == 2; }

    // Read and reset, for the throughput statistics.
    uint32_t takeSentBytes();
    uint32_t takeReceivedBytes();
    uint32_t getSentBytes() const { return sentBytes; }
    uint32_t getReceivedBytes() const { return receivedBytes; }
    int32_t getCanSend() const { return canSend; }
    uint32_t getSendSeq() const { return sendSeq; }
    uint32_t getRecvSeq() const { return recvSeq; }
    int32_t getIdleTicks() const { return idleTicks; }
    uint16_t getPeerMainState() const { return peerMainState; }
    uint16_t getPeerMainFree() const { return peerMainFree; }
    uint16_t getPeerDataLinkState() const { return peerDataLinkState; }
    uint16_t getPeerDataLinkFree() const { return peerDataLinkFree; }
    QV_TCPMANAGER* getTcpManager() const { return tcpManager.get(); }

    // Scratch flag of the application's notification parser.
    int32_t mark = 0;

private:
    enum class Target { Main, DataLink };
    // Stale: the packet belongs to a connection that has already ended.
    enum class Delivery { Queued, Held, NoSocket, Dropped, Stale };

    QV_SOCKETTCP* mainSocket() const;
    QV_SOCKETTCP* dataLinkSocket() const;
    QV_SOCKETTCP* targetSocket(Target target) const;
    int32_t sendControlReply(uint16_t kind, uint16_t port, uint16_t result, uint16_t error);
    // Sends one packet from the socket's outbound queue; 1 when written.
    int32_t sendQueued(QV_SOCKETTCP* socket);
    // Watches a packet of the main link that went to the peer: the data
    // ports this side's FTP program announces, and the end of its control
    // connection.
    void watchSentPacket(const uint8_t* packet);
    // A control connection begins or ends: its announced ports and the
    // beginnings of lines kept for it are forgotten.
    void forgetControlConnection();

    // rep_read.cpp
    void dispatchPacket();
    void onControl();
    void onConnectRequest(uint16_t port);
    void onDisconnectRequest(uint16_t port);
    void onDataLinkControl();
    void onData();
    void onDataLinkData();
    Delivery deliver(Target target, uint32_t size);
    void flushHeldPacket();
    // True while `socket` is a listener's accepted connection waiting for
    // the peer's answer to its CONNECT-REQUEST.
    static bool awaitsPeerAnswer(const QV_SOCKETTCP* socket);
    // Forgets held packets of the target's connection, which has ended.
    void dropHeldPackets(Target target);

    int32_t socketError(QV_SOCKETTCP* socket) const;
    // Answers a connect request of the peer that this side does not make.
    void refuseConnectRequest(bool dataLink, uint16_t port);

    char name[16];
    QV_SKYPECOM& skypeCom;
    QV_CONFIGURATION* config;
    char forwardHost[260];
    int32_t forwardPort = 0;
    char commandText[kBufferSize];
    uint8_t receivedPacket[kBufferSize];
    char hexText[kBufferSize];
    uint32_t sendSeq = 0;
    uint32_t recvSeq = 0;
    int32_t servicePort = 0;
    char peerUser[100];
    int32_t streamId = 0;
    char applicationName[100];
    int32_t canSend = 1;
    uint16_t peerMainState = 0;
    uint16_t peerMainFree = 0;
    uint16_t peerDataLinkState = 0;
    uint16_t peerDataLinkFree = 0;
    std::unique_ptr<QV_TCPMANAGER> tcpManager;
    int32_t idleTicks = 0;
    bool sentThisTick = false;  // a main packet went out since the last tick
    bool clientApplication = false;
    QV_ANNOUNCEDPORTS announcedPorts;
    // The FTP control text's line that the last DATA packet ended inside
    // of, each way: the one received waits for the rest before it goes to
    // the local FTP program (rep_read.cpp); the one sent is read again with
    // the next packet sent, as the peer reads it.
    QV_FTPPARTIALLINE receivedLine;
    QV_FTPPARTIALLINE sentLine;
    uint32_t sentBytes = 0;
    uint32_t receivedBytes = 0;

    uint8_t dequeued[kDequeueBufferSize];
    // The FTP control text of a packet sent, behind the line the packet
    // before ended inside of.
    uint8_t sentText[kDequeueBufferSize];
    // Packets waiting for room in their socket's inbound queue, oldest
    // first (a ring of kHeldSlots).
    static constexpr int kHeldSlots = 4;
    struct HeldPacket {
        uint8_t bytes[QV_QUE::kSlotSize];
        uint32_t length = 0;
        Target target = Target::Main;
    };
    HeldPacket held[kHeldSlots];
    int heldFirst = 0;
    int heldCount = 0;
};
