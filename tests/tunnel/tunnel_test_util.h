// Helpers of the tunnel tests: packets as the peer would send them, the
// stream's WRITE commands taken apart, and a fixture with settings, an
// event-log capture and the fake messenger link.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "core/eventlog.h"
#include "core/text.h"
#include "skype/skype_com.h"
#include "tcp/socket_tcp.h"
#include "tcp/tcp_manager.h"
#include "tests/support/fake_api_link.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"
#include "tunnel/skype_stream.h"
#include "wire/a2a_packet.h"

namespace tunneltest {

using namespace tcptest;

inline constexpr const char* kFtpApp = "CorvaneForFtp0000";
inline constexpr const char* kHttpApp = "CorvaneForHttp000";

// The peer's link states: main state and free slots, data link the same.
struct PeerLinks {
    uint16_t mainState = 0, mainFree = 0, dataLinkState = 0, dataLinkFree = 0;
};

inline std::vector<uint8_t> makePacket(uint16_t kind, uint16_t code, int port, uint32_t seq,
                                       const std::string& data = "", PeerLinks links = {}, uint16_t result = 0)
{
    std::vector<uint8_t> p(kA2AHeaderSize + data.size());
    initA2AHeader(p.data());
    setA2AKind(p.data(), kind);
    setA2ACode(p.data(), code);
    setA2APort(p.data(), static_cast<uint16_t>(port));
    setA2ASeq(p.data(), seq);
    setA2AResult(p.data(), result);
    setA2ADataSize(p.data(), static_cast<uint16_t>(data.size()));
    setA2AMainLinkState(p.data(), links.mainState);
    setA2AMainLinkFree(p.data(), links.mainFree);
    setA2ADataLinkState(p.data(), links.dataLinkState);
    setA2ADataLinkFree(p.data(), links.dataLinkFree);
    std::memcpy(p.data() + kA2AHeaderSize, data.data(), data.size());
    return p;
}

inline std::vector<uint8_t> resultPacket(uint16_t kind, uint16_t code, int port, uint32_t seq, uint16_t result)
{
    return makePacket(kind, code, port, seq, "", {}, result);
}

// "user:id hex", as the application hands a READ reply to its streams.
inline std::string readReply(const char* user, int id, const std::vector<uint8_t>& packet)
{
    std::string hex(packet.size() * 2 + 1, '\0');
    hexEncode(static_cast<int32_t>(packet.size()), packet.data(), hex.data(), hex.size());
    hex.resize(packet.size() * 2);
    return std::string(user) + ":" + std::to_string(id) + " " + hex;
}

inline std::string payload(const std::vector<uint8_t>& packet)
{
    return packet.size() < kA2AHeaderSize ? "" : std::string(packet.begin() + kA2AHeaderSize, packet.end());
}

// "227 Entering Passive Mode (127,0,0,1,p1,p2)\r\n" or "PORT 127,0,0,1,p1,p2\r\n".
inline std::string announce(int port, bool passive = true)
{
    return (passive ? "227 Entering Passive Mode (" : "PORT ") + std::string("127,0,0,1,") + std::to_string(port / 256)
           + "," + std::to_string(port % 256) + (passive ? ")\r\n" : "\r\n");
}

// The stream's packets among the WRITE commands, from index `from` on.
inline std::vector<std::vector<uint8_t>> packetsOf(const std::vector<std::string>& commands,
                                                   const QV_SKYPESTREAM& stream, size_t from = 0)
{
    const std::string prefix = std::string("ALTER APPLICATION ") + stream.getApplicationName() + " WRITE "
                               + stream.getPeerUser() + ":" + std::to_string(stream.getStreamId()) + " ";
    std::vector<std::vector<uint8_t>> out;
    for (size_t i = from; i < commands.size(); ++i) {
        if (commands[i].compare(0, prefix.size(), prefix) != 0)
            continue;
        std::vector<uint8_t> p(commands[i].size() / 2);
        p.resize(static_cast<size_t>(std::max(0, hexDecode(commands[i].c_str() + prefix.size(), p.data(), p.size()))));
        if (p.size() >= kA2AHeaderSize)
            out.push_back(std::move(p));
    }
    return out;
}

// Lets the stream write what its sockets have queued, as the messenger's
// reports and the 20 ms timer would.
inline void pump(QV_SKYPESTREAM& stream)
{
    stream.setCanSend();
    stream.sendEarly();
    stream.setCanSend();
    stream.intervalTimer();
}

class StreamFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        QV_EVENTLOG::getInstance()->setEnabled(1);
        QV_EVENTLOG::getInstance()->addListener(&capture);
        auto fake = std::make_unique<FakeApiLink>();
        link = fake.get();
        com = std::make_unique<QV_SKYPECOM>(std::move(fake));
        link->attach();
    }
    void TearDown() override
    {
        com.reset();
        QV_EVENTLOG::destroyInstance();
    }

    // A started stream; the configuration's client mode decides whether its
    // manager listens.
    std::unique_ptr<QV_SKYPESTREAM> makeStream(const char* app, int id, int servicePort,
                                               const char* forwardHost = "localhost", int forwardPort = 0)
    {
        auto stream = std::make_unique<QV_SKYPESTREAM>(*com, &config);
        stream->setPeerUser("peer");
        stream->setStreamId(id);
        stream->setServicePort(servicePort);
        stream->setForwardHost(forwardHost);
        stream->setForwardPort(forwardPort);
        stream->setApplicationName(app);
        stream->setClientApplication(config.isClientMode() != 0);
        stream->start();
        stream->mark = 1;
        return stream;
    }
    void feed(QV_SKYPESTREAM& stream, const std::vector<uint8_t>& packet)
    {
        stream.repRead(readReply(stream.getPeerUser(), stream.getStreamId(), packet).c_str());
    }
    const std::vector<std::string>& writes() const { return link->commands; }
    // Pumps the stream until it has written a packet of that kind and code
    // (and port, unless -1) from command `from` on; empty when none came.
    std::vector<uint8_t> awaitPacket(QV_SKYPESTREAM& stream, uint16_t kind, uint16_t code, size_t from = 0,
                                     int port = -1)
    {
        std::vector<uint8_t> found;
        waitUntil([&] {
            pump(stream);
            for (const auto& p : packetsOf(link->commands, stream, from))
                if (a2aKind(p.data()) == kind && a2aCode(p.data()) == code && (port < 0 || a2aPort(p.data()) == port))
                    found = p;
            return !found.empty();
        });
        return found;
    }
    // Writes `text` on fd, the local FTP program's end of the control
    // connection, and lets the stream tick until it has sent it to the peer.
    bool localFtpSays(QV_SKYPESTREAM& stream, int fd, const std::string& text)
    {
        const size_t from = link->commands.size();
        return writeAll(fd, text.data(), text.size()) && waitUntil([&] {
                   pump(stream);
                   for (const auto& p : packetsOf(link->commands, stream, from))
                       if (a2aKind(p.data()) == kA2AKindData && payload(p) == text)
                           return true;
                   return false;
               });
    }
    // The FTP stream 1 with its control connection up to *listener, a
    // listener of the test standing for the FTP server on 127.0.0.1, after
    // the peer's CONNECT-REQUEST with sequence number (*seq)++. *control is
    // the test's end (-1 on failure).
    std::unique_ptr<QV_SKYPESTREAM> connectFtp(int* listener, int* control, uint32_t* seq)
    {
        int ftpPort = 0;
        *listener = listenLoopback(&ftpPort);
        auto stream = makeStream(kFtpApp, 1, 21, "127.0.0.1", ftpPort);
        feed(*stream, makePacket(kA2AKindControl, kA2ACodeConnectRequest, 21, (*seq)++));
        *control = acceptWithin(*listener);
        if (*control >= 0 && !waitUntil([&] { return stream->isMainConnected(); })) {
            ADD_FAILURE() << "the control connection did not come up";
            close(*control);
            *control = -1;
        }
        return stream;
    }

    TempDir dir;
    QV_CONFIGSTORE config;
    LogCapture capture;
    // The streams' messenger link, attached, on a fake transport.
    std::unique_ptr<QV_SKYPECOM> com;
    FakeApiLink* link = nullptr;
};

}  // namespace tunneltest
