// QV_SKYPESTREAM::repRead: READ replies of the messenger as they reach a
// stream of a client or a server program, of the FTP application or of
// another one, with the messenger behind a recording fake link.
//
// Built twice: rep_read_server_fuzz for the streams of the server program,
// rep_read_client_fuzz (CORVANE_FUZZ_CLIENT=1) for those of the client
// program, whose manager makes its large socket buffers for every stream.
//
// Input: byte 0 chooses the stream (bit 0: FTP, else HTTP);
// then up to 32 records, each a little-endian length (2 bytes), a flag byte
// and that many bytes. Flag bit 0 set: the bytes are a whole reply text;
// clear: they are a packet, sent as "peer:1 <hex>". Bit 1 stamps the
// sequence number the stream expects into a packet; bit 2 lets a 20 ms tick
// pass after the reply.
//
// The target stays cheap and repeatable: packets asking for a connection
// (CONNECT-REQUEST of either control kind) are left out, since they start a
// connect thread to the forward host; and the port a client stream would
// listen on is held by the target, so its listener never opens and no local
// program can connect. Where the process may, it takes a network namespace
// of its own first, so that holding port 21 disturbs nothing else. An FTP
// announcement on a client stream still opens a data-link listener; no one
// connects to it and the stream closes it again.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "core/eventlog.h"
#include "core/text.h"
#include "fuzz/fuzz_check.h"
#include "skype/skype_com.h"
#include "tests/support/fake_api_link.h"
#include "tunnel/skype_stream.h"
#include "wire/a2a_packet.h"

#ifndef CORVANE_FUZZ_CLIENT
#define CORVANE_FUZZ_CLIENT 0
#endif

namespace {

constexpr const char* kFtpApp = "CorvaneForFtp0000";
constexpr const char* kHttpApp = "CorvaneForHttp000";
constexpr const char* kUser = "peer";
constexpr int kStreamId = 1;
constexpr int kFtpPort = QV_SKYPESTREAM::kFtpControlPort;

// A listening socket on `port` (0: any), without SO_REUSEADDR so that no
// other listener can share it. Returns the bound port, or -1.
int holdPort(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0 || listen(fd, 1) < 0
        || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        close(fd);
        return -1;
    }
    return ntohs(address.sin_port);  // held for the life of the process
}

struct Setup {
    QV_CONFIGSTORE config;
    FakeApiLink* link = nullptr;
    int servicePort = 0;
};

Setup* setup = nullptr;

// True when `text` is a reply for our stream whose packet asks for a
// connection.
bool asksForConnection(const std::string& text)
{
    const std::string self = std::string(kUser) + ":" + std::to_string(kStreamId) + " ";
    if (text.compare(0, self.size(), self) != 0)
        return false;
    std::vector<uint8_t> packet(text.size() / 2 + 1);
    const int32_t n = hexDecode(text.c_str() + self.size(), packet.data(), packet.size());
    if (n < static_cast<int32_t>(kA2AHeaderSize))
        return false;
    const uint16_t kind = a2aKind(packet.data());
    return (kind == kA2AKindControl || kind == kA2AKindDataLinkControl)
           && a2aCode(packet.data()) == kA2ACodeConnectRequest;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Not fatal when it fails: without the right to, the process cannot
    // bind port 21 either, and the other port is one the kernel chose.
    if (unshare(CLONE_NEWNET) != 0)
        std::fprintf(stderr, "rep_read fuzz target: no network namespace of its own; using the host's\n");
    setup = new Setup;
    QV_EVENTLOG::getInstance()->setEnabled(0);
    setup->link = FakeApiLink::install();
    holdPort(kFtpPort);
    setup->servicePort = holdPort(0);
    if (setup->servicePort < 0)
        setup->servicePort = 8080;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const bool ftp = (data[0] & 1) != 0;
    const bool client = CORVANE_FUZZ_CLIENT != 0;
    data += 1;
    size -= 1;

    setup->config.setClientMode(client ? 1 : 0);
    setup->link->commands.clear();
    // A new stream for every input, made in the same memory each time: its
    // buffers are large, and fresh pages for them would cost more than the
    // replies themselves.
    alignas(QV_SKYPESTREAM) static unsigned char storage[sizeof(QV_SKYPESTREAM)];
    struct Destroy {
        void operator()(QV_SKYPESTREAM* s) const { s->~QV_SKYPESTREAM(); }
    };
    std::unique_ptr<QV_SKYPESTREAM, Destroy> stream(new (storage)
                                                        QV_SKYPESTREAM(*QV_SKYPECOM::getInstance(), &setup->config));
    stream->setPeerUser(kUser);
    stream->setStreamId(kStreamId);
    stream->setServicePort(ftp ? kFtpPort : setup->servicePort);
    stream->setForwardHost("localhost");
    stream->setForwardPort(ftp ? kFtpPort : setup->servicePort);
    stream->setApplicationName(ftp ? kFtpApp : kHttpApp);
    stream->start();

    for (int records = 0; records < 32 && size >= 3; ++records) {
        size_t length = data[0] | (static_cast<size_t>(data[1]) << 8);
        const uint8_t flags = data[2];
        data += 3;
        size -= 3;
        if (length > size)
            length = size;
        std::string text;
        if (flags & 1) {
            // What a C string of the reply holds: up to its first NUL.
            text.assign(reinterpret_cast<const char*>(data), length);
            text.resize(std::strlen(text.c_str()));
        } else {
            std::vector<uint8_t> packet(data, data + length);
            if ((flags & 2) && packet.size() >= kA2AHeaderSize)
                setA2ASeq(packet.data(), stream->getRecvSeq());
            std::string hex(packet.size() * 2 + 1, '\0');
            hexEncode(static_cast<int32_t>(packet.size()), packet.data(), hex.data(), hex.size());
            hex.resize(packet.size() * 2);
            text = std::string(kUser) + ":" + std::to_string(kStreamId) + " " + hex;
        }
        data += length;
        size -= length;
        if (asksForConnection(text))
            continue;
        stream->repRead(text.c_str());
        if (flags & 4)
            stream->intervalTimer();
        // Every command the stream gave the messenger fits the command buffer.
        for (const std::string& command : setup->link->commands)
            FUZZ_CHECK(command.size() <= QV_SKYPESTREAM::kMaxCommandLength);
    }
    stream->stop();
    return 0;
}
