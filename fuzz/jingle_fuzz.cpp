// The Jingle messages of a direct path (messenger/xmpp/jingle.h): readJingle
// on any element a peer may send, and jingleElement on what it takes.
//
// Input: XML text, parsed by libstrophe as the server's stream would be; the
// element it gives is read as the <jingle/> child of an iq.
//
// Checked: a message not taken says why; one taken has a sid of 1-128
// characters, and unless it ends the session, credentials of 4 and 22 to
// 256 ice-chars and at most kMaxIceCandidates candidates, each of component
// 1 over UDP with a literal unicast address in its normal form, a port, a
// foundation of 1-32 ice-chars and an id of 1-64 characters, no two at the
// same address and port. Written again with jingleElement, it reads back the
// same with nothing left out, as an element and as the text of one.
#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <strophe.h>

#include "fuzz/fuzz_check.h"
#include "messenger/xmpp/jingle.h"

namespace {

bool iceChars(const std::string& text, size_t min, size_t max)
{
    if (text.size() < min || text.size() > max)
        return false;
    for (char c : text)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/'))
            return false;
    return true;
}

// Whether `ip` is an address written as inet_ntop writes it.
bool normalAddress(const std::string& ip)
{
    unsigned char a[16];
    char out[INET6_ADDRSTRLEN];
    for (int family : {AF_INET, AF_INET6})
        if (inet_pton(family, ip.c_str(), a) == 1)
            return inet_ntop(family, a, out, sizeof out) && ip == out;
    return false;
}

void checkTaken(const PathSignal& s)
{
    FUZZ_CHECK(!s.sid.empty() && s.sid.size() <= kMaxJingleSidChars);
    if (s.action == PathSignal::Action::Terminate) {
        FUZZ_CHECK(!s.reason.empty() && s.ice == IceParameters{});
        return;
    }
    FUZZ_CHECK(s.reason.empty());
    FUZZ_CHECK(iceChars(s.ice.ufrag, 4, 256) && iceChars(s.ice.pwd, 22, 256));
    FUZZ_CHECK(s.ice.candidates.size() <= kMaxIceCandidates);
    for (size_t i = 0; i < s.ice.candidates.size(); ++i) {
        const IceCandidate& k = s.ice.candidates[i];
        FUZZ_CHECK(k.protocol == "udp" && normalAddress(k.ip) && k.port != 0);
        FUZZ_CHECK(k.relatedIp.empty() ? k.relatedPort == 0 : normalAddress(k.relatedIp));
        FUZZ_CHECK(iceChars(k.foundation, 1, 32) && !k.id.empty() && k.id.size() <= 64);
        for (size_t j = 0; j < i; ++j)
            FUZZ_CHECK(s.ice.candidates[j].ip != k.ip || s.ice.candidates[j].port != k.port);
    }
}

void checkReadsBack(xmpp_ctx_t* ctx, const PathSignal& s)
{
    xmpp_stanza_t* e = jingleElement(ctx, s, "alice@localhost/pc-alice");
    std::string why;
    size_t leftOut = 1;
    FUZZ_CHECK(readJingle(e, why, leftOut) == s && leftOut == 0);
    char* text = nullptr;
    size_t length = 0;
    FUZZ_CHECK(xmpp_stanza_to_text(e, &text, &length) == XMPP_EOK);
    xmpp_stanza_release(e);
    xmpp_stanza_t* again = xmpp_stanza_new_from_string(ctx, text);
    xmpp_free(ctx, text);
    FUZZ_CHECK(again);
    leftOut = 1;
    FUZZ_CHECK(readJingle(again, why, leftOut) == s && leftOut == 0);
    xmpp_stanza_release(again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, nullptr);
    const std::string xml(reinterpret_cast<const char*>(data), size);
    xmpp_stanza_t* jingle = xmpp_stanza_new_from_string(ctx, xml.c_str());
    if (!jingle)
        return 0;
    std::string why;
    size_t leftOut = 0;
    std::optional<PathSignal> s = readJingle(jingle, why, leftOut);
    xmpp_stanza_release(jingle);
    FUZZ_CHECK(s.has_value() == why.empty());
    if (s) {
        checkTaken(*s);
        checkReadsBack(ctx, *s);
    }
    return 0;
}
