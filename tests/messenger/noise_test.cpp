// The Noise handshakes XX and IK: the published test vectors byte for byte,
// then what the vectors do not show: a wrong or weak key or a message out of
// turn ends the handshake for good, and the transport ciphers refuse
// replays, reorders, drops and changes. Changed handshake messages: the
// prologues of stream_seal_test.
#include "messenger/crypto/noise.h"
#include "messenger/crypto/fingerprint.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using noise::CipherState;
using noise::HandshakeState;
using noise::Key;
using noise::KeyPair;
using noise::Pattern;

// A copy of a transport cipher would seal twice under one key and nonce.
static_assert(!std::is_copy_constructible_v<CipherState> && !std::is_copy_assignable_v<CipherState>);

std::string fromHex(const std::string& hex)
{
    std::string out(hex.size() / 2, '\0');
    return bytesOf(hex, reinterpret_cast<uint8_t*>(out.data()), out.size()) ? out : "<not hex>";
}

std::string toHex(const std::string& bytes)
{
    return hexOf(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

Key keyFromHex(const std::string& hex)
{
    Key key{};
    EXPECT_TRUE(bytesOf(hex, key.data(), key.size())) << hex;
    return key;
}

class NoiseBase : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(noise::initialize()); }
};

// ---------------------------------------------------------------------------
// Test vectors. Source: the cacophony vectors as kept in the repository
// mcginty/snow, file tests/vectors/cacophony.txt, commit
// aabed3159deec0a0dfe3d5601c43322d84700c94 (older copies of that file give
// as handshake_hash the hash before the last handshake message; their
// messages are the same). Messages alternate initiator, responder,
// initiator, ... through the handshake and on into the transport messages;
// one transport message each of the responder (XX) and the initiator (IK)
// shows which key of the split each side sends with.

struct VectorMessage {
    const char* payload;
    const char* ciphertext;
};

struct Vector {
    const char* name;
    Pattern pattern;
    const char* prologue;
    const char* initStatic;
    const char* initEphemeral;
    const char* initRemoteStatic;  // IK only
    const char* respStatic;
    const char* respEphemeral;
    const char* handshakeHash;
    size_t handshakeMessages;
    std::vector<VectorMessage> messages;
};

const Vector kVectors[] = {
    {"Noise_XX_25519_ChaChaPoly_SHA256",
     Pattern::XX,
     "4a6f686e2047616c74",
     "e61ef9919cde45dd5f82166404bd08e38bceb5dfdfded0a34c8df7ed542214d1",
     "893e28b9dc6ca8d611ab664754b8ceb7bac5117349a4439a6b0569da977c464a",
     nullptr,
     "4a3acbfdb163dec651dfa3194dece676d437029c62a408b4c5ea9114246e4893",
     "bbdb4cdbd309f1a1f2e1456967fe288cadd6f712d65dc7b7793d5e63da6b375b",
     "c8e5f64e846193be2a834104c2a009868d6c9f3bd3c186299888b488b2f1f58e",
     3,
     {
         {"4c756477696720766f6e204d69736573",
          "ca35def5ae56cec33dc2036731ab14896bc4c75dbb07a61f879f8e3afa4c79444c756477696720766f6e204d69736573"},
         {"4d757272617920526f746862617264",
          "95ebc60d2b1fa672c1f46a8aa265ef51bfe38e7ccb39ec5be34069f14480884381cbad1f276e038c48378ffce2b65285e08d6b6"
          "8aaa3629a5a8639392490e5b9bd5269c2f1e4f488ed8831161f19b7815528f8982ffe09be9b5c412f8a0db50f8814c7194e83f2"
          "3dbd8d162c9326ad"},
         {"462e20412e20486179656b",
          "c7195ffacac1307ff99046f219750fc47693e23c3cb08b89c2af808b444850a80ae475b9df0f169ae80a89be0865b57f58c9fea"
          "0d4ec82a286427402f113e4b6ae769a1d95941d49b25030"},
         {"4361726c204d656e676572", "96763ed773f8e47bb3712f0e29b3060ffc956ffc146cee53d5e1df"},
     }},
    {"Noise_IK_25519_ChaChaPoly_SHA256",
     Pattern::IK,
     "4a6f686e2047616c74",
     "e61ef9919cde45dd5f82166404bd08e38bceb5dfdfded0a34c8df7ed542214d1",
     "893e28b9dc6ca8d611ab664754b8ceb7bac5117349a4439a6b0569da977c464a",
     "31e0303fd6418d2f8c0e78b91f22e8caed0fbe48656dcf4767e4834f701b8f62",
     "4a3acbfdb163dec651dfa3194dece676d437029c62a408b4c5ea9114246e4893",
     "bbdb4cdbd309f1a1f2e1456967fe288cadd6f712d65dc7b7793d5e63da6b375b",
     "0b0f68fb0c27e03ce9b97565995ed4838cc0581b762ef72b062f6a546419fad7",
     2,
     {
         {"4c756477696720766f6e204d69736573",
          "ca35def5ae56cec33dc2036731ab14896bc4c75dbb07a61f879f8e3afa4c7944718da798efbcd91528520204f904b9bd6c7413d"
          "ccdc214d951e15253e39987f18146e8cd0873654207148333479d4d16c289f0294b29960a72f48e0b7bba2e89083169825e5964"
          "2148d492020664ccf7"},
         {"4d757272617920526f746862617264",
          "95ebc60d2b1fa672c1f46a8aa265ef51bfe38e7ccb39ec5be34069f1448088435361e70b2ed446e6c9ec387d1d6b3b840f194e3"
          "73979d241b203c4acafccf5"},
         {"462e20412e20486179656b", "050e9f3c8fac16b68dbce8f8c4bfbf6617c897f9ada4aa29aa19c8"},
     }},
};

TEST_F(NoiseBase, EveryMessageAndTheHandshakeHashMatchByteForByte)
{
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.name);
        ASSERT_EQ(HandshakeState::protocolName(v.pattern), v.name);
        const std::string prologue = fromHex(v.prologue);
        const KeyPair initStatic = KeyPair::fromSecret(keyFromHex(v.initStatic));
        const KeyPair initEphemeral = KeyPair::fromSecret(keyFromHex(v.initEphemeral));
        const KeyPair respStatic = KeyPair::fromSecret(keyFromHex(v.respStatic));
        const KeyPair respEphemeral = KeyPair::fromSecret(keyFromHex(v.respEphemeral));
        Key remote{};
        if (v.initRemoteStatic)
            remote = keyFromHex(v.initRemoteStatic);

        HandshakeState init(v.pattern, true, prologue, initStatic, v.initRemoteStatic ? &remote : nullptr,
                            &initEphemeral);
        HandshakeState resp(v.pattern, false, prologue, respStatic, nullptr, &respEphemeral);

        CipherState initSend, initReceive, respSend, respReceive;
        for (size_t i = 0; i < v.messages.size(); ++i) {
            SCOPED_TRACE("message " + std::to_string(i));
            const bool fromInit = i % 2 == 0;
            std::string message, payload;
            if (i < v.handshakeMessages) {
                ASSERT_TRUE((fromInit ? init : resp).writeMessage(fromHex(v.messages[i].payload), message));
                ASSERT_TRUE((fromInit ? resp : init).readMessage(message, payload));
            } else {
                if (i == v.handshakeMessages) {
                    ASSERT_TRUE(init.finished() && resp.finished());
                    EXPECT_EQ(toHex(init.handshakeHash()), v.handshakeHash);
                    EXPECT_EQ(toHex(resp.handshakeHash()), v.handshakeHash);
                    EXPECT_EQ(init.remoteStatic(), respStatic.pub);
                    EXPECT_EQ(resp.remoteStatic(), initStatic.pub);
                    ASSERT_TRUE(init.split(initSend, initReceive));
                    ASSERT_TRUE(resp.split(respSend, respReceive));
                }
                message = (fromInit ? initSend : respSend).encryptWithAd("", fromHex(v.messages[i].payload));
                ASSERT_TRUE((fromInit ? respReceive : initReceive).decryptWithAd("", message, payload));
            }
            EXPECT_EQ(toHex(message), v.messages[i].ciphertext);
            EXPECT_EQ(toHex(payload), v.messages[i].payload);
        }
        // The two directions use different keys: a side cannot open its own text.
        std::string opened;
        EXPECT_FALSE(initReceive.decryptWithAd("", initSend.encryptWithAd("", "echo"), opened));
    }
}

// Two fresh sides; `responderKey`: what an IK initiator believes the
// responder's key is.
struct Sides {
    KeyPair initStatic = KeyPair::generate();
    KeyPair respStatic = KeyPair::generate();
    std::unique_ptr<HandshakeState> init;
    std::unique_ptr<HandshakeState> resp;

    explicit Sides(Pattern pattern, const Key* responderKey = nullptr)
    {
        init = std::make_unique<HandshakeState>(pattern, true, "prologue", initStatic,
                                                responderKey ? responderKey : &respStatic.pub);
        resp = std::make_unique<HandshakeState>(pattern, false, "prologue", respStatic);
    }
    // Passes messages 0..n-1; false when one fails.
    bool pass(size_t n)
    {
        std::string message, payload;
        for (size_t i = 0; i < n; ++i)
            if (!(i % 2 == 0 ? *init : *resp).writeMessage("p" + std::to_string(i), message)
                || !(i % 2 == 0 ? *resp : *init).readMessage(message, payload) || payload != "p" + std::to_string(i))
                return false;
        return true;
    }
};

TEST_F(NoiseBase, WrongWeakOrMissingKeysMessagesOutOfTurnOrTooLongFail)
{
    std::string message, payload;
    // IK: a responder key that is not the responder's, or none.
    const Key wrong = KeyPair::generate().pub;
    Sides misled(Pattern::IK, &wrong);
    ASSERT_TRUE(misled.init->writeMessage("hello", message));
    EXPECT_FALSE(misled.resp->readMessage(message, payload));
    EXPECT_FALSE(misled.resp->hasRemoteStatic());
    // Failed for good: neither a retry nor a split works.
    EXPECT_TRUE(misled.resp->failed());
    EXPECT_FALSE(misled.resp->writeMessage("more", message));
    EXPECT_FALSE(misled.resp->readMessage(std::string(96, 'x'), payload));
    CipherState a, b;
    EXPECT_FALSE(misled.resp->split(a, b));
    EXPECT_FALSE(a.hasKey());
    HandshakeState blind(Pattern::IK, true, "", KeyPair::generate());
    EXPECT_FALSE(blind.writeMessage("hello", message));
    EXPECT_TRUE(blind.failed());

    // Public keys of small order give an all-zero shared secret.
    Key zero{};
    Key one{};
    one[0] = 1;
    for (const Key& weak : {zero, one}) {
        Sides xx(Pattern::XX);
        ASSERT_TRUE(
            xx.resp->readMessage(std::string(reinterpret_cast<const char*>(weak.data()), weak.size()), payload));
        EXPECT_FALSE(xx.resp->writeMessage("reply", message));
        EXPECT_TRUE(xx.resp->failed());
        EXPECT_FALSE(Sides(Pattern::IK, &weak).init->writeMessage("hello", message));
        Sides ik(Pattern::IK);
        ASSERT_TRUE(ik.init->writeMessage("hello", message));
        std::copy(weak.begin(), weak.end(), message.begin());
        EXPECT_FALSE(ik.resp->readMessage(message, payload));
        EXPECT_TRUE(ik.resp->failed());
    }

    // Out of turn: the responder first, the initiator twice, a split
    // before the end, a message after it.
    for (Pattern pattern : {Pattern::XX, Pattern::IK}) {
        Sides first(pattern);
        EXPECT_FALSE(first.resp->writeMessage("first", message));
        EXPECT_FALSE(first.init->readMessage(std::string(96, 'x'), payload));
        EXPECT_TRUE(first.resp->failed() && first.init->failed());
        Sides twice(pattern);
        ASSERT_TRUE(twice.init->writeMessage("one", message));
        EXPECT_FALSE(twice.init->writeMessage("two", message));
        Sides early(pattern);
        CipherState send, receive;
        ASSERT_TRUE(early.init->writeMessage("one", message));
        EXPECT_FALSE(early.init->split(send, receive));
        EXPECT_FALSE(send.hasKey());
        Sides done(pattern);
        ASSERT_TRUE(done.pass(pattern == Pattern::XX ? 3 : 2));
        EXPECT_FALSE(done.resp->writeMessage("late", message));
    }

    // At most 65535 bytes a message: XX's first is the 32-byte ephemeral
    // key and the payload in clear; sealed, the same payload no longer fits.
    const std::string longest(noise::kMaxMessageLength - 32, 'p');
    Sides fits(Pattern::XX);
    ASSERT_TRUE(fits.init->writeMessage(longest, message));
    EXPECT_EQ(message.size(), noise::kMaxMessageLength);
    ASSERT_TRUE(fits.resp->readMessage(message, payload));
    EXPECT_EQ(payload, longest);
    EXPECT_FALSE(Sides(Pattern::XX).init->writeMessage(longest + "p", message));
    Sides tooLong(Pattern::XX);
    ASSERT_TRUE(tooLong.init->writeMessage("", message));
    message.append(noise::kMaxMessageLength + 1 - message.size(), 'p');
    EXPECT_FALSE(tooLong.resp->readMessage(message, payload));
    EXPECT_FALSE(Sides(Pattern::IK).init->writeMessage(longest, message));
}

TEST_F(NoiseBase, OnlyTheNextTransportTextInOrderOpensAndTheLastNonceIsNeverUsed)
{
    Sides sides(Pattern::XX);
    ASSERT_TRUE(sides.pass(3));
    CipherState send, receive, unused;
    ASSERT_TRUE(sides.init->split(send, unused));
    ASSERT_TRUE(sides.resp->split(unused, receive));
    const std::string c0 = send.encryptWithAd("", "zero");
    const std::string c1 = send.encryptWithAd("", "one");
    EXPECT_EQ(c0.size(), 4 + noise::kTagLength);
    std::string opened;
    // Reordered (or c0 dropped): c1 does not open in c0's place, and the
    // failure does not use up c0's nonce.
    EXPECT_FALSE(receive.decryptWithAd("", c1, opened));
    EXPECT_EQ(receive.nonce(), 0u);
    ASSERT_TRUE(receive.decryptWithAd("", c0, opened));
    EXPECT_EQ(opened, "zero");
    // Replayed.
    EXPECT_FALSE(receive.decryptWithAd("", c0, opened));
    // Altered: any flipped bit, tag included; shortened; other data.
    for (size_t bit = 0; bit < c1.size() * 8; ++bit) {
        std::string altered = c1;
        altered[bit / 8] = static_cast<char>(altered[bit / 8] ^ (1 << (bit % 8)));
        EXPECT_FALSE(receive.decryptWithAd("", altered, opened)) << bit;
    }
    EXPECT_FALSE(receive.decryptWithAd("", c1.substr(0, c1.size() - 1), opened));
    EXPECT_FALSE(receive.decryptWithAd("", c1.substr(0, noise::kTagLength - 1), opened));
    EXPECT_FALSE(receive.decryptWithAd("other", c1, opened));
    ASSERT_TRUE(receive.decryptWithAd("", c1, opened));
    EXPECT_EQ(opened, "one");
    EXPECT_EQ(receive.nonce(), 2u);

    const uint64_t last = ~uint64_t{0};
    send.setNonce(last - 1);
    receive.setNonce(last - 1);
    const std::string sealed = send.encryptWithAd("", "final");
    ASSERT_TRUE(receive.decryptWithAd("", sealed, opened));
    EXPECT_EQ(send.encryptWithAd("", "beyond"), "");
    EXPECT_EQ(send.nonce(), last);
    EXPECT_FALSE(receive.decryptWithAd("", sealed, opened));
}

}  // namespace
