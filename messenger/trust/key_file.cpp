#include "messenger/trust/key_file.h"

#include "messenger/crypto/fingerprint.h"
#include "messenger/support/files.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

// A key file is two short lines; anything much longer is not one.
constexpr size_t kMaxKeyFile = 4096;

const char* const kKeyFileHeader =
    "# messengerd key: the secret key of this installation. Keep it private; do not copy it to another PC.\n";

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
    bool read = readAll(fd, text, kMaxKeyFile);
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
