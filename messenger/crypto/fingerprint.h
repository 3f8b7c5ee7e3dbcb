// The fingerprints people compare to tell keys apart, and their written
// forms. Plain functions over libsodium's SHA-256.
#pragma once

#include "messenger/crypto/noise.h"

#include <cstddef>
#include <cstdint>
#include <string>

// `length` bytes as 2 * `length` lower-case hex digits.
std::string hexOf(const uint8_t* bytes, size_t length);
// Exactly `length` bytes from exactly 2 * `length` hex digits.
bool bytesOf(const std::string& hex, uint8_t* bytes, size_t length);

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
