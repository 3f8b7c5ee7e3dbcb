// FTP through two streams back to back, the client application's and the
// server application's, each feeding what the other writes: a local FTP
// client on the client application's port 21, a local FTP server behind the
// server application, and data connections in passive and in active mode.
// The client application listens on port 21: the tests skip themselves
// where that port cannot be had.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/tunnel/tunnel_test_util.h"
#include "wire/a2a_packet.h"

using namespace tunneltest;
using namespace tcptest;

namespace {

class FtpPathTest : public StreamFixture {
protected:
    void SetUp() override
    {
        StreamFixture::SetUp();
        listener = listenLoopback(&ftpPort);
        ASSERT_GE(listener, 0);
        config.setClientMode(1);
        clientSide = makeStream(kFtpApp, "pcb", 1, 21, "127.0.0.1", 21);
        config.setClientMode(0);
        serverSide = makeStream(kFtpApp, "pca", 2, 21, "127.0.0.1", ftpPort);
        if (!waitUntil([&] { return clientSide->isMainListening(); }, std::chrono::milliseconds(2000)))
            GTEST_SKIP() << "port 21 cannot be listened on here";
        client = connectLoopback(21);
        ASSERT_GE(client, 0);
        server = relayAccept(listener);
        ASSERT_GE(server, 0);
        ASSERT_TRUE(writeAll(server, "220 Ready\r\n", 11));
        ASSERT_EQ("220 Ready\r\n", relayRead(client));
    }
    void TearDown() override
    {
        clientSide.reset();
        serverSide.reset();
        for (int fd : {client, server, listener})
            if (fd >= 0)
                close(fd);
        StreamFixture::TearDown();
    }

    // One round: each stream writes what it has, and the other reads it.
    void step()
    {
        pump(*clientSide);
        pump(*serverSide);
        const std::string fromClient = std::string("ALTER APPLICATION ") + kFtpApp + " WRITE pcb:1 ";
        const std::string fromServer = std::string("ALTER APPLICATION ") + kFtpApp + " WRITE pca:2 ";
        while (routed < link->commands.size()) {
            const std::string command = link->commands[routed++];
            if (command.rfind(fromClient, 0) == 0)
                serverSide->repRead(("pca:2 " + command.substr(fromClient.size())).c_str());
            else if (command.rfind(fromServer, 0) == 0)
                clientSide->repRead(("pcb:1 " + command.substr(fromServer.size())).c_str());
        }
    }
    int relayAccept(int fd)
    {
        int accepted = -1;
        waitUntil([&] {
            step();
            accepted = acceptWithin(fd, std::chrono::milliseconds(2));
            return accepted >= 0;
        });
        return accepted;
    }
    // What fd reads while the streams relay: `size` bytes, or a line when
    // size is 0.
    std::string relayRead(int fd, size_t size = 0)
    {
        std::string got;
        waitUntil([&] {
            step();
            got += readSome(fd, size ? size - got.size() : 1, std::chrono::milliseconds(2));
            return size ? got.size() >= size : got.size() >= 2 && got.compare(got.size() - 2, 2, "\r\n") == 0;
        });
        return got;
    }
    // The announcement of a data port by one local program (the server's
    // passive reply, or the client's PORT command) reaches the other one
    // rewritten to this side's data link; the other program connects that,
    // the far side connects the announced port, and data flows both ways.
    void transfer(bool passive)
    {
        int dataPort = 0;
        const int dataListener = listenLoopback(&dataPort);
        ASSERT_GE(dataListener, 0);
        if (passive) {
            ASSERT_TRUE(writeAll(client, "PASV\r\n", 6));
            ASSERT_EQ("PASV\r\n", relayRead(server));
        }
        std::string text = passive ? passiveReply(dataPort) : portCommand(dataPort);
        if (passive)
            text.insert(text.size() - 2, ".");
        ASSERT_TRUE(writeAll(passive ? server : client, text.data(), text.size()));
        const std::string rewritten = relayRead(passive ? client : server);
        int p1 = -1;
        int p2 = -1;
        const char* form = passive ? "227 ENTERING PASSIVE MODE (127,0,0,1,%d,%d)" : "PORT 127,0,0,1,%d,%d";
        ASSERT_EQ(2, std::sscanf(rewritten.c_str(), form, &p1, &p2)) << rewritten;
        const int near = connectLoopback(p1 * 256 + p2);
        ASSERT_GE(near, 0);
        const int far = relayAccept(dataListener);
        ASSERT_GE(far, 0) << "the other application did not connect the announced port";
        const int atClient = passive ? near : far;
        const int atServer = passive ? far : near;
        ASSERT_TRUE(writeAll(atServer, "listing", 7));
        EXPECT_EQ("listing", relayRead(atClient, 7));
        ASSERT_TRUE(writeAll(atClient, "upload", 6));
        EXPECT_EQ("upload", relayRead(atServer, 6));
        close(near);
        close(far);
        close(dataListener);
    }

    std::unique_ptr<QV_SKYPESTREAM> clientSide;
    std::unique_ptr<QV_SKYPESTREAM> serverSide;
    size_t routed = 0;
    int ftpPort = 0;
    int listener = -1;
    int client = -1;
    int server = -1;
};

TEST_F(FtpPathTest, PassiveTransfer) { transfer(true); }

TEST_F(FtpPathTest, ActiveTransfer) { transfer(false); }

}  // namespace
