#include "messenger/crypto/fingerprint.h"

#include <sodium.h>
#include <cctype>

namespace {

constexpr size_t kFingerprintBytes = 20;

}  // namespace

std::string hexOf(const uint8_t* bytes, size_t length)
{
    std::string hex(length * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes, length);
    hex.pop_back();
    return hex;
}

namespace {

std::string upperHexOf(const uint8_t* bytes, size_t length)
{
    std::string hex = hexOf(bytes, length);
    for (char& c : hex)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return hex;
}

}  // namespace

bool bytesOf(const std::string& hex, uint8_t* bytes, size_t length)
{
    if (hex.size() != length * 2)
        return false;
    size_t got = 0;
    const char* end = nullptr;
    return sodium_hex2bin(bytes, length, hex.data(), hex.size(), nullptr, &got, &end) == 0 && got == length
           && end == hex.data() + hex.size();
}

std::string fingerprintCompact(const noise::Key& pub)
{
    uint8_t hash[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(hash, pub.data(), pub.size());
    return upperHexOf(hash, kFingerprintBytes);
}

std::string fingerprintText(const noise::Key& pub) { return groupFingerprint(fingerprintCompact(pub)); }

bool parseFingerprint(const std::string& text, std::string& compact)
{
    std::string digits;
    for (char c : text) {
        if (c == '-' || c == ':' || std::isspace(static_cast<unsigned char>(c)))
            continue;
        digits += c;
    }
    uint8_t bytes[kFingerprintBytes];
    if (!bytesOf(digits, bytes, sizeof bytes))
        return false;
    compact = upperHexOf(bytes, sizeof bytes);
    return true;
}

std::string groupFingerprint(const std::string& compact)
{
    std::string grouped;
    for (size_t i = 0; i < compact.size(); i += 4) {
        if (i > 0)
            grouped += ' ';
        grouped += compact.substr(i, 4);
    }
    return grouped;
}
