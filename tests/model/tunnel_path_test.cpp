// One side of a tunnel end to end inside the process: a local TCP client on
// the client application's port, the model, and the scripted messenger
// playing the peer program packet by packet.
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "core/text.h"
#include "tests/model/model_fixture.h"
#include "tests/support/tcp_test_util.h"
#include "wire/a2a_packet.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kApp = "CorvaneForTcp2000";

struct Packet {
    uint16_t kind = 0;
    uint16_t code = 0;
    uint16_t port = 0;
    uint32_t seq = 0;
    std::string data;
};

std::string encode(const Packet& p)
{
    std::vector<uint8_t> bytes(kA2AHeaderSize + p.data.size());
    initA2AHeader(bytes.data());
    setA2AKind(bytes.data(), p.kind);
    setA2ACode(bytes.data(), p.code);
    setA2APort(bytes.data(), p.port);
    setA2ASeq(bytes.data(), p.seq);
    if (p.code == kA2ACodeConnectReply)
        setA2AResult(bytes.data(), kA2AResultConnected);
    setA2ADataSize(bytes.data(), static_cast<uint16_t>(p.data.size()));
    std::memcpy(bytes.data() + kA2AHeaderSize, p.data.data(), p.data.size());
    std::string hex(2 * bytes.size() + 1, '\0');
    hexEncode(static_cast<int32_t>(bytes.size()), bytes.data(), hex.data(), hex.size());
    hex.resize(2 * bytes.size());
    return hex;
}

bool decode(const std::string& hex, Packet& p)
{
    std::vector<uint8_t> bytes(hex.size() / 2 + 1);
    int32_t n = hexDecode(hex.c_str(), bytes.data(), bytes.size());
    if (n < kA2AHeaderSize || !checkA2APacket(bytes.data(), static_cast<size_t>(n), kA2AMaxData))
        return false;
    p.kind = a2aKind(bytes.data());
    p.code = a2aCode(bytes.data());
    p.port = a2aPort(bytes.data());
    p.seq = a2aSeq(bytes.data());
    p.data.assign(reinterpret_cast<const char*>(bytes.data()) + kA2AHeaderSize, a2aDataSize(bytes.data()));
    return true;
}

class TunnelPathTest : public ModelTest {
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        config->setClientMode(1);
        port = tcptest::freePort();
        config->setServicePort(4, port);
        attachWithPeer();
        deliver(std::string("APPLICATION ") + kApp + " STREAMS " + kPeer + ":1");
        ASSERT_TRUE(tcptest::waitUntil([&] { return gate->isListening(4); }, 5s));
    }
    // Serves the connection threads' wake-ups (and, when `ticks`, fires a
    // tick each round) until the program writes a packet; the messenger then
    // reports it delivered.
    bool nextWrite(Packet& p, bool ticks = true)
    {
        const std::string prefix = std::string("ALTER APPLICATION ") + kApp + " WRITE " + kPeer + ":1 ";
        for (int i = 0; i < 500; ++i) {
            loop.pump(2, 50);
            if (ticks)
                loop.fire(QV_A2AMODEL::kFastTickMs);
            for (const auto& line : messenger.take(2)) {
                if (line.rfind(prefix, 0) != 0)
                    continue;
                deliver(std::string("APPLICATION ") + kApp + " SENDING");
                return decode(line.substr(prefix.size()), p);
            }
        }
        return false;
    }
    // The peer's packet, handed over as the messenger does: RECEIVED, the
    // program's READ, the READ reply.
    void peerSends(const Packet& p)
    {
        deliver(std::string("APPLICATION ") + kApp + " RECEIVED " + kPeer + ":1=80");
        ASSERT_EQ(messenger.take(), (Lines{std::string("ALTER APPLICATION ") + kApp + " READ " + kPeer + ":1"}));
        deliver(std::string("ALTER APPLICATION ") + kApp + " READ " + kPeer + ":1 " + encode(p));
    }

    int port = 0;
    uint32_t peerSeq = 0;
};

// The connection request leaves as soon as the connection thread wakes the
// loop, without waiting for a tick.
TEST_F(TunnelPathTest, ConnectDataBothWaysAndDisconnect)
{
    int fd = tcptest::connectLoopback(port);
    ASSERT_GE(fd, 0);
    Packet request;
    ASSERT_TRUE(nextWrite(request, false));
    EXPECT_EQ(request.kind, kA2AKindControl);
    EXPECT_EQ(request.code, kA2ACodeConnectRequest);
    EXPECT_EQ(request.seq, 0u);

    peerSends(Packet{kA2AKindControl, kA2ACodeConnectReply, request.port, peerSeq++, ""});
    ASSERT_TRUE(tcptest::waitUntil([&] { return gate->isConnected(4); }, 5s));

    ASSERT_TRUE(tcptest::writeAll(fd, "hello", 5));
    Packet up;
    ASSERT_TRUE(nextWrite(up));
    EXPECT_EQ(up.kind, kA2AKindData);
    EXPECT_EQ(up.data, "hello");
    EXPECT_EQ(up.seq, 1u);

    peerSends(Packet{kA2AKindData, 0, request.port, peerSeq++, "world"});
    EXPECT_EQ(tcptest::readSome(fd, 5, 5s), "world");

    ::close(fd);
    Packet bye;
    ASSERT_TRUE(nextWrite(bye));
    EXPECT_EQ(bye.kind, kA2AKindControl);
    EXPECT_EQ(bye.code, kA2ACodeDisconnectRequest);
}

TEST_F(TunnelPathTest, FullInboundQueueHoldsThePacketAndStopsReading)
{
    int fd = tcptest::connectLoopback(port, 4096);
    ASSERT_GE(fd, 0);
    Packet request;
    ASSERT_TRUE(nextWrite(request));
    peerSends(Packet{kA2AKindControl, kA2ACodeConnectReply, request.port, peerSeq++, ""});
    ASSERT_TRUE(tcptest::waitUntil([&] { return gate->isConnected(4); }, 5s));

    // The local client reads nothing: the kernel's buffers and then the
    // socket's queue fill, and the stream keeps the next packet instead of
    // dropping it. The messenger hands over one packet per READ, as fast as
    // the program asks.
    const std::string block(10240, 'x');
    std::string sent;
    QV_SKYPESTREAM* stream = app(4).getStream(0);
    const std::string received = std::string("APPLICATION ") + kApp + " RECEIVED " + kPeer + ":1=20560";
    const std::string read = std::string("ALTER APPLICATION ") + kApp + " READ " + kPeer + ":1";
    for (int i = 0; i < 1000 && !stream->isHoldingPacket(); ++i) {
        messenger.sendLine(received);
        loop.pump(2);
        ASSERT_EQ(messenger.take(2), (Lines{read}));
        std::string data = block;
        data[0] = static_cast<char>('A' + i % 26);
        messenger.sendLine(read + " " + encode(Packet{kA2AKindData, 0, request.port, peerSeq++, data}));
        loop.pump(2);
        sent += data;
    }
    ASSERT_TRUE(stream->isHoldingPacket());
    deliver(received);
    EXPECT_TRUE(messenger.take(2).empty()) << "no READ while the stream holds a packet";

    // The client reads everything; the held packet goes on and reading
    // resumes by itself.
    std::string got;
    for (int i = 0; i < 2000 && got.size() < sent.size(); ++i) {
        got += tcptest::readSome(fd, sent.size() - got.size(), 2ms);
        loop.fire(QV_A2AMODEL::kFastTickMs);
        if (!stream->isHoldingPacket())
            break;
    }
    EXPECT_FALSE(stream->isHoldingPacket());
    got += tcptest::readSome(fd, sent.size() - got.size(), 5s);
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "bytes lost or out of order";
    Lines after = messenger.take(2);
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after[0], read) << "the waiting data is read once the packet is gone";
    ::close(fd);
}

}  // namespace
