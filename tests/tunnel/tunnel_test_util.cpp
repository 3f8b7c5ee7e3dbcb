#include "tests/tunnel/tunnel_test_util.h"

#include <unistd.h>

#include <cstring>

#include "core/eventlog.h"
#include "core/text.h"
#include "skype/skype_com.h"
#include "tcp/tcp_manager.h"
#include "wire/a2a_packet.h"

namespace tunneltest {

std::vector<uint8_t> makePacket(uint16_t kind, uint16_t code, uint16_t port, uint32_t seq, const std::string& data,
                                PeerLinks links)
{
    std::vector<uint8_t> p(kA2AHeaderSize + data.size());
    initA2AHeader(p.data());
    setA2AKind(p.data(), kind);
    setA2ACode(p.data(), code);
    setA2APort(p.data(), port);
    setA2ASeq(p.data(), seq);
    setA2ADataSize(p.data(), static_cast<uint16_t>(data.size()));
    setA2AMainLinkState(p.data(), links.mainState);
    setA2AMainLinkFree(p.data(), links.mainFree);
    setA2ADataLinkState(p.data(), links.dataLinkState);
    setA2ADataLinkFree(p.data(), links.dataLinkFree);
    std::memcpy(p.data() + kA2AHeaderSize, data.data(), data.size());
    return p;
}

std::vector<uint8_t> resultPacket(uint16_t kind, uint16_t code, uint16_t port, uint32_t seq, uint16_t result)
{
    std::vector<uint8_t> p = makePacket(kind, code, port, seq);
    setA2AResult(p.data(), result);
    return p;
}

std::string passiveReply(int port)
{
    return "227 Entering Passive Mode (127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256)
           + ")\r\n";
}

std::string portCommand(int port)
{
    return "PORT 127,0,0,1," + std::to_string(port / 256) + "," + std::to_string(port % 256) + "\r\n";
}

std::string toHex(const std::vector<uint8_t>& bytes)
{
    std::string out(bytes.size() * 2 + 1, '\0');
    hexEncode(static_cast<int32_t>(bytes.size()), bytes.data(), out.data(), out.size());
    out.resize(bytes.size() * 2);
    return out;
}

std::string readReply(const char* user, int id, const std::vector<uint8_t>& packet)
{
    return std::string(user) + ":" + std::to_string(id) + " " + toHex(packet);
}

std::vector<uint8_t> writtenPacket(const std::string& command, const char* app, const char* user, int id)
{
    const std::string prefix =
        std::string("ALTER APPLICATION ") + app + " WRITE " + user + ":" + std::to_string(id) + " ";
    if (command.compare(0, prefix.size(), prefix) != 0)
        return {};
    const std::string hex = command.substr(prefix.size());
    std::vector<uint8_t> out(hex.size() / 2 + 1);
    const int32_t n = hexDecode(hex.c_str(), out.data(), out.size());
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string payload(const std::vector<uint8_t>& packet)
{
    if (packet.size() < kA2AHeaderSize)
        return {};
    return std::string(packet.begin() + kA2AHeaderSize, packet.end());
}

std::vector<std::vector<uint8_t>> packetsOf(const std::vector<std::string>& commands, const QV_SKYPESTREAM& stream,
                                            size_t from)
{
    std::vector<std::vector<uint8_t>> out;
    for (size_t i = from; i < commands.size(); ++i) {
        std::vector<uint8_t> p =
            writtenPacket(commands[i], stream.getApplicationName(), stream.getPeerUser(), stream.getStreamId());
        if (p.size() >= kA2AHeaderSize)
            out.push_back(std::move(p));
    }
    return out;
}

void pump(QV_SKYPESTREAM& stream)
{
    stream.setCanSend();
    stream.sendEarly();
    stream.setCanSend();
    stream.intervalTimer();
}

std::vector<uint8_t> StreamFixture::awaitPacket(QV_SKYPESTREAM& stream, uint16_t kind, uint16_t code, size_t from,
                                                int port)
{
    std::vector<uint8_t> found;
    tcptest::waitUntil([&] {
        pump(stream);
        for (const auto& p : packetsOf(link->commands, stream, from))
            if (a2aKind(p.data()) == kind && a2aCode(p.data()) == code && (port < 0 || a2aPort(p.data()) == port)) {
                found = p;
                return true;
            }
        return false;
    });
    return found;
}

bool StreamFixture::localFtpSays(QV_SKYPESTREAM& stream, int fd, const std::string& text)
{
    const size_t from = link->commands.size();
    if (!tcptest::writeAll(fd, text.data(), text.size()))
        return false;
    return tcptest::waitUntil([&] {
        pump(stream);
        for (const auto& p : packetsOf(link->commands, stream, from))
            if (a2aKind(p.data()) == kA2AKindData && payload(p) == text)
                return true;
        return false;
    });
}

std::unique_ptr<QV_SKYPESTREAM> StreamFixture::connectHttpToTestServer(int* listener, int* server)
{
    int port = 0;
    *listener = tcptest::listenLoopback(&port);
    auto stream = makeStream(kHttpApp, "peer", 1, 80);
    EXPECT_EQ(1, stream->getTcpManager()->notifyTcpConnectRequest(port, "localhost"));
    *server = tcptest::acceptWithin(*listener);
    return stream;
}

std::unique_ptr<QV_SKYPESTREAM> StreamFixture::connectFtpToTestServer(int* listener, int* control, uint32_t* seq)
{
    int ftpPort = 0;
    *listener = tcptest::listenLoopback(&ftpPort);
    auto stream = makeStream(kFtpApp, "peer", 1, 21, "127.0.0.1", ftpPort);
    feed(*stream, makePacket(kA2AKindControl, kA2ACodeConnectRequest, 21, (*seq)++));
    *control = tcptest::acceptWithin(*listener);
    if (*control >= 0 && !tcptest::waitUntil([&] { return stream->isMainConnected(); })) {
        ADD_FAILURE() << "the control connection did not come up";
        close(*control);
        *control = -1;
    }
    return stream;
}

void StreamFixture::SetUp()
{
    QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
    log->setEnabled(1);
    log->addListener(&capture);
    auto fake = std::make_unique<FakeApiLink>();
    link = fake.get();
    com = std::make_unique<QV_SKYPECOM>(std::move(fake));
    link->attach();
}

void StreamFixture::TearDown()
{
    com.reset();
    QV_EVENTLOG::destroyInstance();
}

std::unique_ptr<QV_SKYPESTREAM> StreamFixture::makeStream(const char* app, const char* user, int id, int servicePort,
                                                          const char* forwardHost, int forwardPort)
{
    auto stream = std::make_unique<QV_SKYPESTREAM>(*com, &config);
    stream->setPeerUser(user);
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

void StreamFixture::feed(QV_SKYPESTREAM& stream, const std::vector<uint8_t>& packet)
{
    stream.repRead(readReply(stream.getPeerUser(), stream.getStreamId(), packet).c_str());
}

}  // namespace tunneltest
