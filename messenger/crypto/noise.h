// The Noise protocol framework (revision 34) for the two handshake patterns
// the daemons use between each other, XX and IK, instantiated as
// Noise_XX_25519_ChaChaPoly_SHA256 and Noise_IK_25519_ChaChaPoly_SHA256.
// Every primitive comes from libsodium: X25519 (crypto_scalarmult),
// ChaCha20-Poly1305 IETF (crypto_aead_chacha20poly1305_ietf, nonce = four
// zero bytes and the 64-bit little-endian counter), SHA-256 and
// HMAC-SHA-256 (crypto_hash_sha256, crypto_auth_hmacsha256). Pure
// computation, no I/O; secrets are wiped when their holder goes away.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace noise {

constexpr size_t kKeyLength = 32;
constexpr size_t kTagLength = 16;
// The longest Noise message; the daemons' handshake messages are far
// shorter, and their transport texts are not bound by it.
constexpr size_t kMaxMessageLength = 65535;

using Key = std::array<uint8_t, kKeyLength>;

// Makes libsodium ready (sodium_init); false when it cannot be. Safe to
// call more than once; every other function here needs it first.
bool initialize();

struct KeyPair {
    Key secret{};
    Key pub{};

    // A new random pair.
    static KeyPair generate();
    // The pair of this secret (the public key is computed).
    static KeyPair fromSecret(const Key& secret);
    ~KeyPair();
    KeyPair() = default;
    KeyPair(const KeyPair&) = default;
    KeyPair& operator=(const KeyPair&) = default;
};

// A key and its 64-bit counter nonce.
class CipherState {
public:
    CipherState() = default;
    ~CipherState();
    // A copy would seal under nonces that the original uses as well: one
    // key and nonce twice gives the plaintexts away. Never copied or moved.
    CipherState(const CipherState&) = delete;
    CipherState& operator=(const CipherState&) = delete;

    void initializeKey(const Key& key);
    bool hasKey() const { return keyed; }
    // Forgets the key: as a new CipherState.
    void clear();
    uint64_t nonce() const { return n; }
    // Moves the counter (the framework's SetNonce); the tests use it to
    // reach the end of the nonces.
    void setNonce(uint64_t nonce) { n = nonce; }

    // Seals `plaintext` with associated data `ad` under the next nonce:
    // the ciphertext followed by its 16-byte tag. Without a key, the
    // plaintext itself (as the framework defines). No limit on length.
    // Nonce 2^64-1 is reserved: once the counter reaches it, nothing more
    // is sealed and the result is empty (a keyed cipher gives at least the
    // 16-byte tag otherwise), so an empty result means the key is spent.
    std::string encryptWithAd(std::string_view ad, std::string_view plaintext);
    // Opens what encryptWithAd made under the next nonce; false when the
    // tag does not verify (the nonce is then not used up) or the nonces are
    // spent. Without a key, the ciphertext itself.
    bool decryptWithAd(std::string_view ad, std::string_view ciphertext, std::string& plaintext);

private:
    Key k{};
    uint64_t n = 0;
    bool keyed = false;
};

enum class Pattern { XX, IK };

// One side of one handshake. Messages alternate, the initiator first:
//   XX:  -> e          <- e, ee, s, es      -> s, se
//   IK:  <- s  ...  -> e, es, s, ss        <- e, ee, se
class HandshakeState {
public:
    // `remoteStatic`: the responder's public key, required for an IK
    // initiator and ignored otherwise. `ephemeral`: a fixed ephemeral key
    // pair for test vectors; null makes a random one.
    HandshakeState(Pattern pattern, bool initiator, std::string_view prologue, const KeyPair& localStatic,
                   const Key* remoteStatic = nullptr, const KeyPair* ephemeral = nullptr);
    ~HandshakeState();
    HandshakeState(const HandshakeState&) = delete;
    HandshakeState& operator=(const HandshakeState&) = delete;

    // The protocol name, e.g. "Noise_XX_25519_ChaChaPoly_SHA256".
    static std::string protocolName(Pattern pattern);

    // Whether the next message is this side's to write (false once
    // finished or failed).
    bool writesNext() const;
    bool finished() const { return done; }
    bool failed() const { return broken; }

    // The next message of this side carrying `payload`. False (and the
    // handshake failed) when it is not this side's turn, the message would
    // be longer than kMaxMessageLength or a Diffie-Hellman result is all
    // zero (a peer's key of small order).
    bool writeMessage(std::string_view payload, std::string& message);
    // Reads the peer's next message and gives its payload. False when it
    // is malformed, longer than kMaxMessageLength, does not authenticate,
    // gives an all-zero Diffie-Hellman result or is out of turn: the
    // handshake has then failed and may not be used further.
    bool readMessage(std::string_view message, std::string& payload);

    // The peer's static public key, once a message has carried it (or the
    // one given to an IK initiator).
    bool hasRemoteStatic() const { return haveRemoteStatic; }
    const Key& remoteStatic() const { return rs; }
    // h: binds everything said in the handshake; same on both sides.
    std::string handshakeHash() const;

    // After finished(): the cipher for what this side sends and the one for
    // what it receives (the framework's Split(), assigned by role). False,
    // and both left as they were, before the handshake has finished or
    // once it has failed.
    bool split(CipherState& sending, CipherState& receiving) const;

private:
    // See the framework's SymmetricState.
    void mixHash(std::string_view data);
    void mixKey(const Key& input);
    bool encryptAndHash(std::string_view plaintext, std::string& out);
    bool decryptAndHash(std::string_view ciphertext, std::string& plaintext);
    // MixKey(DH(secret, pub)); false when the result is all zero.
    bool mixDh(const Key& secret, const Key& pub);
    bool writeMessageTokens(std::string_view payload, std::string& out);
    bool readMessageTokens(std::string_view in, std::string& payload);
    bool fail();

    Pattern pattern;
    bool initiator;
    KeyPair s;
    KeyPair e;
    Key rs{};
    Key re{};
    bool haveRemoteStatic = false;
    bool haveRemoteEphemeral = false;
    std::array<uint8_t, 32> ck{};
    std::array<uint8_t, 32> h{};
    CipherState cipher;
    size_t messageIndex = 0;
    bool done = false;
    bool broken = false;
};

}  // namespace noise
