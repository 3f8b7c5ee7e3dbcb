// Two daemons' cores joined by a fake server (in-band streams, Jingle) and a
// fake direct link, each hop a queue the test delivers from in the order it
// chooses: a stream moves onto the direct path and back with every text read
// once and in order, whatever arrives first.
#include "messenger/core/messenger.h"
#include "tests/messenger/fake_sides.h"

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>

using namespace std::chrono_literals;

namespace {

const std::string kApp = "CorvaneForFtp0000";
const std::string kAlice = "alice@h.test";
const std::string kBob = "bob@h.test";
const std::string kAliceFull = kAlice + "/pc";
const std::string kBobFull = kBob + "/pc";
const std::string kAlter = "ALTER APPLICATION " + kApp + " ";

using Hop = std::deque<std::function<void()>>;

struct Side;

// What one daemon sends: through the server (in band, Jingle) and on the
// direct link. Each call becomes a step in a queue toward the other side.
struct Wires : XmppLink, StreamTransport, PathSignaling, DirectLinks {
    Side* self = nullptr;
    Side* peer = nullptr;
    // Requests this side sent, by id, with what their answer means.
    std::map<std::string, std::function<void(bool)>> pending;
    int ids = 0;
    std::vector<std::string> started;  // links started, "key controlling|controlled"
    size_t remoteCandidates = 0;       // handed to the links

    void advertise(const std::set<std::string>&) override {}
    void requestSubscription(const std::string&) override {}
    void approveSubscription(const std::string&) override {}

    void openStream(const std::string& full, const std::string& sid, const std::string& app, bool compact) override;
    void acceptStream(const IqRef& ref, bool) override { answer(ref, nullptr); }
    void sendBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data) override;
    void closeStream(const std::string& full, const std::string& sid) override;
    void probe(const std::string& full, const std::string& sid) override;
    void answer(const IqRef& ref, const char* error) override;
    void signal(const std::string& full, const PathSignal& s) override;
    void answerSignal(const IqRef& ref, const char* error) override { answer(ref, error); }
    void start(const std::string& key, bool controlling, const std::vector<IceServer>&) override
    {
        started.push_back(key + (controlling ? " controlling" : " controlled"));
    }
    void addRemote(const std::string&, const IceParameters& p) override { remoteCandidates += p.candidates.size(); }
    void send(const std::string& key, const std::string& bytes) override;
    void stop(const std::string& key) override { started.push_back(key + " stopped"); }

    // A request to the peer: `deliver` runs there, and its answer runs
    // `answered` here.
    void request(const std::function<void(const IqRef&)>& deliver, std::function<void(bool)> answered);
};

struct Side {
    Side(const std::string& own, const std::string& ownFull, const std::string& contact, bool offersDirect)
        : full(ownFull),
          core(sink, wires, wires, log, own, {contact}, StreamSettings{64, 30s, 8, true}, keys, pins,
               DirectPathSides{&wires, &wires, PathSettings{offersDirect, {}, false}})
    {
        log.open("/dev/null");
        log.setCapture(true);
        wires.self = this;
    }
    std::string full;
    FakeSink sink;
    Wires wires;
    Log log;
    FakePins pins;
    noise::KeyPair keys = noise::KeyPair::generate();
    Messenger core;
    Hop inBand;  // toward this side, through the server
    Hop direct;  // toward this side, on the direct link
};

void Wires::request(const std::function<void(const IqRef&)>& deliver, std::function<void(bool)> answered)
{
    const std::string id = std::to_string(++ids);
    pending[id] = std::move(answered);
    peer->inBand.push_back([this, id, deliver] { deliver(IqRef{self->full, id}); });
}

void Wires::answer(const IqRef& ref, const char* error)
{
    const bool ok = error == nullptr;
    Side* asker = peer;
    peer->inBand.push_back([asker, id = ref.id, ok] {
        auto it = asker->wires.pending.find(id);
        if (it == asker->wires.pending.end())
            return;
        auto answered = std::move(it->second);
        asker->wires.pending.erase(it);
        if (answered)
            answered(ok);
    });
}

void Wires::openStream(const std::string&, const std::string& sid, const std::string& app, bool compact)
{
    Side* me = self;
    request(
        [me, sid, app, compact](const IqRef& r) { me->wires.peer->core.openRequest(me->full, sid, app, compact, r); },
        [me, sid, compact](bool ok) { me->core.openResult(me->wires.peer->full, sid, ok, ok && compact); });
}

void Wires::sendBlock(const std::string&, const std::string& sid, uint16_t seq, const std::string& data)
{
    Side* me = self;
    request([me, sid, seq, data](const IqRef& r) { me->wires.peer->core.block(me->full, sid, seq, data, r); },
            [me, sid, seq](bool ok) { me->core.blockResult(me->wires.peer->full, sid, seq, ok); });
}

void Wires::closeStream(const std::string&, const std::string& sid)
{
    Side* me = self;
    request([me, sid](const IqRef& r) { me->wires.peer->core.closeRequest(me->full, sid, r); }, [](bool) {});
}

void Wires::probe(const std::string&, const std::string& sid)
{
    Side* me = self;
    // The contact's XMPP side answers a probe itself.
    request([me](const IqRef& r) { me->wires.peer->wires.answer(r, nullptr); },
            [me, sid](bool ok) { me->core.probeResult(me->wires.peer->full, sid, ok); });
}

void Wires::signal(const std::string&, const PathSignal& s)
{
    Side* me = self;
    request([me, s](const IqRef& r) { me->wires.peer->core.directPaths()->pathSignal(me->full, s, r); },
            [me, sid = s.sid](bool ok) { me->core.directPaths()->pathSignalResult(me->wires.peer->full, sid, ok); });
}

void Wires::send(const std::string&, const std::string& bytes)
{
    Side* me = self;
    peer->direct.push_back([me, bytes] { me->wires.peer->core.directPaths()->linkData(me->full, bytes); });
}

class DirectPath : public ::testing::Test {
protected:
    // `bobOffers`: bob's daemon offers direct paths.
    explicit DirectPath(bool bobHasPaths = true) : bobOffers(bobHasPaths) {}

    void SetUp() override
    {
        alice.wires.peer = &bob;
        bob.wires.peer = &alice;
        for (auto [me, other] : {std::pair{&alice, &bob}, std::pair{&bob, &alice}}) {
            me->core.tick(now);
            me->core.rosterItem(bareOf(other->full), "both");
            me->core.serverOnline();
            me->core.presence(other->full, true, "", {kApp}, other == &bob ? bobOffers : true);
            me->core.clientDiscover(1);
            me->core.clientCommand(1, "CREATE APPLICATION " + kApp);
        }
    }
    static std::string bareOf(const std::string& full) { return full.substr(0, full.find('/')); }

    // Runs the steps waiting toward `to` on `hop`, those they add included.
    static void run(Hop Side::*hop, Side& to)
    {
        for (int guard = 0; guard < 10000 && !(to.*hop).empty(); ++guard) {
            auto step = std::move((to.*hop).front());
            (to.*hop).pop_front();
            step();
        }
    }
    // Everything in band both ways until nothing moves.
    void settle()
    {
        while (!alice.inBand.empty() || !bob.inBand.empty()) {
            run(&Side::inBand, bob);
            run(&Side::inBand, alice);
        }
    }
    // The streams have settled: alice's daemon offers the path with its
    // ICE parameters.
    void offer()
    {
        now += DirectPaths::kSettle;
        alice.core.tick(now);
        bob.core.tick(now);
        alice.core.directPaths()->localIce(kBobFull, IceParameters{"ufrag", std::string(22, 'p'), {}}, true);
        settle();
    }
    // Both links report a path, as ICE would once both have their peer's
    // parameters.
    void linkUp()
    {
        alice.core.directPaths()->linkUp(kBobFull,
                                         LinkRoute{false, "", "10.0.0.1:5000 (host)", "10.0.0.2:6000 (host)"});
        bob.core.directPaths()->linkUp(kAliceFull,
                                       LinkRoute{false, "", "10.0.0.2:6000 (host)", "10.0.0.1:5000 (host)"});
    }
    void write(const std::string& text, int id = 1)
    {
        alice.core.clientCommand(1, kAlter + "WRITE " + kBob + ":" + std::to_string(id) + " " + text);
    }
    // What bob's program reads of stream `id` now, in order.
    std::vector<std::string> readAll(int id = 1)
    {
        std::vector<std::string> texts;
        const std::string ref = kAlice + ":" + std::to_string(id);
        const std::string prefix = kAlter + "READ " + ref + " ";
        for (int i = 0; i < 100; ++i) {
            bob.sink.take(1);
            bob.core.clientCommand(1, kAlter + "READ " + ref);
            auto lines = bob.sink.take(1);
            if (lines.empty() || lines[0].rfind(prefix, 0) != 0)
                break;
            texts.push_back(lines[0].substr(prefix.size()));
        }
        return texts;
    }
    bool logged(const Side& s, const std::string& text) const
    {
        return s.log.captured().find(text) != std::string::npos;
    }

    const bool bobOffers;
    int stream = 0;  // the id of alice's stream to bob
    Clock::time_point now = Clock::now();
    Side alice{kAlice, kAliceFull, kBob, true};
    Side bob{kBob, kBobFull, kAlice, bobOffers};
};

class WithoutDirectPath : public DirectPath {
protected:
    WithoutDirectPath() : DirectPath(false) {}
};

TEST_F(DirectPath, TextsMoveOntoThePathAndBackInOrderWhateverArrivesFirst)
{
    alice.core.clientCommand(1, kAlter + "CONNECT " + kBob);
    settle();
    ASSERT_TRUE(logged(alice, "opened stream bob@h.test:1"));
    // Not before the stream has settled; then alice's account sorts first:
    // alice offers, bob answers.
    alice.core.tick(now + DirectPaths::kSettle - 1ms);
    EXPECT_TRUE(alice.wires.started.empty());
    offer();
    EXPECT_EQ(alice.wires.started, (std::vector<std::string>{kBobFull + " controlling"}));
    EXPECT_EQ(bob.wires.started, (std::vector<std::string>{kAliceFull + " controlled"}));

    // Two texts go in band and wait at the server; the path comes up and
    // the next two overtake them.
    write("one");
    write("two");
    linkUp();
    EXPECT_TRUE(logged(
        alice, "stream bob@h.test:1 of " + kApp + " goes direct (10.0.0.1:5000 (host) to 10.0.0.2:6000 (host))"));
    write("three");
    write("four");
    EXPECT_EQ(bob.inBand.size(), 2u);
    run(&Side::direct, bob);
    EXPECT_TRUE(readAll().empty());
    settle();
    run(&Side::direct, bob);
    run(&Side::direct, alice);
    settle();
    EXPECT_EQ(readAll(), (std::vector<std::string>{"one", "two", "three", "four"}));
    alice.sink.take(1);

    // The path fails with two texts on it: the first reached bob, whose
    // acknowledgement was lost with the path; the second was lost too.
    write("five");
    write("six");
    bob.direct.pop_back();
    run(&Side::direct, bob);
    alice.direct.clear();
    alice.core.directPaths()->linkDown(kBobFull, "the link timed out");
    bob.core.directPaths()->linkDown(kAliceFull, "the link timed out");
    EXPECT_TRUE(logged(alice, "stream bob@h.test:1 of " + kApp
                                  + " goes in band via the server: the direct path failed: the link timed out"));
    settle();
    EXPECT_EQ(readAll(), (std::vector<std::string>{"five", "six"}));
    settle();
    // Every text was acknowledged once: the window is empty.
    EXPECT_EQ(alice.sink.take(1).back(), "APPLICATION " + kApp + " SENDING");
    write("seven");
    EXPECT_EQ(bob.inBand.size(), 1u);
    settle();
    EXPECT_EQ(readAll(), (std::vector<std::string>{"seven"}));
}

TEST_F(DirectPath, TheCloseWaitsForTheBlocksBeforeIt)
{
    alice.core.clientCommand(1, kAlter + "CONNECT " + kBob);
    settle();
    offer();
    write("in band");
    linkUp();
    write("direct");
    alice.core.clientCommand(1, kAlter + "DISCONNECT " + kBob + ":1");
    // The end and the close overtake the first text on the direct path.
    run(&Side::direct, bob);
    EXPECT_EQ(bob.core.streamCount(), 1u);
    settle();
    EXPECT_EQ(bob.core.streamCount(), 0u);
    EXPECT_TRUE(logged(bob, "of " + kApp + " closed: closed by alice@h.test/pc"));
    EXPECT_FALSE(logged(bob, "broken"));
}

TEST_F(DirectPath, APathThatFailsOnEitherSideFirstLosesNothing)
{
    for (const bool aliceFirst : {true, false}) {
        SCOPED_TRACE(aliceFirst ? "alice notices first" : "bob notices first");
        alice.core.clientCommand(1, kAlter + "CONNECT " + kBob);
        settle();
        ++stream;
        // The second time round the path is tried again after the first
        // one failed.
        now += DirectPaths::kFirstRetry;
        alice.core.tick(now);
        bob.core.tick(now);
        offer();
        linkUp();
        write("a", stream);
        run(&Side::direct, bob);
        // One side's link reports the failure; the other still sends on it
        // until its own does, and what it sends meanwhile is lost.
        Side& first = aliceFirst ? alice : bob;
        Side& second = aliceFirst ? bob : alice;
        first.core.directPaths()->linkDown(aliceFirst ? kBobFull : kAliceFull, "the link timed out");
        write("b", stream);
        write("c", stream);
        bob.direct.clear();
        alice.direct.clear();
        second.core.directPaths()->linkDown(aliceFirst ? kAliceFull : kBobFull, "the link timed out");
        settle();
        EXPECT_EQ(readAll(stream), (std::vector<std::string>{"a", "b", "c"}));
    }
}

TEST_F(DirectPath, AContactsCandidatesAreBoundedPerPath)
{
    alice.core.clientCommand(1, kAlter + "CONNECT " + kBob);
    settle();
    now += DirectPaths::kSettle;
    alice.core.tick(now);
    // A PC with many interfaces: its reflexive candidate, gathered last,
    // still goes.
    IceParameters own{"ufrag", std::string(22, 'p'), std::vector<IceCandidate>(20)};
    for (size_t i = 0; i < own.candidates.size(); ++i) {
        own.candidates[i].ip = "192.168.7." + std::to_string(i + 1);
        own.candidates[i].port = 5000;
    }
    own.candidates.back().type = IceCandidate::Type::ServerReflexive;
    alice.core.directPaths()->localIce(kBobFull, own, true);
    settle();
    EXPECT_TRUE(logged(alice, "left out 4 of this side's candidates for bob@h.test/pc: a path takes 16"));
    EXPECT_TRUE(logged(bob, "candidates of alice@h.test/pc: srflx 192.168.7.20:5000, host 192.168.7.1:5000"));
    const std::string& said = alice.log.captured();
    const size_t from = said.find("(session ") + 9;
    const std::string sid = said.substr(from, said.find(')', from) - from);
    IceParameters many{"ufrag", std::string(22, 'q'), std::vector<IceCandidate>(10)};
    for (int i = 0; i < 2; ++i)
        alice.core.directPaths()->pathSignal(kBobFull, PathSignal{PathSignal::Action::Candidates, sid, many, {}},
                                             IqRef{kBobFull, "c" + std::to_string(i)});
    EXPECT_TRUE(logged(alice, "left out 4 candidates of bob@h.test/pc: more than 16 in one session"));
    EXPECT_EQ(alice.wires.remoteCandidates, kMaxIceCandidates);
}

TEST_F(DirectPath, TheOfferWaitsForGatheringAtMostASecond)
{
    alice.core.clientCommand(1, kAlter + "CONNECT " + kBob);
    settle();
    now += DirectPaths::kSettle;
    alice.core.tick(now);
    IceCandidate host;
    host.ip = "192.168.1.2";
    host.port = 5000;
    DirectPaths& paths = *alice.core.directPaths();
    paths.localIce(kBobFull, IceParameters{"ufrag", std::string(22, 'p'), {host}}, false);
    EXPECT_TRUE(bob.inBand.empty());
    now += DirectPaths::kGatherWait;
    alice.core.tick(now);
    settle();
    EXPECT_TRUE(logged(bob, "candidates of alice@h.test/pc: host 192.168.1.2:5000\n"));
    // Later candidates follow one by one.
    host.port = 5001;
    paths.localIce(kBobFull, IceParameters{"ufrag", std::string(22, 'p'), {host}}, false);
    settle();
    EXPECT_TRUE(logged(bob, "candidates of alice@h.test/pc: host 192.168.1.2:5001\n"));
}

TEST_F(WithoutDirectPath, StreamsStayInBandWithADaemonThatDoesNotOfferIt)
{
    alice.core.clientCommand(1, kAlter + "CONNECT " + kBob);
    settle();
    EXPECT_TRUE(alice.wires.started.empty());
    EXPECT_TRUE(logged(alice,
                       "no direct path to bob@h.test/pc: bob@h.test/pc does not offer direct paths; its streams "
                       "go in band via the server"));
    // An offer it makes anyway is refused.
    bob.core.directPaths()->pathSignal(kAliceFull, PathSignal{PathSignal::Action::Initiate, "x1", {}, {}}, IqRef{});
    EXPECT_TRUE(
        logged(bob, "refused a direct path offer of alice@h.test/pc: direct paths are off in the configuration"));
    write("still there");
    settle();
    EXPECT_EQ(readAll(), (std::vector<std::string>{"still there"}));
}

}  // namespace
