// What the daemon's core knows of its contacts' keys: one pin per contact,
// either a fingerprint the user gave (messengerd --trust) or the key itself
// once a stream has shown it. The file behind it is PinFile; the tests use
// a map. trust/ (this, the pins file, the key file) uses crypto/ and
// support/ only.
#pragma once

#include "messenger/crypto/noise.h"

#include <optional>
#include <string>

struct Pin {
    // The key's fingerprint (identity.h), in its compact form: 40
    // upper-case hex digits without blanks.
    std::string fingerprint;
    // The key, once it is known; a pin made by --trust has only the
    // fingerprint until the first stream.
    std::optional<noise::Key> key;
};

// The answer to a key a contact's stream has shown.
struct TrustVerdict {
    enum class Kind {
        Known,        // the pinned key (or a pinned fingerprint, now completed by the key)
        FirstUse,     // no pin yet: the key is pinned now
        Changed,      // another key or fingerprint is pinned: refuse
        Unavailable,  // the pins cannot be read, or the first pin cannot be stored: refuse
    };
    Kind kind = Kind::Unavailable;
    // Known: the pin was a fingerprint only and the key has now been added.
    bool completed = false;
    // Changed: the fingerprint pinned (compact form).
    std::string pinned;
    // Unavailable: why, naming the file.
    std::string problem;

    bool accepted() const { return kind == Kind::Known || kind == Kind::FirstUse; }
};

class TrustStore {
public:
    // The pin of the bare JID `bare` in `pin` (none: no pin yet). False
    // when the pins cannot be read: then nobody's key can be checked, and
    // a stream must be refused rather than taken for a first use.
    virtual bool lookup(const std::string& bare, std::optional<Pin>& pin) = 0;
    // Checks `key` against the pin of `bare` and, on a first use or for a
    // pin that is a matching fingerprint only, stores it; the check and the
    // store are one step, so a --trust in between cannot be overtaken. A
    // first use whose pin cannot be stored is Unavailable: while nothing is
    // stored every stream would be a first use, with any key.
    virtual TrustVerdict check(const std::string& bare, const noise::Key& key) = 0;

protected:
    ~TrustStore() = default;
};
