#include "messenger/xmpp/jingle.h"

#include "messenger/support/log.h"
#include "messenger/xmpp/stanzas.h"

#include <arpa/inet.h>
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

using Action = PathSignal::Action;

constexpr std::array<std::pair<Action, const char*>, 4> kActions{{
    {Action::Initiate, "session-initiate"},
    {Action::Accept, "session-accept"},
    {Action::Candidates, "transport-info"},
    {Action::Terminate, "session-terminate"},
}};

// The reason conditions of XEP-0166.
constexpr std::array<const char*, 17> kReasons{"alternative-session",
                                               "busy",
                                               "cancel",
                                               "connectivity-error",
                                               "decline",
                                               "expired",
                                               "failed-application",
                                               "failed-transport",
                                               "general-error",
                                               "gone",
                                               "incompatible-parameters",
                                               "media-error",
                                               "security-error",
                                               "success",
                                               "timeout",
                                               "unsupported-applications",
                                               "unsupported-transports"};

constexpr const char* kUnknownReason = "general-error";

constexpr size_t kMaxCandidateIdChars = 64;

// Whether `text` is 1-`max` bytes without a control character (a line end
// in an attribute would come back as a space).
bool plainText(const std::string& text, size_t max)
{
    return !text.empty() && text.size() <= max
           && std::none_of(text.begin(), text.end(), [](char c) { return (c >= 0 && c < 0x20) || c == 0x7f; });
}

bool isReason(const std::string& name)
{
    return std::any_of(kReasons.begin(), kReasons.end(), [&](const char* r) { return name == r; });
}

// Whether `text` is `min`-`max` ice-chars (RFC 8445: [A-Za-z0-9+/]).
bool iceChars(const std::string& text, size_t min, size_t max)
{
    return text.size() >= min && text.size() <= max && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+'
                      || c == '/';
           });
}

// A decimal number up to `max`: digits only, no sign, no spaces.
bool decimal(const std::string& text, uint32_t max, uint32_t& value)
{
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && value <= max;
}

bool unicastV4(const unsigned char* a)
{
    const uint32_t v = (uint32_t{a[0]} << 24) | (uint32_t{a[1]} << 16) | (uint32_t{a[2]} << 8) | a[3];
    return v != 0 && (a[0] & 0xf0) != 0xe0 && v != 0xffffffff;
}

// The normal text form of the literal address `text` (an IPv4-mapped IPv6
// address as IPv4), empty when it is not one (names are never resolved);
// with `unicast`, also empty for an unspecified, multicast or broadcast
// address.
std::string literalAddress(const std::string& text, bool unicast)
{
    static constexpr unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    static constexpr unsigned char kZero[16] = {};
    unsigned char a[16];
    char out[INET6_ADDRSTRLEN];
    const unsigned char* v4 = nullptr;
    if (inet_pton(AF_INET, text.c_str(), a) == 1)
        v4 = a;
    else if (inet_pton(AF_INET6, text.c_str(), a) != 1)
        return {};
    else if (std::memcmp(a, kMapped, sizeof kMapped) == 0)
        v4 = a + 12;
    if (v4) {
        if (unicast && !unicastV4(v4))
            return {};
        return inet_ntop(AF_INET, v4, out, sizeof out) ? out : "";
    }
    if (unicast && (a[0] == 0xff || std::memcmp(a, kZero, sizeof kZero) == 0))
        return {};
    return inet_ntop(AF_INET6, a, out, sizeof out) ? out : "";
}

std::string lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// The first child element of `parent` named `name`, whatever its namespace.
xmpp_stanza_t* child(xmpp_stanza_t* parent, const char* name) { return xmpp_stanza_get_child_by_name(parent, name); }

std::string attr(xmpp_stanza_t* e, const char* name) { return str(xmpp_stanza_get_attribute(e, name)); }

// The candidate `c` describes, or nullopt when it is to be left out.
std::optional<IceCandidate> candidateOf(xmpp_stanza_t* c)
{
    IceCandidate k;
    uint32_t component = 0;
    uint32_t port = 0;
    if (!decimal(attr(c, "component"), UINT32_MAX, component) || component != 1)
        return std::nullopt;
    k.protocol = lower(attr(c, "protocol"));
    if (k.protocol != "udp")
        return std::nullopt;
    const std::string type = attr(c, "type");
    bool known = false;
    for (auto t : {IceCandidate::Type::Host, IceCandidate::Type::ServerReflexive, IceCandidate::Type::PeerReflexive,
                   IceCandidate::Type::Relayed})
        if (type == iceTypeName(t)) {
            k.type = t;
            known = true;
        }
    k.ip = literalAddress(attr(c, "ip"), true);
    k.foundation = attr(c, "foundation");
    k.id = attr(c, "id");
    if (!known || k.ip.empty() || !decimal(attr(c, "port"), 65535, port) || port == 0
        || !decimal(attr(c, "priority"), UINT32_MAX, k.priority) || !iceChars(k.foundation, 1, 32)
        || !plainText(k.id, kMaxCandidateIdChars))
        return std::nullopt;
    k.port = static_cast<uint16_t>(port);
    if (xmpp_stanza_get_attribute(c, "generation") && !decimal(attr(c, "generation"), UINT32_MAX, k.generation))
        return std::nullopt;
    if (xmpp_stanza_get_attribute(c, "rel-addr")) {
        k.relatedIp = literalAddress(attr(c, "rel-addr"), false);
        uint32_t relatedPort = 0;
        if (k.relatedIp.empty()
            || (xmpp_stanza_get_attribute(c, "rel-port") && !decimal(attr(c, "rel-port"), 65535, relatedPort)))
            return std::nullopt;
        k.relatedPort = static_cast<uint16_t>(relatedPort);
    }
    return k;
}

void set(xmpp_stanza_t* e, const char* name, const std::string& value)
{
    xmpp_stanza_set_attribute(e, name, value.c_str());
}

xmpp_stanza_t* candidateElement(xmpp_ctx_t* ctx, const IceCandidate& k)
{
    xmpp_stanza_t* c = element(ctx, "candidate", nullptr);
    set(c, "component", "1");
    set(c, "foundation", k.foundation);
    set(c, "generation", std::to_string(k.generation));
    set(c, "id", k.id);
    set(c, "ip", k.ip);
    set(c, "network", "0");
    set(c, "port", std::to_string(k.port));
    set(c, "priority", std::to_string(k.priority));
    set(c, "protocol", k.protocol);
    set(c, "type", iceTypeName(k.type));
    if (!k.relatedIp.empty()) {
        set(c, "rel-addr", k.relatedIp);
        set(c, "rel-port", std::to_string(k.relatedPort));
    }
    return c;
}

}  // namespace

xmpp_stanza_t* jingleElement(xmpp_ctx_t* ctx, const PathSignal& signal, const std::string& self)
{
    xmpp_stanza_t* jingle = element(ctx, "jingle", kNsJingle);
    for (const auto& [action, name] : kActions)
        if (action == signal.action)
            set(jingle, "action", name);
    if (signal.action == Action::Initiate)
        set(jingle, "initiator", self);
    else if (signal.action == Action::Accept)
        set(jingle, "responder", self);
    set(jingle, "sid", signal.sid);
    if (signal.action == Action::Terminate) {
        xmpp_stanza_t* reason = element(ctx, "reason", nullptr);
        adopt(reason, element(ctx, isReason(signal.reason) ? signal.reason.c_str() : kUnknownReason, nullptr));
        adopt(jingle, reason);
        return jingle;
    }
    xmpp_stanza_t* content = element(ctx, "content", nullptr);
    set(content, "creator", "initiator");
    set(content, "name", "path");
    if (signal.action != Action::Candidates)
        adopt(content, element(ctx, "description", kNsDirectPath));
    xmpp_stanza_t* transport = element(ctx, "transport", kNsJingleIceUdp);
    set(transport, "ufrag", signal.ice.ufrag);
    set(transport, "pwd", signal.ice.pwd);
    for (const IceCandidate& k : signal.ice.candidates)
        adopt(transport, candidateElement(ctx, k));
    adopt(content, transport);
    adopt(jingle, content);
    return jingle;
}

std::optional<PathSignal> readJingle(xmpp_stanza_t* jingle, std::string& why, size_t& leftOut)
{
    leftOut = 0;
    why.clear();
    if (!jingle || str(xmpp_stanza_get_name(jingle)) != "jingle" || str(xmpp_stanza_get_ns(jingle)) != kNsJingle) {
        why = "not a Jingle element";
        return std::nullopt;
    }
    PathSignal s;
    const std::string action = attr(jingle, "action");
    const auto* known =
        std::find_if(kActions.begin(), kActions.end(), [&](const auto& a) { return action == a.second; });
    if (known == kActions.end()) {
        why = "the action " + peerText(action, 40) + " is not one of a direct path";
        return std::nullopt;
    }
    s.action = known->first;
    s.sid = attr(jingle, "sid");
    if (!plainText(s.sid, kMaxJingleSidChars)) {
        why = s.sid.empty() ? "no session id" : "a session id that is too long or has control characters";
        return std::nullopt;
    }
    if (s.action == Action::Terminate) {
        // Conditions are in Jingle's namespace; <text/> and elements of
        // other namespaces only explain them.
        s.reason = kUnknownReason;
        xmpp_stanza_t* reason = child(jingle, "reason");
        for (xmpp_stanza_t* c = reason ? xmpp_stanza_get_children(reason) : nullptr; c; c = xmpp_stanza_get_next(c)) {
            const std::string ns = str(xmpp_stanza_get_ns(c));
            const std::string name = str(xmpp_stanza_get_name(c));
            if (xmpp_stanza_is_tag(c) && name != "text" && (ns.empty() || ns == kNsJingle)) {
                if (isReason(name))
                    s.reason = name;
                break;
            }
        }
        return s;
    }
    xmpp_stanza_t* content = child(jingle, "content");
    xmpp_stanza_t* description = content ? child(content, "description") : nullptr;
    xmpp_stanza_t* transport = content ? child(content, "transport") : nullptr;
    if (!content) {
        why = "no content";
    } else if (description ? str(xmpp_stanza_get_ns(description)) != kNsDirectPath : s.action != Action::Candidates) {
        why = "the content is not a direct path";
    } else if (!transport || str(xmpp_stanza_get_ns(transport)) != kNsJingleIceUdp) {
        why = "the transport is not ICE-UDP";
    } else {
        s.ice.ufrag = attr(transport, "ufrag");
        s.ice.pwd = attr(transport, "pwd");
        if (!iceChars(s.ice.ufrag, 4, 256) || !iceChars(s.ice.pwd, 22, 256))
            why = "ICE credentials that are not 4 and 22 to 256 ice-chars";
    }
    if (!why.empty())
        return std::nullopt;
    std::vector<IceCandidate>& taken = s.ice.candidates;
    for (xmpp_stanza_t* c = xmpp_stanza_get_children(transport); c; c = xmpp_stanza_get_next(c)) {
        if (!xmpp_stanza_is_tag(c) || str(xmpp_stanza_get_name(c)) != "candidate")
            continue;
        std::optional<IceCandidate> k = taken.size() < kMaxIceCandidates ? candidateOf(c) : std::nullopt;
        if (k && std::none_of(taken.begin(), taken.end(), [&](const IceCandidate& t) {
                return t.ip == k->ip && t.port == k->port && t.protocol == k->protocol;
            }))
            taken.push_back(std::move(*k));
        else
            ++leftOut;
    }
    return s;
}
