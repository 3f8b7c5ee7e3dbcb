// Two daemons' ICE links in one process over loopback, their parameters
// handed across directly, both GLib contexts driven by one poll() loop as
// the daemon drives its own: the byte stream opens on both sides over the
// host pair, carries 4 MB each way intact and in order, and a side that
// stops makes the other's link go down at once.
#include "messenger/p2p/ice_links.h"
#include "messenger/p2p/glib_poll.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>

namespace {

using Clock = std::chrono::steady_clock;

struct Side : DirectLinkEvents {
    std::string key;
    GlibPoll poll;
    Log log;
    IceLinks links{poll, *this, log};
    Side* other = nullptr;
    int reports = 0;
    bool gathered = false;
    bool up = false;
    LinkRoute route;
    std::string received;
    std::vector<std::string> downs;

    explicit Side(std::string k) : key(std::move(k)) { links.setLocalAddresses({"127.0.0.1"}); }
    void localIce(const std::string& k, const IceParameters& local, bool done) override
    {
        EXPECT_EQ(k, key);
        ++reports;
        gathered = gathered || done;
        other->links.addRemote(other->key, local);
    }
    void linkUp(const std::string& k, const LinkRoute& r) override
    {
        EXPECT_EQ(k, key);
        ++reports;
        up = true;
        route = r;
    }
    void linkData(const std::string&, const std::string& bytes) override
    {
        ++reports;
        received += bytes;
    }
    void linkDown(const std::string&, const std::string& why) override
    {
        ++reports;
        downs.push_back(why);
    }
};

// Turns of a poll() loop over both contexts until `done` or `limit`.
bool runUntil(Side& a, Side& b, const std::function<bool()>& done, std::chrono::seconds limit)
{
    auto deadline = Clock::now() + limit;
    while (!done() && Clock::now() < deadline) {
        std::vector<pollfd> fds;
        int timeout = 100;
        a.poll.prepare(fds, timeout);
        b.poll.prepare(fds, timeout);
        ::poll(fds.data(), fds.size(), timeout);
        a.poll.dispatch(fds);
        b.poll.dispatch(fds);
    }
    return done();
}

std::string randomBytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

TEST(IceLinks, ByteStreamOverLoopbackCarriesBothWaysAndEndsWithTheOtherSide)
{
    Side a("alice"), b("bob");
    a.other = &b;
    b.other = &a;
    a.links.start(a.key, true, {});
    b.links.start(b.key, false, {});
    ASSERT_TRUE(runUntil(
        a, b, [&] { return a.up && b.up; }, std::chrono::seconds(20)));
    EXPECT_TRUE(a.gathered && b.gathered);
    for (const LinkRoute& r : {a.route, b.route}) {
        EXPECT_FALSE(r.relayed);
        EXPECT_EQ(r.turnServer, "");
        EXPECT_EQ(r.local.rfind("127.0.0.1:", 0), 0u) << r.local;
        EXPECT_TRUE(r.local.ends_with(" (host)")) << r.local;
    }
    EXPECT_EQ(a.route.local, b.route.remote);
    EXPECT_EQ(a.route.remote, b.route.local);

    const size_t kBytes = 4 << 20;
    std::string toB = randomBytes(kBytes, 1), toA = randomBytes(kBytes, 2);
    auto started = Clock::now();
    for (size_t at = 0; at < kBytes; at += 100000) {
        a.links.send(a.key, toB.substr(at, 100000));
        b.links.send(b.key, toA.substr(at, 100000));
    }
    ASSERT_TRUE(runUntil(
        a, b, [&] { return a.received.size() >= kBytes && b.received.size() >= kBytes; }, std::chrono::seconds(60)));
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("4 MB each way in %.2f s: %.1f MB/s each way\n", seconds, 4 / seconds);
    EXPECT_EQ(b.received.size(), kBytes);
    EXPECT_EQ(std::hash<std::string>{}(b.received), std::hash<std::string>{}(toB));
    EXPECT_EQ(a.received.size(), kBytes);
    EXPECT_EQ(std::hash<std::string>{}(a.received), std::hash<std::string>{}(toA));
    EXPECT_TRUE(a.downs.empty() && b.downs.empty());

    int aReports = a.reports;
    a.links.stop(a.key);
    ASSERT_TRUE(runUntil(
        a, b, [&] { return !b.downs.empty(); }, std::chrono::seconds(3)));
    EXPECT_EQ(b.downs, std::vector<std::string>{"reset by the peer"});
    EXPECT_EQ(a.reports, aReports);
}

}  // namespace
