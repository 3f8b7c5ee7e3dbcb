#include "messenger/crypto/noise.h"

#include <sodium.h>

#include <algorithm>
#include <initializer_list>
#include <vector>

namespace noise {

bool initialize() { return sodium_init() >= 0; }

KeyPair KeyPair::generate()
{
    initialize();
    Key secret;
    randombytes_buf(secret.data(), secret.size());
    KeyPair pair = fromSecret(secret);
    sodium_memzero(secret.data(), secret.size());
    return pair;
}

KeyPair KeyPair::fromSecret(const Key& secret)
{
    KeyPair pair;
    pair.secret = secret;
    crypto_scalarmult_curve25519_base(pair.pub.data(), pair.secret.data());
    return pair;
}

KeyPair::~KeyPair() { sodium_memzero(secret.data(), secret.size()); }

namespace {

constexpr size_t kHashLength = crypto_hash_sha256_BYTES;
constexpr uint64_t kReservedNonce = ~uint64_t{0};
static_assert(kHashLength == kKeyLength);
static_assert(crypto_aead_chacha20poly1305_ietf_ABYTES == kTagLength);
static_assert(crypto_scalarmult_curve25519_BYTES == kKeyLength);

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::string_view view(const Key& k) { return {reinterpret_cast<const char*>(k.data()), k.size()}; }

// The ChaChaPoly nonce: four zero bytes, then the counter little-endian.
std::array<unsigned char, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> chachaNonce(uint64_t n)
{
    std::array<unsigned char, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> nonce{};
    for (size_t i = 0; i < 8; ++i)
        nonce[4 + i] = static_cast<unsigned char>(n >> (8 * i));
    return nonce;
}

Key hmac(const Key& key, std::initializer_list<std::string_view> parts)
{
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, key.data(), key.size());
    for (std::string_view part : parts)
        crypto_auth_hmacsha256_update(&state, bytes(part), part.size());
    Key out;
    crypto_auth_hmacsha256_final(&state, out.data());
    sodium_memzero(&state, sizeof state);
    return out;
}

// HKDF with two outputs, as the framework defines it on HMAC-SHA-256.
void hkdf2(const Key& chainingKey, std::string_view input, Key& out1, Key& out2)
{
    Key tempKey = hmac(chainingKey, {input});
    out1 = hmac(tempKey, {std::string_view("\x01", 1)});
    out2 = hmac(tempKey, {view(out1), std::string_view("\x02", 1)});
    sodium_memzero(tempKey.data(), tempKey.size());
}

enum class Token { E, S, EE, ES, SE, SS };

// The message patterns; messages alternate, the initiator's first.
const std::vector<std::vector<Token>>& messagesOf(Pattern pattern)
{
    static const std::vector<std::vector<Token>> xx = {
        {Token::E}, {Token::E, Token::EE, Token::S, Token::ES}, {Token::S, Token::SE}};
    static const std::vector<std::vector<Token>> ik = {{Token::E, Token::ES, Token::S, Token::SS},
                                                       {Token::E, Token::EE, Token::SE}};
    return pattern == Pattern::XX ? xx : ik;
}

}  // namespace

CipherState::~CipherState() { clear(); }

void CipherState::clear()
{
    sodium_memzero(k.data(), k.size());
    n = 0;
    keyed = false;
}

void CipherState::initializeKey(const Key& key)
{
    k = key;
    n = 0;
    keyed = true;
}

std::string CipherState::encryptWithAd(std::string_view ad, std::string_view plaintext)
{
    if (!keyed)
        return std::string(plaintext);
    if (n == kReservedNonce)
        return {};
    std::string out(plaintext.size() + kTagLength, '\0');
    const auto nonce = chachaNonce(n);
    unsigned long long length = 0;
    crypto_aead_chacha20poly1305_ietf_encrypt(reinterpret_cast<unsigned char*>(out.data()), &length, bytes(plaintext),
                                              plaintext.size(), bytes(ad), ad.size(), nullptr, nonce.data(), k.data());
    out.resize(static_cast<size_t>(length));
    ++n;
    return out;
}

bool CipherState::decryptWithAd(std::string_view ad, std::string_view ciphertext, std::string& plaintext)
{
    if (!keyed) {
        plaintext.assign(ciphertext);
        return true;
    }
    if (n == kReservedNonce || ciphertext.size() < kTagLength)
        return false;
    std::string out(ciphertext.size() - kTagLength, '\0');
    const auto nonce = chachaNonce(n);
    unsigned long long length = 0;
    if (crypto_aead_chacha20poly1305_ietf_decrypt(reinterpret_cast<unsigned char*>(out.data()), &length, nullptr,
                                                  bytes(ciphertext), ciphertext.size(), bytes(ad), ad.size(),
                                                  nonce.data(), k.data())
        != 0)
        return false;
    out.resize(static_cast<size_t>(length));
    plaintext = std::move(out);
    ++n;
    return true;
}

HandshakeState::HandshakeState(Pattern pattern_, bool initiator_, std::string_view prologue, const KeyPair& localStatic,
                               const Key* remoteStatic, const KeyPair* ephemeral)
    : pattern(pattern_), initiator(initiator_), s(localStatic), e(ephemeral ? *ephemeral : KeyPair::generate())
{
    // InitializeSymmetric: a name of at most HASHLEN bytes is padded with
    // zeros, a longer one hashed.
    const std::string name = protocolName(pattern);
    if (name.size() <= kHashLength)
        std::copy(name.begin(), name.end(), h.begin());
    else
        crypto_hash_sha256(h.data(), bytes(name), name.size());
    ck = h;
    mixHash(prologue);
    if (pattern == Pattern::IK) {
        // Pre-message "<- s": both sides hash the responder's static key.
        if (initiator) {
            if (!remoteStatic) {
                broken = true;
                return;
            }
            rs = *remoteStatic;
            haveRemoteStatic = true;
            mixHash(view(rs));
        } else {
            mixHash(view(s.pub));
        }
    }
}

HandshakeState::~HandshakeState()
{
    sodium_memzero(ck.data(), ck.size());
    sodium_memzero(h.data(), h.size());
    sodium_memzero(rs.data(), rs.size());
    sodium_memzero(re.data(), re.size());
}

std::string HandshakeState::protocolName(Pattern pattern)
{
    return pattern == Pattern::XX ? "Noise_XX_25519_ChaChaPoly_SHA256" : "Noise_IK_25519_ChaChaPoly_SHA256";
}

bool HandshakeState::writesNext() const
{
    if (done || broken)
        return false;
    // Even messages are the initiator's.
    return (messageIndex % 2 == 0) == initiator;
}

std::string HandshakeState::handshakeHash() const
{
    return std::string(reinterpret_cast<const char*>(h.data()), h.size());
}

bool HandshakeState::fail()
{
    broken = true;
    cipher.clear();
    return false;
}

bool HandshakeState::writeMessage(std::string_view payload, std::string& message)
{
    if (!writesNext())
        return fail();
    std::string out;
    if (!writeMessageTokens(payload, out) || out.size() > kMaxMessageLength)
        return fail();
    message = std::move(out);
    if (++messageIndex == messagesOf(pattern).size())
        done = true;
    return true;
}

bool HandshakeState::readMessage(std::string_view message, std::string& payload)
{
    if (done || broken || writesNext() || message.size() > kMaxMessageLength)
        return fail();
    std::string out;
    if (!readMessageTokens(message, out))
        return fail();
    payload = std::move(out);
    if (++messageIndex == messagesOf(pattern).size())
        done = true;
    return true;
}

bool HandshakeState::writeMessageTokens(std::string_view payload, std::string& out)
{
    for (Token token : messagesOf(pattern)[messageIndex]) {
        switch (token) {
            case Token::E:
                out.append(view(e.pub));
                mixHash(view(e.pub));
                break;
            case Token::S: {
                std::string sealed;
                if (!encryptAndHash(view(s.pub), sealed))
                    return false;
                out += sealed;
                break;
            }
            case Token::EE:
                if (!mixDh(e.secret, re))
                    return false;
                break;
            case Token::ES:
                if (!(initiator ? mixDh(e.secret, rs) : mixDh(s.secret, re)))
                    return false;
                break;
            case Token::SE:
                if (!(initiator ? mixDh(s.secret, re) : mixDh(e.secret, rs)))
                    return false;
                break;
            case Token::SS:
                if (!mixDh(s.secret, rs))
                    return false;
                break;
        }
    }
    std::string sealed;
    if (!encryptAndHash(payload, sealed))
        return false;
    out += sealed;
    return true;
}

bool HandshakeState::readMessageTokens(std::string_view in, std::string& payload)
{
    for (Token token : messagesOf(pattern)[messageIndex]) {
        switch (token) {
            case Token::E:
                if (in.size() < kKeyLength)
                    return false;
                std::copy(in.begin(), in.begin() + kKeyLength, re.begin());
                haveRemoteEphemeral = true;
                mixHash(in.substr(0, kKeyLength));
                in.remove_prefix(kKeyLength);
                break;
            case Token::S: {
                const size_t length = kKeyLength + (cipher.hasKey() ? kTagLength : 0);
                std::string key;
                if (in.size() < length || !decryptAndHash(in.substr(0, length), key))
                    return false;
                std::copy(key.begin(), key.end(), rs.begin());
                sodium_memzero(key.data(), key.size());
                haveRemoteStatic = true;
                in.remove_prefix(length);
                break;
            }
            case Token::EE:
                if (!mixDh(e.secret, re))
                    return false;
                break;
            case Token::ES:
                if (!(initiator ? mixDh(e.secret, rs) : mixDh(s.secret, re)))
                    return false;
                break;
            case Token::SE:
                if (!(initiator ? mixDh(s.secret, re) : mixDh(e.secret, rs)))
                    return false;
                break;
            case Token::SS:
                if (!mixDh(s.secret, rs))
                    return false;
                break;
        }
    }
    return decryptAndHash(in, payload);
}

bool HandshakeState::split(CipherState& sending, CipherState& receiving) const
{
    if (!done || broken)
        return false;
    Key first, second;
    hkdf2(ck, {}, first, second);
    sending.initializeKey(initiator ? first : second);
    receiving.initializeKey(initiator ? second : first);
    sodium_memzero(first.data(), first.size());
    sodium_memzero(second.data(), second.size());
    return true;
}

void HandshakeState::mixHash(std::string_view data)
{
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    crypto_hash_sha256_update(&state, h.data(), h.size());
    crypto_hash_sha256_update(&state, bytes(data), data.size());
    crypto_hash_sha256_final(&state, h.data());
}

void HandshakeState::mixKey(const Key& input)
{
    Key tempKey;
    hkdf2(ck, view(input), ck, tempKey);
    cipher.initializeKey(tempKey);
    sodium_memzero(tempKey.data(), tempKey.size());
}

bool HandshakeState::mixDh(const Key& secret, const Key& pub)
{
    Key shared;
    // libsodium refuses an all-zero result itself; the second check keeps
    // that guarantee explicit here.
    const bool ok = crypto_scalarmult_curve25519(shared.data(), secret.data(), pub.data()) == 0
                    && !sodium_is_zero(shared.data(), shared.size());
    if (ok)
        mixKey(shared);
    sodium_memzero(shared.data(), shared.size());
    return ok;
}

bool HandshakeState::encryptAndHash(std::string_view plaintext, std::string& out)
{
    const bool keyed = cipher.hasKey();
    out = cipher.encryptWithAd(view(h), plaintext);
    if (keyed && out.empty())
        return false;
    mixHash(out);
    return true;
}

bool HandshakeState::decryptAndHash(std::string_view ciphertext, std::string& plaintext)
{
    if (!cipher.decryptWithAd(view(h), ciphertext, plaintext))
        return false;
    mixHash(ciphertext);
    return true;
}

}  // namespace noise
