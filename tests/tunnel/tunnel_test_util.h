// Helpers of the tunnel tests: packets as the peer would send them, READ
// reply texts, WRITE commands taken apart, and a fixture with settings, an
// event-log capture and the fake messenger link.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "skype/skype_com.h"
#include "tests/support/fake_api_link.h"
#include "tests/support/tcp_test_util.h"
#include "tests/support/temp_dir.h"
#include "tunnel/skype_stream.h"

namespace tunneltest {

inline constexpr const char* kFtpApp = "CorvaneForFtp0000";
inline constexpr const char* kHttpApp = "CorvaneForHttp000";

struct PeerLinks {
    uint16_t mainState = 0;
    uint16_t mainFree = 0;
    uint16_t dataLinkState = 0;
    uint16_t dataLinkFree = 0;
};

std::vector<uint8_t> makePacket(uint16_t kind, uint16_t code, uint16_t port, uint32_t seq, const std::string& data = "",
                                PeerLinks links = {});
// A CONNECT-REPLY or DISCONNECT-REQUEST with its result field set.
std::vector<uint8_t> resultPacket(uint16_t kind, uint16_t code, uint16_t port, uint32_t seq, uint16_t result);
std::string toHex(const std::vector<uint8_t>& bytes);
// "user:id hex", as the application hands a READ reply to its streams.
std::string readReply(const char* user, int id, const std::vector<uint8_t>& packet);
// The packet of "ALTER APPLICATION app WRITE user:id hex"; empty when the
// command is not such a WRITE.
std::vector<uint8_t> writtenPacket(const std::string& command, const char* app, const char* user, int id);
std::string payload(const std::vector<uint8_t>& packet);
// "227 Entering Passive Mode (127,0,0,1,p1,p2)\r\n" and "PORT 127,0,0,1,p1,p2\r\n".
std::string passiveReply(int port);
std::string portCommand(int port);

// The stream's packets among the commands, from index `from` on.
std::vector<std::vector<uint8_t>> packetsOf(const std::vector<std::string>& commands, const QV_SKYPESTREAM& stream,
                                            size_t from = 0);
// Lets the stream write what its sockets have queued, as the messenger's
// reports and the 20 ms timer would.
void pump(QV_SKYPESTREAM& stream);

class StreamFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A started stream; the configuration's client mode decides whether its
    // manager listens.
    std::unique_ptr<QV_SKYPESTREAM> makeStream(const char* app, const char* user, int id, int servicePort,
                                               const char* forwardHost = "localhost", int forwardPort = 0);
    // Hands one packet to the stream as a READ reply.
    void feed(QV_SKYPESTREAM& stream, const std::vector<uint8_t>& packet);
    std::vector<std::string> writes() const { return link->commands; }
    // Pumps the stream until it has written a packet of that kind and code
    // (and port, unless -1) from command `from` on; empty when none came.
    std::vector<uint8_t> awaitPacket(QV_SKYPESTREAM& stream, uint16_t kind, uint16_t code, size_t from = 0,
                                     int port = -1);
    // Writes `text` on fd, the local FTP program's end of the stream's
    // control connection, and lets the stream tick until it has sent the
    // text to the peer. False when it did not within the wait.
    bool localFtpSays(QV_SKYPESTREAM& stream, int fd, const std::string& text);

    // The HTTP stream of peer 1 (service port 80) whose TCP manager has
    // connected to a listener of the test, as the peer's CONNECT-REQUEST
    // makes it. *server is the test's end (-1 on failure); the test closes
    // it and *listener.
    std::unique_ptr<QV_SKYPESTREAM> connectHttpToTestServer(int* listener, int* server);
    // The FTP stream of peer 1 with its control connection up to a listener
    // of the test standing for the FTP server on 127.0.0.1, after the peer's
    // CONNECT-REQUEST with sequence number (*seq)++. *control is the test's
    // end (-1 on failure); the test closes it and *listener.
    std::unique_ptr<QV_SKYPESTREAM> connectFtpToTestServer(int* listener, int* control, uint32_t* seq);

    TempDir dir;
    QV_CONFIGSTORE config;
    tcptest::LogCapture capture;
    // The streams' messenger link, attached, on a fake transport.
    std::unique_ptr<QV_SKYPECOM> com;
    FakeApiLink* link = nullptr;
};

}  // namespace tunneltest
