// Cases the fuzz targets of fuzz/ found in the daemon's core, kept as tests.
// Reproducers: fuzz/crashes/.
#include "messenger/compact_text.h"
#include "messenger/messenger.h"
#include "tests/messenger/fake_sides.h"
#include "wire/api_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::string kApp = "CorvaneForFtp0000";
const std::string kBobFull = "bob@h.test/pc";

// What the program's side of the local socket makes of a line: the command
// frame the daemon sends for it, decoded.
::testing::AssertionResult reachesTheProgram(const std::string& line)
{
    FrameDecoder decoder;
    const std::string bytes = encodeCommand(line);
    decoder.feed(bytes.data(), bytes.size());
    Frame frame;
    if (decoder.next(frame) != FrameDecoder::Result::Frame)
        return ::testing::AssertionFailure() << "the program refuses the frame: " << decoder.error();
    if (frame.type != 'C' || frame.text != line)
        return ::testing::AssertionFailure() << "the program reads another line";
    return ::testing::AssertionSuccess();
}

// A text of a peer's data block with a zero byte in it, read by the program.
// A command frame cannot carry a zero byte: the program's decoder ends the
// connection on one, so the peer would cut every tunnel of the program. No
// daemon sends such a text (a WRITE cannot hold one); whatever the core does
// with it, the lines it gives the program stay lines the program can read.
void zeroByteBlockThenRead(bool compact)
{
    FakeSink sink;
    FakeLink link;
    Log log;
    log.open("/dev/null");
    const noise::KeyPair aliceKeys = noise::KeyPair::generate();
    FakePins pins;
    Messenger core(sink, link, log, "alice@h.test", {"bob@h.test"}, StreamSettings{3, 30s, 1, compact}, aliceKeys,
                   pins);
    core.tick(Messenger::Clock::now());
    core.rosterItem("bob@h.test", "both");
    core.serverOnline();
    core.presence(kBobFull, true, "", {kApp});
    core.clientDiscover(1);
    core.clientCommand(1, "CREATE APPLICATION " + kApp);
    // bob's daemon opens the stream and runs the handshake.
    auto bob = StreamSeal::opener(noise::KeyPair::generate(),
                                  StreamSeal::prologue("bob@h.test", "alice@h.test", "s", kApp, compact), nullptr);
    link.reveal = [&bob](const std::string&, const std::string& block) {
        if (bob->receive(block) == StreamSeal::Step::Verify)
            bob->accept();
        return std::string();
    };
    core.openRequest(kBobFull, "s", kApp, compact, IqRef{kBobFull, "open"});
    uint16_t seq = 0;
    for (int round = 0; round < 2; ++round)
        for (const std::string& block : bob->takeBlocks())
            core.block(kBobFull, "s", seq++, block, IqRef{kBobFull, "h" + std::to_string(seq)});
    ASSERT_EQ(bob->step(), StreamSeal::Step::Established);

    const std::string text(
        "0a\0"
        "0b",
        5);
    core.block(kBobFull, "s", seq, bob->seal(compact ? packText(text) : text), IqRef{kBobFull, "d0"});
    core.clientCommand(1, "ALTER APPLICATION " + kApp + " READ bob@h.test:1");
    core.clientCommand(1, "PING");

    const std::vector<std::string> lines = sink.take(1);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "PONG");
    for (const std::string& line : lines)
        EXPECT_TRUE(reachesTheProgram(line)) << line.size() << " bytes: " << line.c_str();
}

}  // namespace

// fuzz/crashes/messenger_events_fuzz-zero-byte-in-block
TEST(MessengerFuzzRegression, ZeroByteInAPeersTextNeverReachesTheProgram)
{
    zeroByteBlockThenRead(false);
    zeroByteBlockThenRead(true);
}
