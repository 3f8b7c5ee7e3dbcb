// The local socket: frames reach the events, answers reach the program,
// protocol errors and peers of another user id end the connection. The
// decoder's own errors are in tests/wire.
#include "messenger/api_server.h"
#include "tests/support/api_test_client.h"
#include "tests/support/tcp_test_util.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Runs an ApiServer on its own thread; every event is recorded, and a
// command "ECHO x" is answered with "x" on the same connection.
class ServerThread : public ApiEvents {
public:
    explicit ServerThread(const std::string& n) : name(n), server(*this)
    {
        listening = server.listen(name, error);
        if (listening)
            thread = std::thread([this] {
                while (!stop) {
                    std::vector<pollfd> fds;
                    server.addPollFds(fds);
                    ::poll(fds.data(), fds.size(), 20);
                    server.handle(fds);
                }
            });
    }
    ~ServerThread()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }
    void onDiscover(int client, const std::string& n) override
    {
        record("D " + std::to_string(client) + " " + n);
        server.send(client, encodeAttach(kAttachSuccess, static_cast<uint32_t>(client)));
    }
    void onCommand(int client, const std::string& text) override
    {
        record("C " + std::to_string(client) + " " + text);
        if (text.rfind("ECHO ", 0) == 0)
            server.send(client, encodeCommand(text.substr(5)));
        if (text == "BYE")
            server.close(client);
    }
    void onClientClosed(int client) override { record("X " + std::to_string(client)); }
    std::vector<std::string> events()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }

    const std::string name;
    bool listening = false;
    std::string error;

private:
    void record(const std::string& e)
    {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(e);
    }
    ApiServer server;
    std::atomic<bool> stop{false};
    std::thread thread;
    std::mutex mutex;
    std::vector<std::string> log;  // guarded by mutex
};

std::string uniqueName(const char* what)
{
    return std::string("CorvaneTest-") + what + "-" + std::to_string(::getpid());
}

}  // namespace

TEST(MessengerApiServer, FramesBothWaysAndProtocolErrorsCloseTheConnection)
{
    ServerThread server(uniqueName("frames"));
    ASSERT_TRUE(server.listening) << server.error;
    ApiTestClient a;
    ApiTestClient b;
    std::string line;
    for (ApiTestClient* c : {&a, &b}) {
        ASSERT_TRUE(c->connect(server.name));
        ASSERT_TRUE(c->discover());
        ASSERT_TRUE(c->waitAttach(kAttachSuccess, 5s));
    }
    ASSERT_TRUE(a.command("ECHO from a"));
    ASSERT_TRUE(b.command("ECHO from b"));
    ASSERT_TRUE(a.nextLine(line, 5s));
    EXPECT_EQ(line, "from a");
    ASSERT_TRUE(b.nextLine(line, 5s));
    EXPECT_EQ(line, "from b");
    // A big command (near the frame limit) arrives whole.
    std::string big(1048576 - 5 - 1 - 5, 'x');
    ASSERT_TRUE(a.command("ECHO " + big));
    ASSERT_TRUE(a.nextLine(line, 10s));
    EXPECT_EQ(line, big);
    a.close();
    ASSERT_TRUE(tcptest::waitUntil([&] { return server.events().size() >= 6; }, 5s));
    EXPECT_EQ(server.events().front().substr(0, 2), "D ");
    EXPECT_EQ(server.events().back().substr(0, 2), "X ");

    // A frame too long, an attach frame from the program, and a close by
    // the daemon end the connection.
    for (const std::string& bytes : {std::string("\x01\x00\x10\x00", 4), encodeAttach(0, 1), encodeCommand("BYE")}) {
        ApiTestClient c;
        ASSERT_TRUE(c.connect(server.name));
        ASSERT_TRUE(c.sendRaw(bytes));
        EXPECT_TRUE(c.waitClosed(5s));
    }

    struct NoEvents : ApiEvents {
        void onDiscover(int, const std::string&) override {}
        void onCommand(int, const std::string&) override {}
        void onClientClosed(int) override {}
    } none;
    ApiServer second(none);
    std::string error;
    EXPECT_FALSE(second.listen(server.name, error));
    EXPECT_NE(error.find("cannot listen on @" + server.name), std::string::npos) << error;
}

TEST(MessengerApiServer, PeerOfAnotherUserIsRefusedWithCodeTwo)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user id";
    ServerThread server(uniqueName("peercred"));
    ASSERT_TRUE(server.listening) << server.error;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit status: 0 refused with code 2 and closed, 1 anything else.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        ApiTestClient c;
        if (!c.connect(server.name))
            ::_exit(4);
        c.discover();
        Frame f;
        bool refused = c.next(f, 5s) && f.type == 'A' && f.code == kAttachRefused;
        ::_exit(refused && c.waitClosed(5s) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The refused peer never reached the events.
    EXPECT_TRUE(server.events().empty());
}
