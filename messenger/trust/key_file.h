// The installation's own static key pair, kept in a key file beside the
// configuration (besideConfig, ".key"). The key file holds
// the secret key: like the configuration it must be the user's own with no
// group or other permissions, and is made with mode 0600.
#pragma once

#include "messenger/crypto/noise.h"

#include <string>

// Reads the key pair from `path`, or makes a new one and writes it there
// (mode 0600) when the file does not exist. False with `error` set (one
// line naming the file and the fix) when the file cannot be used: other
// owner, group or other permissions, unreadable, malformed.
bool loadOrCreateKeyPair(const std::string& path, noise::KeyPair& keys, std::string& error);
