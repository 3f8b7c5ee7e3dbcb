// One stream's seal (messenger/stream_seal.h): a seal of either role fed
// the handshake blocks a peer (or the server between) may send, and a
// handshake between two seals with one byte of one block altered.
//
// Input: byte 0 chooses
//   bit 0      the mode: 0 one seal fed blocks, 1 two seals, one byte flipped
//   bits 1-2   the opener's pinned key: 0 none (XX), 1 the acceptor's (IK),
//              2 another key (IK, then XX again), 3 the all-zero key
//   bit 3      mode 0: the seal under test accepts (1) or opens (0)
//   bit 4      mode 0: a key shown is not accepted (the seal stays at Verify);
//              mode 1: the acceptor's prologue differs from the opener's
// byte 1: the acceptor's settings byte. Then
//   mode 0: blocks, each a 16-bit little-endian length and its bytes (the
//           last one takes what is left). Once established, a block is a
//           text to open and one to seal.
//   mode 1: the number of the block to alter (in the order sent, both sides
//           counted), its byte (16 bits, modulo its length), the XOR mask
//           (0: nothing altered); the rest is a text both sides seal.
//
// Checked: a Failed step stays Failed whatever comes; before Established
// seal() and sealEnd() give "" (never the text) and open() and openEnd()
// are false; a sealed text is the text and its tag; no block opens both as
// a text and as the end. Two seals whose handshake was not altered end
// established with each other's keys; two that both end established, altered
// or not, know each other's keys and open each other's texts and ends; a text sealed
// by one opens at the other only when both are established.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "messenger/crypto/noise.h"
#include "messenger/crypto/stream_seal.h"

namespace {

using Step = StreamSeal::Step;

const noise::KeyPair& openerKeys()
{
    static const noise::KeyPair k = noise::KeyPair::fromSecret(noise::Key{0x11});
    return k;
}

const noise::KeyPair& acceptorKeys()
{
    static const noise::KeyPair k = noise::KeyPair::fromSecret(noise::Key{0x22});
    return k;
}

const noise::Key* pinnedKey(unsigned choice)
{
    static const noise::KeyPair other = noise::KeyPair::fromSecret(noise::Key{0x33});
    static const noise::Key zero{};
    switch (choice) {
        case 1:
            return &acceptorKeys().pub;
        case 2:
            return &other.pub;
        case 3:
            return &zero;
        default:
            return nullptr;
    }
}

std::string prologue(bool other)
{
    return StreamSeal::prologue("bob@h.test", "alice@h.test", "s1", "CorvaneForFtp0000", other);
}

// What must hold of a seal before it is established, whatever came.
void checkNotEstablished(StreamSeal& seal, std::string_view text)
{
    FUZZ_CHECK(seal.seal(text).empty());
    FUZZ_CHECK(seal.sealEnd().empty());
    std::string opened = "unchanged";
    FUZZ_CHECK(!seal.open(text, opened));
    FUZZ_CHECK(!seal.openEnd(text));
}

void checkSealed(StreamSeal& seal, std::string_view text)
{
    const std::string sealed = seal.seal(text);
    FUZZ_CHECK(sealed.size() == text.size() + noise::kTagLength);
    // Eight bytes left as they were would not be chance.
    FUZZ_CHECK(text.size() < 8 || sealed.compare(0, text.size(), text) != 0);
}

// Mode 0: one seal, the blocks as they come.
void feedBlocks(unsigned flags, uint8_t settings, std::string_view in)
{
    const bool acceptor = flags & 0x08;
    const bool refuseKey = flags & 0x10;
    std::unique_ptr<StreamSeal> seal =
        acceptor ? StreamSeal::acceptor(acceptorKeys(), prologue(false), settings)
                 : StreamSeal::opener(openerKeys(), prologue(false), pinnedKey((flags >> 1) & 3));
    bool failed = seal->step() == Step::Failed;
    for (int n = 0; n < 64 && !in.empty(); ++n) {
        size_t length = in.size();
        if (in.size() >= 2) {
            length = std::min<size_t>(static_cast<uint8_t>(in[0]) | static_cast<uint8_t>(in[1]) << 8, in.size() - 2);
            in.remove_prefix(2);
        }
        const std::string_view block = in.substr(0, length);
        in.remove_prefix(length);
        seal->takeBlocks();

        if (seal->step() == Step::Established) {
            // A block is a text or the end, never both.
            std::string text;
            const bool isText = seal->open(block, text);
            FUZZ_CHECK(!(isText && seal->openEnd(block)));
            checkSealed(*seal, block);
            continue;
        }
        Step step = seal->receive(block);
        if (step == Step::Verify && !refuseKey)
            step = seal->accept();
        FUZZ_CHECK(step == seal->step());
        if (failed)
            FUZZ_CHECK(step == Step::Failed);
        failed = step == Step::Failed;
        if (step != Step::Established)
            checkNotEstablished(*seal, block);
    }
    if (failed) {
        FUZZ_CHECK(seal->accept() == Step::Failed);
        FUZZ_CHECK(seal->receive("X") == Step::Failed);
        FUZZ_CHECK(seal->step() == Step::Failed);
        checkNotEstablished(*seal, "00ff");
    }
}

// Mode 1: a handshake between two seals, one byte of one block altered.
void alteredHandshake(unsigned flags, uint8_t settings, std::string_view in)
{
    if (in.size() < 4)
        return;
    const size_t target = static_cast<uint8_t>(in[0]);
    const size_t offset = static_cast<uint8_t>(in[1]) | static_cast<uint8_t>(in[2]) << 8;
    const auto mask = static_cast<char>(in[3]);
    const std::string text(in.substr(4));
    const unsigned pin = (flags >> 1) & 3;
    const bool otherPrologue = flags & 0x10;

    auto opener = StreamSeal::opener(openerKeys(), prologue(false), pinnedKey(pin));
    auto acceptor = StreamSeal::acceptor(acceptorKeys(), prologue(otherPrologue), settings);
    bool altered = false;
    size_t sent = 0;
    // Hands every waiting block of `from` to `to`; false when there was none.
    auto pass = [&](StreamSeal& from, StreamSeal& to) {
        std::vector<std::string> blocks = from.takeBlocks();
        for (std::string& b : blocks) {
            if (sent++ == target && mask != 0 && !b.empty()) {
                b[offset % b.size()] ^= mask;
                altered = true;
            }
            if (to.step() != Step::Pending)
                continue;
            if (to.receive(b) == Step::Verify)
                to.accept();
        }
        return !blocks.empty();
    };
    for (int round = 0; round < 8; ++round) {
        const bool any = pass(*opener, *acceptor);
        if (!pass(*acceptor, *opener) && !any)
            break;
    }

    const bool bothEstablished = opener->step() == Step::Established && acceptor->step() == Step::Established;
    if (!altered && !otherPrologue && pin != 3)
        FUZZ_CHECK(bothEstablished);
    if (bothEstablished) {
        FUZZ_CHECK(opener->peerKey() == acceptorKeys().pub);
        FUZZ_CHECK(acceptor->peerKey() == openerKeys().pub);
        FUZZ_CHECK(opener->peerSettings() == settings);
        std::string got;
        FUZZ_CHECK(acceptor->open(opener->seal(text), got) && got == text);
        FUZZ_CHECK(opener->open(acceptor->seal(text), got) && got == text);
        // The end opens as the end only, a text as a text only.
        const std::string end = opener->sealEnd();
        FUZZ_CHECK(!acceptor->open(end, got) && acceptor->openEnd(end));
        FUZZ_CHECK(!opener->openEnd(acceptor->seal(text)));
        return;
    }
    // At most one side got its keys: what it seals opens nowhere.
    for (StreamSeal* s : {opener.get(), acceptor.get()}) {
        StreamSeal* other = s == opener.get() ? acceptor.get() : opener.get();
        if (s->step() != Step::Established) {
            checkNotEstablished(*s, text);
            continue;
        }
        std::string got;
        FUZZ_CHECK(!other->open(s->seal(text), got));
    }
}

// With STREAM_SEAL_FUZZ_SEEDS=<folder>: writes the blocks of real
// handshakes there as seeds of mode 0 and stops (fuzz/make_corpus.py). The
// blocks are made with fixed ephemeral keys, framed as StreamSeal frames
// them (a kind byte, then the Noise message), so the seeds stay the same.
void writeSeeds(const char* folder)
{
    auto save = [folder](const std::string& name, const std::string& data) {
        const std::string path = std::string(folder) + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size() || std::fclose(f) != 0) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            std::exit(1);
        }
    };
    auto record = [](const std::string& block) {
        return std::string(1, static_cast<char>(block.size() & 0xff)) + static_cast<char>(block.size() >> 8) + block;
    };
    const noise::KeyPair openerEphemeral = noise::KeyPair::fromSecret(noise::Key{0x44});
    const noise::KeyPair acceptorEphemeral = noise::KeyPair::fromSecret(noise::Key{0x55});
    const std::string p = prologue(false);
    const std::string text(40, 'x');
    std::string message;
    std::string payload;

    // The opener's first block, for an acceptor: XX, and IK, which waits for
    // the opener's confirmation (it cannot be made here: the acceptor's
    // ephemeral key is new each run), then a block that is not one.
    noise::HandshakeState xx(noise::Pattern::XX, true, p, openerKeys(), nullptr, &openerEphemeral);
    FUZZ_CHECK(xx.writeMessage({}, message));
    const std::string firstXX = "X" + message;
    save("acceptor_xx", std::string("\x08\x01", 2) + record(firstXX) + record(text));
    noise::HandshakeState ik(noise::Pattern::IK, true, p, openerKeys(), &acceptorKeys().pub, &openerEphemeral);
    FUZZ_CHECK(ik.writeMessage({}, message));
    save("acceptor_ik", std::string("\x08\x01", 2) + record("I" + message) + record(text));

    // The acceptor's answer, for an opener (whose own ephemeral key is new
    // each run, so it does not verify), and the request to start over.
    noise::HandshakeState answer(noise::Pattern::XX, false, p, acceptorKeys(), nullptr, &acceptorEphemeral);
    FUZZ_CHECK(answer.readMessage(firstXX.substr(1), payload));
    FUZZ_CHECK(answer.writeMessage(std::string(1, '\x01'), message));
    save("opener_xx", std::string("\x00\x01", 2) + record("X" + message) + record("C"));
    save("opener_restart", std::string("\x04\x01", 2) + record("R") + record(std::string(48, 'y')));
    std::exit(0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FUZZ_CHECK(noise::initialize());
    if (const char* folder = std::getenv("STREAM_SEAL_FUZZ_SEEDS"))
        writeSeeds(folder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    if (data[0] & 1)
        alteredHandshake(data[0], data[1], rest);
    else
        feedBlocks(data[0], data[1], rest);
    return 0;
}
