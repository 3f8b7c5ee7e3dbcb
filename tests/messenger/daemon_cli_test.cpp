// The executable's start-up: a configuration with errors is reported with
// file, line and reason, and the daemon does not start.
#include "messenger/caps.h"
#include "tests/support/spawned.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstddef>
#include <cstring>

using namespace std::chrono_literals;

TEST(MessengerDaemon, ConfigErrorsStopTheStart)
{
    TempDir dir;
    writeFile(dir.file("bad.conf"), "jid = alice@localhost\npassword = pw\nport = many\n");
    ::chmod(dir.file("bad.conf").c_str(), 0600);
    Spawned d;
    ASSERT_TRUE(d.start({MESSENGERD_PATH, "--config", dir.file("bad.conf")}, dir.file("out")));
    EXPECT_EQ(d.wait(10s), 2);
    std::string out = readFile(dir.file("out"));
    EXPECT_NE(out.find(dir.file("bad.conf") + ":3: port must be a number from 1 to 65535, not 'many'"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("not started"), std::string::npos) << out;
}

TEST(MessengerDaemon, ConfigThatOthersMayReadStopsTheStart)
{
    TempDir dir;
    const std::string conf = dir.file("m.conf");
    writeFile(conf,
              "jid = alice@localhost\npassword = pw\napi_socket = CorvaneCliTest-" + std::to_string(::getpid()) + "\n");
    ASSERT_EQ(::chmod(conf.c_str(), 0644), 0);
    Spawned d;
    ASSERT_TRUE(d.start({MESSENGERD_PATH, "--config", conf}, dir.file("out")));
    EXPECT_EQ(d.wait(10s), 2);
    std::string out = readFile(dir.file("out"));
    EXPECT_NE(out.find(conf + ":0: permissions 0644 are too open"), std::string::npos) << out;
    EXPECT_NE(out.find("run: chmod 600 " + conf), std::string::npos) << out;
    EXPECT_NE(out.find("not started"), std::string::npos) << out;
}

TEST(MessengerDaemon, StartIsRefusedBesideASocketOfAnotherUser)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to listen as another user id";
    const std::string name = "CorvaneCliTest-held-" + std::to_string(::getpid());
    // A process of user 65534 holds the name until the pipe closes (at most
    // 30 s).
    int ready[2];
    int release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        ::close(ready[0]);
        ::close(release[1]);
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, name.data(), name.size());
        auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 4) != 0)
            ::_exit(4);
        char c = 'r';
        if (::write(ready[1], &c, 1) != 1)
            ::_exit(5);
        pollfd p{release[0], POLLIN, 0};
        ::poll(&p, 1, 30000);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ::close(ready[0]);

    TempDir dir;
    const std::string conf = dir.file("m.conf");
    writeFile(conf, "jid = alice@localhost\npassword = pw\nserver = 127.0.0.1\nport = "
                        + std::to_string(freeLoopbackPort()) + "\nlog = " + dir.file("m.log") + "\n");
    ASSERT_EQ(::chmod(conf.c_str(), 0600), 0);
    Spawned d;
    ASSERT_TRUE(d.start({MESSENGERD_PATH, "--config", conf, "--api-socket", name}, dir.file("out")));
    int status = d.wait(10s);
    ::close(release[1]);
    int holderStatus = 0;
    ::waitpid(holder, &holderStatus, 0);
    EXPECT_TRUE(WIFEXITED(holderStatus) && WEXITSTATUS(holderStatus) == 0);
    EXPECT_NE(status, 0);
    EXPECT_NE(status, -1) << "still running beside the other user's socket";
    std::string out = readFile(dir.file("out"));
    EXPECT_NE(out.find("messengerd: the socket @" + name + " is held by another user (uid 65534); refusing to start"),
              std::string::npos)
        << out;
    EXPECT_NE(readFile(dir.file("m.log")).find("is held by another user (uid 65534)"), std::string::npos);
}

TEST(MessengerDaemon, UsageErrors)
{
    TempDir dir;
    Spawned d;
    ASSERT_TRUE(d.start({MESSENGERD_PATH}, dir.file("out")));
    EXPECT_EQ(d.wait(10s), 2);
    EXPECT_NE(readFile(dir.file("out")).find("usage: messengerd --config FILE"), std::string::npos);
}

TEST(MessengerCaps, VerificationStringOfTheProtocolExample)
{
    // The worked example of XEP-0115, section 5.2.
    xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
    EXPECT_EQ(capsVer(ctx, "client", "pc", "Exodus 0.9.1",
                      {"http://jabber.org/protocol/muc", "http://jabber.org/protocol/disco#info",
                       "http://jabber.org/protocol/disco#items", "http://jabber.org/protocol/caps"}),
              "QgayPKawpkPSDYmwT/WM94uAlu0=");
    xmpp_ctx_free(ctx);
}

TEST(MessengerCaps, EveryApplicationIsAFeature)
{
    std::vector<std::string> f = discoFeatures({"CorvaneForFtp0000", "CorvaneForTcp2000"});
    EXPECT_NE(std::find(f.begin(), f.end(), "urn:corvane:messenger:app:CorvaneForFtp0000"), f.end());
    EXPECT_NE(std::find(f.begin(), f.end(), "urn:corvane:messenger:app:CorvaneForTcp2000"), f.end());
    EXPECT_NE(std::find(f.begin(), f.end(), "http://jabber.org/protocol/ibb"), f.end());
    EXPECT_TRUE(std::is_sorted(f.begin(), f.end()));
}
