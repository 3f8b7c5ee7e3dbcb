#include "messenger/trust/pin_file.h"

#include "messenger/crypto/fingerprint.h"
#include "messenger/support/files.h"
#include "messenger/support/jid.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

namespace {

// The first line of a new file.
const char* const kHeader =
    "# messengerd pins: the key of each contact, \"JID FINGERPRINT [KEY]\". Change one with messengerd --trust.";

// One line of the file as it was read; `valid` when it is a pin.
struct Line {
    std::string text;
    bool valid = false;
    std::string jid;
    Pin pin;
};

bool isCompactFingerprint(const std::string& text)
{
    std::string compact;
    return parseFingerprint(text, compact) && compact == text;
}

// A pin line: JID, compact fingerprint, and the key in lower-case hex that
// has this fingerprint, if there is a key.
bool parseLine(const std::string& text, Line& line)
{
    std::istringstream words(text);
    std::string jid;
    std::string fingerprint;
    std::string hex;
    std::string rest;
    if (!(words >> jid >> fingerprint) || (words >> hex && words >> rest))
        return false;
    if (!isBareJid(jid) || !isCompactFingerprint(fingerprint))
        return false;
    line.jid = normalizeJid(jid);
    line.pin.fingerprint = fingerprint;
    if (!hex.empty()) {
        noise::Key key{};
        size_t got = 0;
        const char* end = nullptr;
        if (hex.size() != key.size() * 2
            || sodium_hex2bin(key.data(), key.size(), hex.data(), hex.size(), nullptr, &got, &end) != 0
            || got != key.size() || end != hex.data() + hex.size() || fingerprintCompact(key) != fingerprint)
            return false;
        line.pin.key = key;
    }
    line.valid = true;
    return true;
}

bool isBlankOrComment(const std::string& text)
{
    size_t first = text.find_first_not_of(" \t\r");
    return first == std::string::npos || text[first] == '#';
}

std::string errnoText() { return std::strerror(errno); }

// The file's lines; false (and `problem`) when it exists but cannot be
// read. A missing file has no lines. The first malformed line, and how many
// there were, go to `malformedNote`.
bool readLines(const std::string& path, std::vector<Line>& lines, std::string& problem, std::string& malformedNote)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        problem = "cannot read the pins file " + path + ": " + errnoText();
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || (st.st_mode & 022) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        problem = "the pins file " + path + " is not used: it belongs to user id " + std::to_string(st.st_uid)
                  + " with permissions " + mode + ", so others could pin keys in it; make it this user's own ("
                  + "chown " + std::to_string(::geteuid()) + " " + path + ") and run: chmod 600 " + path;
        ::close(fd);
        return false;
    }
    std::string text;
    if (!readAll(fd, text)) {
        problem = "cannot read the pins file " + path + ": " + errnoText();
        ::close(fd);
        return false;
    }
    ::close(fd);

    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    int bad = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        Line line;
        line.text = raw;
        if (!isBlankOrComment(raw) && !parseLine(raw, line) && bad++ == 0)
            malformedNote =
                path + ":" + std::to_string(lineNo) + ": ignored a line that is not \"JID FINGERPRINT [KEY]\"";
        lines.push_back(line);
    }
    if (bad > 1)
        malformedNote += " (and " + std::to_string(bad - 1) + " more such lines)";
    return true;
}

// Writes `lines` to a temporary file beside `path` and renames it over
// `path`, so a reader sees the old file or the new one, never a part.
bool writeLines(const std::string& path, const std::vector<Line>& lines, std::string& error)
{
    std::string text;
    for (const Line& line : lines)
        text += line.text + "\n";
    std::string temp = path + ".tmp-XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        error = "cannot write the pins file " + path + ": " + errnoText();
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, text);
    // On disk before the rename, and the rename on disk before a pin
    // counts: a crash must not bring back an older file, or none (which
    // would make the next stream a first use again).
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0 && syncFolderOf(path);
    if (!ok) {
        error = "cannot write the pins file " + path + ": " + errnoText();
        ::unlink(temp.c_str());
    }
    return ok;
}

std::string pinLine(const std::string& jid, const Pin& pin)
{
    return jid + " " + pin.fingerprint + (pin.key ? " " + hexOf(pin.key->data(), pin.key->size()) : std::string());
}

// Puts `pin` in the place of the first pin of `jid` and drops any later one;
// appends it when `jid` had none.
void replacePin(std::vector<Line>& lines, const std::string& jid, const Pin& pin)
{
    if (lines.empty()) {
        Line header;
        header.text = kHeader;
        lines.push_back(header);
    }
    Line fresh;
    fresh.text = pinLine(jid, pin);
    fresh.valid = true;
    fresh.jid = jid;
    fresh.pin = pin;
    bool placed = false;
    std::vector<Line> out;
    for (Line& line : lines) {
        if (!line.valid || line.jid != jid) {
            out.push_back(std::move(line));
        } else if (!placed) {
            out.push_back(fresh);
            placed = true;
        }
    }
    if (!placed)
        out.push_back(fresh);
    lines = std::move(out);
}

const Line* firstPin(const std::vector<Line>& lines, const std::string& jid)
{
    for (const Line& line : lines)
        if (line.valid && line.jid == jid)
            return &line;
    return nullptr;
}

// The pins file locked for one read-change-write, so that a --trust and a
// daemon pinning at the same moment do not undo each other: an exclusive
// flock on the file now at the path (made empty when there is none), taken
// again when a writer renamed a new file over it while this one waited.
class WriteLock {
public:
    explicit WriteLock(const std::string& path)
    {
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd < 0)
                break;
            int r;
            while ((r = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
            }
            struct stat held {};
            struct stat now {};
            if (r == 0 && ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &now) == 0 && held.st_ino == now.st_ino
                && held.st_dev == now.st_dev)
                return;
            ::close(fd);
            fd = -1;
        }
        problem = "cannot lock the pins file " + path + ": " + errnoText();
    }
    ~WriteLock()
    {
        if (fd >= 0)
            ::close(fd);
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

    bool held() const { return fd >= 0; }
    const std::string& error() const { return problem; }

private:
    int fd = -1;
    std::string problem;
};

}  // namespace

PinFile::PinFile(std::string path, Log* l) : file(std::move(path)), log(l) {}

bool PinFile::lookup(const std::string& jid, std::optional<Pin>& pin)
{
    const std::string bare = normalizeJid(jid);
    pin.reset();
    std::vector<Line> lines;
    std::string problem;
    std::string malformedNote;
    if (!readLines(file, lines, problem, malformedNote)) {
        if (log)
            log->write(problem);
        return false;
    }
    if (log && !malformedNote.empty())
        log->write(malformedNote);
    if (const Line* line = firstPin(lines, bare))
        pin = line->pin;
    return true;
}

std::optional<Pin> PinFile::pinFor(const std::string& bare)
{
    std::optional<Pin> pin;
    lookup(bare, pin);
    return pin;
}

namespace {

// The verdict of `pin` on `key` when no store is needed; Unavailable when
// one is (no pin, or a fingerprint-only pin that the key matches).
TrustVerdict verdictWithoutStore(const std::optional<Pin>& pin, const noise::Key& key, const std::string& offered)
{
    TrustVerdict v;
    if (!pin)
        return v;
    if (pin->key ? *pin->key != key : pin->fingerprint != offered) {
        v.kind = TrustVerdict::Kind::Changed;
        v.pinned = pin->fingerprint;
    } else if (pin->key) {
        v.kind = TrustVerdict::Kind::Known;
    }
    return v;
}

}  // namespace

TrustVerdict PinFile::check(const std::string& jid, const noise::Key& key)
{
    const std::string bare = normalizeJid(jid);
    const std::string offered = fingerprintCompact(key);
    TrustVerdict v;
    std::optional<Pin> pin;
    // Most streams meet a whole pinned key: no lock, nothing to write.
    if (!lookup(bare, pin)) {
        v.problem = "the pins file " + file + " cannot be read";
        return v;
    }
    v = verdictWithoutStore(pin, key, offered);
    if (v.kind != TrustVerdict::Kind::Unavailable)
        return v;
    // A pin to store: looked up again under the lock, so that what is
    // stored follows from what the file holds when it is written.
    WriteLock lock(file);
    if (!lock.held()) {
        v.problem = lock.error();
        return v;
    }
    std::vector<Line> lines;
    std::string malformedNote;
    if (!readLines(file, lines, v.problem, malformedNote))
        return v;
    const Line* line = firstPin(lines, bare);
    if (line)
        pin = line->pin;
    else
        pin.reset();
    v = verdictWithoutStore(pin, key, offered);
    if (v.kind != TrustVerdict::Kind::Unavailable)
        return v;
    replacePin(lines, bare, Pin{offered, key});
    if (!writeLines(file, lines, v.problem))
        return v;
    v.kind = pin ? TrustVerdict::Kind::Known : TrustVerdict::Kind::FirstUse;
    v.completed = pin.has_value();
    return v;
}

bool PinFile::trust(const std::string& jid, const std::string& fingerprint, std::string& error)
{
    std::string compact;
    if (!isBareJid(jid)) {
        error = "'" + jid + "' is not a bare JID";
        return false;
    }
    const std::string bare = normalizeJid(jid);
    if (!parseFingerprint(fingerprint, compact)) {
        error = "'" + fingerprint + "' is not a fingerprint of 40 hex digits";
        return false;
    }
    WriteLock lock(file);
    if (!lock.held()) {
        error = lock.error();
        return false;
    }
    std::vector<Line> lines;
    std::string malformedNote;
    if (!readLines(file, lines, error, malformedNote))
        return false;
    replacePin(lines, bare, Pin{compact, std::nullopt});
    return writeLines(file, lines, error);
}
