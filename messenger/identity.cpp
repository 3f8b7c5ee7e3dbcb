#include "messenger/identity.h"

#include "messenger/config.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

constexpr size_t kFingerprintBytes = 20;
// A key file is two short lines; anything much longer is not one.
constexpr size_t kMaxKeyFile = 4096;

const char* const kKeyFileHeader =
    "# messengerd key: the secret key of this installation. Keep it private; do not copy it to another PC.\n";

std::string hexOf(const uint8_t* bytes, size_t length)
{
    std::string hex(length * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), bytes, length);
    hex.pop_back();
    return hex;
}

std::string upperHexOf(const uint8_t* bytes, size_t length)
{
    std::string hex = hexOf(bytes, length);
    for (char& c : hex)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return hex;
}

// Exactly `length` bytes from exactly 2 * `length` hex digits.
bool bytesOf(const std::string& hex, uint8_t* bytes, size_t length)
{
    if (hex.size() != length * 2)
        return false;
    size_t got = 0;
    const char* end = nullptr;
    return sodium_hex2bin(bytes, length, hex.data(), hex.size(), nullptr, &got, &end) == 0 && got == length
           && end == hex.data() + hex.size();
}

std::string malformed(const std::string& path)
{
    return path + ": not a key file of messengerd (expected a line \"secret\" and 64 hex digits): restore it from a "
                  "backup, or remove it to make a new key (contacts must then trust the new fingerprint)";
}

// The secret from the text of a key file: comment lines, blank lines and
// one "secret HEX" line.
bool parseKeyFile(const std::string& text, noise::Key& secret)
{
    std::istringstream in(text);
    std::string line;
    bool found = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word[0] == '#')
            continue;
        std::string hex;
        std::string rest;
        if (found || word != "secret" || !(words >> hex) || (words >> rest))
            return false;
        if (!bytesOf(hex, secret.data(), secret.size()))
            return false;
        found = true;
    }
    return found;
}

bool readAll(int fd, std::string& text)
{
    char buf[1024];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > kMaxKeyFile)
            return true;
    }
}

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

enum class Loaded { Ok, Absent, Failed };

Loaded loadKeyFile(const std::string& path, noise::KeyPair& keys, std::string& error)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return Loaded::Absent;
        error = path + ": cannot open the key file: " + std::strerror(errno);
        return Loaded::Failed;
    }
    // Checked on the open file, so that what is read is what was checked.
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = path + ": cannot open the key file: " + std::strerror(errno);
        ::close(fd);
        return Loaded::Failed;
    }
    std::string problem = configFileProblem(path, st.st_mode, st.st_uid, ::geteuid(), "the secret key");
    if (!problem.empty()) {
        error = path + ": " + problem;
        ::close(fd);
        return Loaded::Failed;
    }
    std::string text;
    bool read = readAll(fd, text);
    int readErrno = errno;
    ::close(fd);
    if (!read) {
        error = path + ": cannot read the key file: " + std::strerror(readErrno);
        return Loaded::Failed;
    }
    noise::Key secret{};
    bool ok = text.size() <= kMaxKeyFile && parseKeyFile(text, secret);
    sodium_memzero(text.data(), text.size());
    if (!ok) {
        error = malformed(path);
        return Loaded::Failed;
    }
    keys = noise::KeyPair::fromSecret(secret);
    sodium_memzero(secret.data(), secret.size());
    return Loaded::Ok;
}

}  // namespace

std::string besideConfig(const std::string& configPath, const std::string& suffix)
{
    size_t slash = configPath.rfind('/');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = configPath.rfind('.');
    // A dot that starts the name (".messengerd") is not an extension.
    if (dot == std::string::npos || dot <= nameStart)
        return configPath + suffix;
    return configPath.substr(0, dot) + suffix;
}

bool loadOrCreateKeyPair(const std::string& path, noise::KeyPair& keys, std::string& error)
{
    if (!noise::initialize()) {
        error = "cannot initialize libsodium";
        return false;
    }
    Loaded loaded = loadKeyFile(path, keys, error);
    if (loaded != Loaded::Absent)
        return loaded == Loaded::Ok;

    // O_EXCL: never write over a key file made meanwhile by another start;
    // mode 0600 from the first moment, so it is never readable by others.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (errno == EEXIST)
            return loadKeyFile(path, keys, error) == Loaded::Ok;
        error = path + ": cannot create the key file: " + std::strerror(errno);
        return false;
    }
    noise::KeyPair fresh = noise::KeyPair::generate();
    std::string text = std::string(kKeyFileHeader) + "secret " + hexOf(fresh.secret.data(), fresh.secret.size()) + "\n";
    // On disk, and its name in the folder, before the key is used: a key
    // that a crash took back would make every contact refuse this one.
    bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    int writeErrno = errno;
    sodium_memzero(text.data(), text.size());
    if (::close(fd) != 0 && written) {
        written = false;
        writeErrno = errno;
    }
    if (!written) {
        // A half-written file would be refused at every later start.
        ::unlink(path.c_str());
        error = path + ": cannot write the key file: " + std::strerror(writeErrno);
        return false;
    }
    if (!syncFolderOf(path)) {
        error = path + ": cannot write the key file's folder to disk: " + std::strerror(errno);
        return false;
    }
    keys = fresh;
    return true;
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
