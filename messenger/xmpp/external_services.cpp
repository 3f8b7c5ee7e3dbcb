#include "messenger/xmpp/external_services.h"

#include "messenger/support/log.h"
#include "messenger/xmpp/stanzas.h"

#include <cctype>
#include <cstdlib>

namespace {

std::string upper(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A port in decimal, 1-65535; 0 otherwise.
uint16_t portOf(const std::string& text)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    long p = std::strtol(text.c_str(), nullptr, 10);
    return p >= 1 && p <= 65535 ? static_cast<uint16_t>(p) : 0;
}

}  // namespace

std::vector<ExternalService> readExternalServices(xmpp_stanza_t* services)
{
    std::vector<ExternalService> found;
    if (!services)
        return found;
    for (xmpp_stanza_t* s = xmpp_stanza_get_children(services); s && found.size() < kMaxExternalServices;
         s = xmpp_stanza_get_next(s)) {
        if (str(xmpp_stanza_get_name(s)) != "service")
            continue;
        ExternalService e;
        e.type = str(xmpp_stanza_get_attribute(s, "type"));
        e.host = str(xmpp_stanza_get_attribute(s, "host"));
        e.port = portOf(str(xmpp_stanza_get_attribute(s, "port")));
        if ((e.type != "stun" && e.type != "turn" && e.type != "turns") || e.host.empty() || e.port == 0)
            continue;
        e.transport = str(xmpp_stanza_get_attribute(s, "transport"));
        if (e.transport.empty())
            e.transport = e.type == "turns" ? "tcp" : "udp";
        e.username = str(xmpp_stanza_get_attribute(s, "username"));
        e.password = str(xmpp_stanza_get_attribute(s, "password"));
        e.expires = str(xmpp_stanza_get_attribute(s, "expires"));
        found.push_back(std::move(e));
    }
    return found;
}

std::string describeExternalServices(const std::vector<ExternalService>& services)
{
    if (services.empty())
        return "none";
    std::string text;
    for (const ExternalService& e : services) {
        if (!text.empty())
            text += ", ";
        // The server chose these words.
        text += upper(e.type) + " " + peerText(e.host, 100) + ":" + std::to_string(e.port) + " ("
                + peerText(e.transport, 20);
        if (!e.username.empty())
            text += ", credentials" + (e.expires.empty() ? std::string() : " until " + peerText(e.expires, 40));
        text += ")";
    }
    return text;
}

std::vector<IceServer> iceServersOf(const std::vector<ExternalService>& services)
{
    std::vector<IceServer> out;
    for (const ExternalService& s : services) {
        if (s.type == "stun" && s.transport != "tcp")
            out.push_back(IceServer{IceServer::Kind::Stun, s.host, s.port, {}, {}});
        else if (s.type == "turn" && s.transport != "tcp" && !s.username.empty())
            out.push_back(IceServer{IceServer::Kind::Turn, s.host, s.port, s.username, s.password});
    }
    return out;
}
