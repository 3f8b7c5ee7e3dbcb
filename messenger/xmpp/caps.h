// How the daemon shows its applications to other XMPP software: disco#info
// features (one per application) and the entity-capabilities hash of them
// that goes into every presence. Pure functions.
#pragma once

#include "messenger/core/direct_path.h"

#include <set>
#include <string>
#include <vector>

#include <strophe.h>

inline constexpr const char* kNsMessenger = "urn:corvane:messenger";
inline constexpr const char* kAppFeaturePrefix = "urn:corvane:messenger:app:";
inline constexpr const char* kCapsNode = "urn:corvane:messengerd";
inline constexpr const char* kIdentityName = "messengerd";

// The disco#info features of a daemon running these applications, sorted;
// `direct`: it offers direct paths (Jingle with ICE-UDP).
std::vector<std::string> discoFeatures(const std::set<std::string>& apps, bool direct = false);

// The verification string of entity capabilities (SHA-1) for one identity
// and the given features.
std::string capsVer(xmpp_ctx_t* ctx, const std::string& category, const std::string& type, const std::string& name,
                    std::vector<std::string> features);
