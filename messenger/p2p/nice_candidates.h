// ICE candidates between libnice's form and the one the core and Jingle
// use (component 1, UDP only).
#pragma once

#include "messenger/core/direct_path.h"

#include <string>

#include <nice/agent.h>

IceCandidate toIceCandidate(const NiceCandidate& candidate);

// A new libnice candidate of stream `streamId` (free it with
// nice_candidate_free), or null when `candidate` cannot be one: not UDP,
// an address that is not an IP literal, port 0, no foundation or one
// longer than libnice keeps.
NiceCandidate* toNiceCandidate(const IceCandidate& candidate, guint streamId);

// "ip:port", "[ipv6]:port".
std::string endpointText(const NiceAddress& address);

// "ip:port (type)".
std::string candidateText(const NiceCandidate& candidate);
