// The local socket: frames reach the events, answers reach the program,
// protocol errors and peers of another user id end the connection.
#include "messenger/api_server.h"
#include "tests/support/api_test_client.h"

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
    explicit ServerThread(const std::string& name) : server(*this)
    {
        std::string error;
        listening = server.listen(name, error);
        if (listening)
            thread = std::thread([this] { run(); });
    }
    ~ServerThread()
    {
        stop = true;
        if (thread.joinable())
            thread.join();
    }
    void onDiscover(int client, const std::string& name) override
    {
        record("D " + std::to_string(client) + " " + name);
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
    bool waitEvents(size_t count)
    {
        for (int i = 0; i < 500; ++i) {
            if (events().size() >= count)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    bool listening = false;

private:
    void record(const std::string& e)
    {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(e);
    }
    void run()
    {
        while (!stop) {
            std::vector<pollfd> fds;
            server.addPollFds(fds);
            ::poll(fds.data(), fds.size(), 20);
            server.handle(fds);
        }
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

TEST(MessengerApiServer, FramesBothWays)
{
    std::string name = uniqueName("frames");
    ServerThread server(name);
    ASSERT_TRUE(server.listening);
    ApiTestClient a;
    ApiTestClient b;
    ASSERT_TRUE(a.connect(name));
    ASSERT_TRUE(b.connect(name));
    ASSERT_TRUE(a.discover());
    ASSERT_TRUE(a.waitAttach(kAttachSuccess, 5s));
    ASSERT_TRUE(b.discover());
    ASSERT_TRUE(b.waitAttach(kAttachSuccess, 5s));
    ASSERT_TRUE(a.command("ECHO from a"));
    ASSERT_TRUE(b.command("ECHO from b"));
    std::string line;
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
    ASSERT_TRUE(server.waitEvents(6));
    std::vector<std::string> e = server.events();
    EXPECT_EQ(e[0].substr(0, 2), "D ");
    EXPECT_EQ(e.back().substr(0, 2), "X ");
}

TEST(MessengerApiServer, ProtocolErrorsCloseTheConnection)
{
    std::string name = uniqueName("errors");
    ServerThread server(name);
    ASSERT_TRUE(server.listening);
    const std::string bad[] = {
        std::string("\x01\x00\x10\x00", 4),  // 1048577 bytes: too long
        std::string("\x00\x00\x00\x00", 4),
        std::string("\x06\x00\x00\x00"
                    "Cabcdx",
                    10),  // a text without its zero byte
        std::string("\x01\x00\x00\x00Q", 5),
        std::string("\x09\x00\x00\x00"
                    "C\x00\x00\x00\x00"
                    "a\x00"
                    "b\x00",
                    13),  // a zero byte inside the text
        std::string("\x06\x00\x00\x00"
                    "C\x00\x00\x00\x00x",
                    10),
        encodeAttach(0, 1),
    };
    for (const std::string& bytes : bad) {
        ApiTestClient c;
        ASSERT_TRUE(c.connect(name));
        ASSERT_TRUE(c.sendRaw(bytes));
        EXPECT_TRUE(c.waitClosed(5s));
    }
    // A daemon-side close is seen as the end of the connection too.
    ApiTestClient c;
    ASSERT_TRUE(c.connect(name));
    ASSERT_TRUE(c.command("BYE"));
    EXPECT_TRUE(c.waitClosed(5s));
}

TEST(MessengerApiServer, PeerOfAnotherUserIsRefusedWithCodeTwo)
{
    if (::getuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user id";
    std::string name = uniqueName("peercred");
    ServerThread server(name);
    ASSERT_TRUE(server.listening);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exit status: 0 refused with code 2 and closed, 1 anything else.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(3);
        ApiTestClient c;
        if (!c.connect(name))
            ::_exit(4);
        c.discover();
        Frame f;
        bool refused = c.next(f, 5s) && f.type == 'A' && f.code == kAttachRefused;
        bool closed = c.waitClosed(5s);
        ::_exit(refused && closed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The refused peer never reached the events.
    EXPECT_TRUE(server.events().empty());
}

TEST(MessengerApiServer, NameInUseIsAnError)
{
    std::string name = uniqueName("twice");
    ServerThread first(name);
    ASSERT_TRUE(first.listening);
    struct NoEvents : ApiEvents {
        void onDiscover(int, const std::string&) override {}
        void onCommand(int, const std::string&) override {}
        void onClientClosed(int) override {}
    } none;
    ApiServer second(none);
    std::string error;
    EXPECT_FALSE(second.listen(name, error));
    EXPECT_NE(error.find("cannot listen on @" + name), std::string::npos) << error;
}
