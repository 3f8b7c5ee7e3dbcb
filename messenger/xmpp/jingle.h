// The Jingle messages of a direct path (XEP-0166 with the ICE-UDP transport
// of XEP-0176) as libstrophe elements, and back: one content named "path"
// whose description is kNsDirectPath and whose transport carries one side's
// ICE credentials and candidates. What a peer sends is read strictly: the
// credentials and every number and address are checked, and no more than
// kMaxIceCandidates candidates are taken.
#pragma once

#include "messenger/core/direct_path.h"

#include <cstddef>
#include <optional>
#include <string>

#include <strophe.h>

inline constexpr const char* kNsJingle = "urn:xmpp:jingle:1";
inline constexpr const char* kNsJingleIceUdp = "urn:xmpp:jingle:transports:ice-udp:1";

// The longest session id taken from a peer.
inline constexpr size_t kMaxJingleSidChars = 128;

// The <jingle/> element of an iq that carries `signal`; `self`: this side's
// full JID (the initiator of an Initiate, the responder of an Accept).
// Initiate and Accept carry the description and the transport,
// Candidates the transport alone, Terminate a <reason/> only. A Terminate
// whose reason is not a condition of XEP-0166 says "general-error".
xmpp_stanza_t* jingleElement(xmpp_ctx_t* ctx, const PathSignal& signal, const std::string& self);

// The signal in a <jingle/> element (an iq's child), or nullopt with `why`
// (for the log) when it is not one this daemon takes: another action, no
// sid or one longer than kMaxJingleSidChars, no content, a description of
// another application, another transport, credentials that are not
// ice-chars of the right length. A Candidates message may leave out the
// description. A candidate that is not a usable UDP candidate of component 1
// with a literal unicast address and an id of 1-64 characters without
// control characters, a duplicate of one taken (the same
// address and port) and any beyond kMaxIceCandidates are left out and
// counted in `leftOut`. Addresses are taken in their normal text form
// (an IPv4-mapped IPv6 address as IPv4). A
// Terminate's reason is its first condition; none, or one XEP-0166 does not
// define, reads as "general-error".
std::optional<PathSignal> readJingle(xmpp_stanza_t* jingle, std::string& why, size_t& leftOut);
