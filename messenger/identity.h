// The installation's own static key pair, kept in a key file beside the
// configuration, and the fingerprints people compare. The key file holds
// the secret key: like the configuration it must be the user's own with no
// group or other permissions, and is made with mode 0600.
#pragma once

#include "messenger/noise.h"

#include <string>

// The file beside the configuration `configPath` with this suffix: the
// configuration's name without its last extension, plus `suffix`
// ("/home/a/.config/corvane/messengerd.conf", ".key" gives
// "/home/a/.config/corvane/messengerd.key"; "x" gives "x.key").
std::string besideConfig(const std::string& configPath, const std::string& suffix);

// Reads the key pair from `path`, or makes a new one and writes it there
// (mode 0600) when the file does not exist. False with `error` set (one
// line naming the file and the fix) when the file cannot be used: other
// owner, group or other permissions, unreadable, malformed.
bool loadOrCreateKeyPair(const std::string& path, noise::KeyPair& keys, std::string& error);

// The fingerprint of a public key as people read it out: the first 20
// bytes of its SHA-256 as 40 upper-case hex digits in ten groups of four
// ("3F2A 9C1B ...").
std::string fingerprintText(const noise::Key& pub);
// The same without blanks (what pins store).
std::string fingerprintCompact(const noise::Key& pub);
// A fingerprint as typed: hex digits of either case, blanks, '-' and ':'
// between them ignored. Gives the compact form; false unless exactly 40
// hex digits.
bool parseFingerprint(const std::string& text, std::string& compact);
// The compact form in groups of four, as fingerprintText shows it.
std::string groupFingerprint(const std::string& compact);
