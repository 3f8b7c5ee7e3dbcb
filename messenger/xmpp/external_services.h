// The STUN and TURN services that the account's server offers (XEP-0215,
// external service discovery), read from its answer and put in words for
// the log. TURN credentials are kept but never written out.
#pragma once

#include "messenger/core/direct_path.h"

#include <cstdint>
#include <string>
#include <vector>

#include <strophe.h>

inline constexpr const char* kNsExtDisco = "urn:xmpp:extdisco:2";

struct ExternalService {
    std::string type;       // "stun", "turn" or "turns"
    std::string transport;  // "udp" or "tcp"
    std::string host;
    uint16_t port = 0;
    std::string username;  // TURN's short-lived credentials, when given
    std::string password;
    std::string expires;  // when they end, as the server wrote it (XEP-0082)
};

// At most this many services are taken from one answer.
inline constexpr size_t kMaxExternalServices = 16;

// The STUN and TURN services listed in `services` (the <services/> element
// of an answer; null: none). A service of another type, without a host or
// with a port that is not 1-65535 is left out; so is any beyond
// kMaxExternalServices.
std::vector<ExternalService> readExternalServices(xmpp_stanza_t* services);

// "STUN 10.0.0.1:3478 (udp), TURN 10.0.0.1:3478 (udp, credentials until
// ...)", or "none" when the list is empty.
std::string describeExternalServices(const std::vector<ExternalService>& services);

// The services ICE can use: STUN, and TURN over UDP with its credentials.
std::vector<IceServer> iceServersOf(const std::vector<ExternalService>& services);
