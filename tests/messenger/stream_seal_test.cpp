// The handshake and sealing of one stream between two daemons, both ends
// in the test: when a key shows and is confirmed, starting over from IK, and
// what a server in between cannot make either end accept. Which keys are
// learnt, pinned and used: messenger_core_test.
#include "messenger/crypto/stream_seal.h"

#include <gtest/gtest.h>

namespace {

using Step = StreamSeal::Step;

class StreamSealTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(noise::initialize()); }

    const std::string prologue = StreamSeal::prologue("alice@h.test", "bob@h.test", "sid1", "App", true);
    noise::KeyPair alice = noise::KeyPair::generate();
    noise::KeyPair bob = noise::KeyPair::generate();

    // Passes blocks between the two ends until neither has one to send;
    // each end's key check accepts.
    static void run(StreamSeal& opener, StreamSeal& acceptor)
    {
        for (bool moved = true; moved;) {
            moved = false;
            for (auto [from, to] : {std::pair{&opener, &acceptor}, std::pair{&acceptor, &opener}}) {
                for (const std::string& b : from->takeBlocks()) {
                    moved = true;
                    if (to->receive(b) == Step::Verify)
                        to->accept();
                }
            }
        }
    }
};

}  // namespace

TEST_F(StreamSealTest, XXOpenerShowsItsKeyAfterItsCheckAndIsEstablishedOnlyOnAVerifiedConfirmation)
{
    auto opener = StreamSeal::opener(alice, prologue, nullptr);
    auto acceptor = StreamSeal::acceptor(bob, prologue, 0);
    // Nothing is sealed or opened before the handshake is done.
    EXPECT_EQ(opener->seal("plain text"), "");
    std::string text;
    EXPECT_FALSE(opener->open("plain text", text));
    acceptor->receive(opener->takeBlocks().at(0));
    ASSERT_EQ(opener->receive(acceptor->takeBlocks().at(0)), Step::Verify);
    // Refused here, the opener has sent nothing that carries its key.
    EXPECT_TRUE(opener->takeBlocks().empty());
    // Its last message sent, the opener still waits: the contact may refuse
    // its key.
    EXPECT_EQ(opener->accept(), Step::Pending);
    EXPECT_EQ(opener->seal("too early"), "");
    const std::vector<std::string> last = opener->takeBlocks();
    ASSERT_EQ(last.size(), 1u);
    EXPECT_FALSE(acceptor->open(last[0], text));
    ASSERT_EQ(acceptor->receive(last[0]), Step::Verify);
    ASSERT_EQ(acceptor->accept(), Step::Established);
    std::vector<std::string> confirmation = acceptor->takeBlocks();
    ASSERT_EQ(confirmation.size(), 1u);
    // A confirmation of another session (made without this one's keys) is
    // refused.
    auto again = StreamSeal::opener(alice, prologue, nullptr);
    auto other = StreamSeal::acceptor(bob, prologue, 0);
    other->receive(again->takeBlocks().at(0));
    again->receive(other->takeBlocks().at(0));
    again->accept();
    EXPECT_EQ(again->receive(confirmation[0]), Step::Failed);

    EXPECT_EQ(opener->receive(confirmation[0]), Step::Established);
    ASSERT_TRUE(acceptor->open(opener->seal("to b"), text));
    EXPECT_EQ(text, "to b");
    ASSERT_TRUE(opener->open(acceptor->seal("to a"), text));
    EXPECT_EQ(text, "to a");
}

TEST_F(StreamSealTest, TheSealedEndIsNoTextAndNoTextIsTheEnd)
{
    auto opener = StreamSeal::opener(alice, prologue, &bob.pub);
    auto acceptor = StreamSeal::acceptor(bob, prologue, 0);
    run(*opener, *acceptor);
    std::string text;
    const std::string empty = opener->seal("");
    EXPECT_FALSE(acceptor->openEnd(empty));
    ASSERT_TRUE(acceptor->open(empty, text));
    const std::string end = opener->sealEnd();
    EXPECT_FALSE(acceptor->open(end, text));
    EXPECT_TRUE(acceptor->openEnd(end));
}

TEST_F(StreamSealTest, StartingOverHappensOnceAndOnlyAfterIK)
{
    // A server that answers "start over" to XX ends the handshake (to IK
    // twice: messenger_core_test).
    auto xx = StreamSeal::opener(alice, prologue, nullptr);
    xx->takeBlocks();
    EXPECT_EQ(xx->receive("R"), Step::Failed);
    const noise::KeyPair old = noise::KeyPair::generate();

    // The acceptor asks once; a second IK message is not read.
    auto acceptor = StreamSeal::acceptor(bob, prologue, 0);
    auto stale = StreamSeal::opener(alice, prologue, &old.pub);
    const std::string first = stale->takeBlocks().at(0);
    EXPECT_EQ(acceptor->receive(first), Step::Pending);
    EXPECT_EQ(acceptor->takeBlocks(), (std::vector<std::string>{"R"}));
    EXPECT_EQ(acceptor->receive(first), Step::Failed);
}

TEST_F(StreamSealTest, DifferentProloguesNeverEstablish)
{
    // Everything the server could change in the request: the accounts, the
    // session, the application, the compact offer.
    const std::string others[] = {
        StreamSeal::prologue("mallory@h.test", "bob@h.test", "sid1", "App", true),
        StreamSeal::prologue("alice@h.test", "bob@h.test", "sid2", "App", true),
        StreamSeal::prologue("alice@h.test", "bob@h.test", "sid1", "App2", true),
        StreamSeal::prologue("alice@h.test", "bob@h.test", "sid1", "App", false),
    };
    for (const std::string& other : others) {
        const noise::Key* pins[] = {nullptr, &bob.pub};
        for (const noise::Key* pin : pins) {
            auto opener = StreamSeal::opener(alice, prologue, pin);
            auto acceptor = StreamSeal::acceptor(bob, other, 0);
            run(*opener, *acceptor);
            EXPECT_FALSE(opener->step() == Step::Established && acceptor->step() == Step::Established);
        }
    }
    // Case alone does not make another account.
    EXPECT_EQ(StreamSeal::prologue("Alice@H.test", "bob@h.test", "sid1", "App", true), prologue);
}
