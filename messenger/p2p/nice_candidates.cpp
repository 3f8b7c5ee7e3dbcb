#include "messenger/p2p/nice_candidates.h"

#include <strings.h>

namespace {

std::string addressText(const NiceAddress& address)
{
    char text[NICE_ADDRESS_STRING_LEN];
    nice_address_to_string(&address, text);
    return text;
}

IceCandidate::Type typeOf(NiceCandidateType type)
{
    switch (type) {
        case NICE_CANDIDATE_TYPE_HOST:
            return IceCandidate::Type::Host;
        case NICE_CANDIDATE_TYPE_SERVER_REFLEXIVE:
            return IceCandidate::Type::ServerReflexive;
        case NICE_CANDIDATE_TYPE_PEER_REFLEXIVE:
            return IceCandidate::Type::PeerReflexive;
        case NICE_CANDIDATE_TYPE_RELAYED:
            return IceCandidate::Type::Relayed;
    }
    return IceCandidate::Type::Host;
}

NiceCandidateType niceTypeOf(IceCandidate::Type type)
{
    switch (type) {
        case IceCandidate::Type::Host:
            return NICE_CANDIDATE_TYPE_HOST;
        case IceCandidate::Type::ServerReflexive:
            return NICE_CANDIDATE_TYPE_SERVER_REFLEXIVE;
        case IceCandidate::Type::PeerReflexive:
            return NICE_CANDIDATE_TYPE_PEER_REFLEXIVE;
        case IceCandidate::Type::Relayed:
            return NICE_CANDIDATE_TYPE_RELAYED;
    }
    return NICE_CANDIDATE_TYPE_HOST;
}

}  // namespace

IceCandidate toIceCandidate(const NiceCandidate& candidate)
{
    IceCandidate c;
    c.foundation = candidate.foundation;
    c.priority = candidate.priority;
    c.ip = addressText(candidate.addr);
    c.port = static_cast<uint16_t>(nice_address_get_port(&candidate.addr));
    c.type = typeOf(candidate.type);
    if (c.type != IceCandidate::Type::Host && nice_address_is_valid(&candidate.base_addr)) {
        c.relatedIp = addressText(candidate.base_addr);
        c.relatedPort = static_cast<uint16_t>(nice_address_get_port(&candidate.base_addr));
    }
    return c;
}

NiceCandidate* toNiceCandidate(const IceCandidate& candidate, guint streamId)
{
    if (strcasecmp(candidate.protocol.c_str(), "udp") != 0 || candidate.port == 0 || candidate.foundation.empty()
        || candidate.foundation.size() >= NICE_CANDIDATE_MAX_FOUNDATION)
        return nullptr;
    NiceAddress address;
    nice_address_init(&address);
    if (!nice_address_set_from_string(&address, candidate.ip.c_str()))
        return nullptr;
    NiceCandidate* c = nice_candidate_new(niceTypeOf(candidate.type));
    c->transport = NICE_CANDIDATE_TRANSPORT_UDP;
    c->addr = address;
    nice_address_set_port(&c->addr, candidate.port);
    if (!candidate.relatedIp.empty() && nice_address_set_from_string(&c->base_addr, candidate.relatedIp.c_str()))
        nice_address_set_port(&c->base_addr, candidate.relatedPort);
    c->priority = candidate.priority;
    c->stream_id = streamId;
    c->component_id = 1;
    g_strlcpy(c->foundation, candidate.foundation.c_str(), NICE_CANDIDATE_MAX_FOUNDATION);
    return c;
}

std::string endpointText(const NiceAddress& address)
{
    // An IPv6 address in brackets, so that its port stands apart.
    const std::string ip = addressText(address);
    return (ip.find(':') == std::string::npos ? ip : "[" + ip + "]") + ":"
           + std::to_string(nice_address_get_port(&address));
}

std::string candidateText(const NiceCandidate& candidate)
{
    return endpointText(candidate.addr) + " (" + iceTypeName(typeOf(candidate.type)) + ")";
}
