// Writes N texts of 20480 bytes from alice's program to bob's, one at a time
// as the program does (next WRITE after the empty SENDING), bob reading each,
// and prints acknowledged texts per second and payload bytes per second.
#include "tests/support/api_test_client.h"
#include "tests/support/prosody_server.h"
#include "tests/support/spawned.h"

#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

bool ask(ApiTestClient& c, const std::string& cmd, const std::string& expected)
{
    std::string line;
    return c.command(cmd) && c.waitLine([&](const std::string& l) { return l == expected; }, line, 10s);
}

bool pollFor(ApiTestClient& c, const std::string& cmd, const std::string& expected)
{
    for (int i = 0; i < 200; ++i) {
        std::string line;
        if (c.command(cmd)
            && c.waitLine([&](const std::string& l) { return l.rfind(expected.substr(0, 20), 0) == 0; }, line, 10s)
            && line == expected)
            return true;
        std::this_thread::sleep_for(100ms);
    }
    return false;
}

int fail(const char* what)
{
    std::fprintf(stderr, "messenger_throughput: %s\n", what);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (!ProsodyServer::unavailableReason().empty())
        return fail(ProsodyServer::unavailableReason().c_str());
    char tmpl[] = "/tmp/messenger-bench-XXXXXX";
    if (!mkdtemp(tmpl))
        return fail("no temp dir");
    std::string dir = tmpl;
    int rc = 1;
    {
        ProsodyServer server(dir);
        if (!server.writeConfig() || !server.registerUser("alice", "alicepw") || !server.registerUser("bob", "bobpw")
            || !server.start())
            return fail(("prosody: " + server.error()).c_str());
        Spawned daemons[2];
        ApiTestClient clients[2];
        const char* names[2] = {"alice", "bob"};
        for (int i = 0; i < 2; ++i) {
            std::string conf = dir + "/" + names[i] + ".conf";
            std::ofstream(conf) << "jid = " << names[i] << "@localhost\npassword = " << names[i] << "pw\n"
                                << "server = 127.0.0.1\nport = " << server.port() << "\ncontact = " << names[1 - i]
                                << "@localhost\nlog = " << dir << "/" << names[i] << ".log\n";
            ::chmod(conf.c_str(), 0600);  // messengerd refuses a password file others may read
            std::string sock = std::string("CorvaneBench-") + std::to_string(getpid()) + names[i];
            daemons[i].start({MESSENGERD_PATH, "--config", conf, "--api-socket", sock}, dir + "/" + names[i] + ".out");
            auto deadline = Clock::now() + 10s;
            while (!clients[i].connect(sock) && Clock::now() < deadline)
                std::this_thread::sleep_for(20ms);
            if (!clients[i].discover() || !clients[i].waitAttach(0, 20s))
                return fail("daemon did not attach");
        }
        ApiTestClient& a = clients[0];
        ApiTestClient& b = clients[1];
        const std::string app = "CorvaneForTcp2000";
        if (!pollFor(a, "SEARCH FRIENDS", "USERS bob@localhost")
            || !ask(b, "CREATE APPLICATION " + app, "CREATE APPLICATION " + app)
            || !ask(a, "CREATE APPLICATION " + app, "CREATE APPLICATION " + app)
            || !pollFor(a, "GET APPLICATION " + app + " CONNECTABLE",
                        "APPLICATION " + app + " CONNECTABLE bob@localhost"))
            return fail("contacts or application not ready");
        std::string line;
        a.command("ALTER APPLICATION " + app + " CONNECT bob@localhost");
        auto isStreams = [&](const std::string& l) { return l.rfind("APPLICATION " + app + " STREAMS ", 0) == 0; };
        if (!a.waitLine(isStreams, line, 10s))
            return fail("no stream");
        std::string aRef = line.substr(line.rfind(' ') + 1);
        if (!b.waitLine(isStreams, line, 10s))
            return fail("no stream at bob");
        std::string bRef = line.substr(line.rfind(' ') + 1);

        std::string text(20480, 'A');
        auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            text[static_cast<size_t>(i) % text.size()] = static_cast<char>('B' + i % 20);
            a.command("ALTER APPLICATION " + app + " WRITE " + aRef + " " + text);
            if (!a.waitLine("APPLICATION " + app + " SENDING", 10s))
                return fail("no acknowledgement");
            if (!b.waitLine(
                    [&](const std::string& l) { return l.rfind("APPLICATION " + app + " RECEIVED " + bRef, 0) == 0; },
                    line, 10s))
                return fail("nothing received");
            b.command("ALTER APPLICATION " + app + " READ " + bRef);
            if (!b.waitLine([&](const std::string& l) { return l.rfind("ALTER APPLICATION " + app + " READ", 0) == 0; },
                            line, 10s))
                return fail("no read answer");
        }
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("texts: %d of 20480 bytes in %.2f s\n", count, seconds);
        std::printf("acknowledged texts per second: %.1f\n", count / seconds);
        std::printf("payload bytes per second: %.0f (%.2f MB/s)\n", count * 20480.0 / seconds,
                    count * 20480.0 / seconds / 1e6);
        rc = 0;
        for (auto& c : clients)
            c.close();
        for (auto& d : daemons)
            d.stop(5s);
    }
    std::string rm = "rm -rf " + dir;
    if (std::system(rm.c_str()) != 0)
        std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    return rc;
}
