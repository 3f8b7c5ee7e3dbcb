#include "messenger/xmpp/caps.h"

#include <strophe.h>
#include <algorithm>

std::vector<std::string> discoFeatures(const std::set<std::string>& apps, bool direct)
{
    std::vector<std::string> f = {
        "http://jabber.org/protocol/caps",
        "http://jabber.org/protocol/disco#info",
        "http://jabber.org/protocol/ibb",
        "urn:xmpp:ping",
        kNsMessenger,
    };
    for (const std::string& a : apps)
        f.push_back(kAppFeaturePrefix + a);
    if (direct) {
        f.push_back("urn:xmpp:jingle:1");
        f.push_back("urn:xmpp:jingle:transports:ice-udp:1");
        f.push_back(kNsDirectPath);
    }
    std::sort(f.begin(), f.end());
    return f;
}

std::string capsVer(xmpp_ctx_t* ctx, const std::string& category, const std::string& type, const std::string& name,
                    std::vector<std::string> features)
{
    std::sort(features.begin(), features.end());
    std::string s = category + "/" + type + "//" + name + "<";
    for (const std::string& f : features)
        s += f + "<";
    unsigned char digest[XMPP_SHA1_DIGEST_SIZE];
    xmpp_sha1_digest(reinterpret_cast<const unsigned char*>(s.data()), s.size(), digest);
    char* b64 = xmpp_base64_encode(ctx, digest, sizeof digest);
    std::string out = b64 ? b64 : "";
    xmpp_free(ctx, b64);
    return out;
}
