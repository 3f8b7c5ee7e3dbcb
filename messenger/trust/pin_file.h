// The pins of contacts' keys in a file beside the configuration. One line
// per contact, "JID FINGERPRINT" or "JID FINGERPRINT KEY" (compact
// fingerprint, key in 64 lower-case hex digits); '#' starts a comment
// line. Read at every question, so a --trust of another process counts at
// the next stream; a file that another user owns or that group or others
// may write is not read (anyone who can change it could pin a key).
// Written whole to a temporary file (mode 0600) that is renamed over it,
// under an exclusive lock (flock) on the file, so that two processes
// changing pins at once do not undo each other.
#pragma once

#include "messenger/support/log.h"
#include "messenger/trust/trust_store.h"

#include <string>

class PinFile : public TrustStore {
public:
    // `log`: where unreadable or malformed lines are reported (null: not
    // reported).
    PinFile(std::string path, Log* log);

    bool lookup(const std::string& bare, std::optional<Pin>& pin) override;
    // lookup() without the difference between no pin and no file to read.
    std::optional<Pin> pinFor(const std::string& bare);
    TrustVerdict check(const std::string& bare, const noise::Key& key) override;

    // Pins the fingerprint (compact form) for `bare`, replacing any pin it
    // had: the explicit trust of messengerd --trust. False with `error`.
    bool trust(const std::string& bare, const std::string& fingerprint, std::string& error);

    const std::string& path() const { return file; }

private:
    std::string file;
    Log* log;
};
