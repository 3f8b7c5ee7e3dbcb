// What the daemon's core knows of its contacts' keys: one pin per contact,
// either a fingerprint the user gave (messengerd --trust) or the key itself
// once a stream has shown it. The file behind it is PinFile; the tests use
// a map.
#pragma once

#include "messenger/noise.h"

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

class TrustStore {
public:
    // The pin of the bare JID `bare` in `pin` (none: no pin yet). False
    // when the pins cannot be read: then nobody's key can be checked, and
    // a stream must be refused rather than taken for a first use.
    virtual bool lookup(const std::string& bare, std::optional<Pin>& pin) = 0;
    // Pins `key` for `bare`: a first use, or the key of a fingerprint-only
    // pin that it matches. False when it could not be stored (the stream
    // may go on; the pin is asked again next time).
    virtual bool pin(const std::string& bare, const noise::Key& key) = 0;

protected:
    ~TrustStore() = default;
};
