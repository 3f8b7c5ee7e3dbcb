#include "messenger/xmpp/in_band_streams.h"

#include "messenger/xmpp/caps.h"

#include <cstdlib>
#include <cstring>

namespace {

// The value of the `transfer` attribute of <application/> that offers (in an
// open) and takes up (in its result) the compact form of texts.
constexpr const char* kTransferCompact = "hex";

}  // namespace

void InBandStreams::openStream(const std::string& full, const std::string& sid, const std::string& app,
                               bool offerCompact)
{
    if (!sender.canSend()) {
        unsent.push_back(PendingIq{PendingIq::Kind::Open, full, sid});
        return;
    }
    xmpp_ctx_t* ctx = sender.context();
    xmpp_stanza_t* open = element(ctx, "open", kNsIbb);
    xmpp_stanza_set_attribute(open, "sid", sid.c_str());
    xmpp_stanza_set_attribute(open, "block-size", std::to_string(kMaxBlockBytes).c_str());
    xmpp_stanza_set_attribute(open, "stanza", "iq");
    xmpp_stanza_t* a = element(ctx, "application", kNsMessenger);
    xmpp_stanza_set_attribute(a, "name", app.c_str());
    if (offerCompact)
        xmpp_stanza_set_attribute(a, "transfer", kTransferCompact);
    adopt(open, a);
    sender.sendIq("set", full, open, PendingIq{PendingIq::Kind::Open, full, sid});
}

void InBandStreams::sendBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& text)
{
    if (!sender.canSend())
        return;
    std::string base64;
    if (!text.empty()) {
        xmpp_ctx_t* ctx = sender.context();
        char* b64 = xmpp_base64_encode(ctx, reinterpret_cast<const unsigned char*>(text.data()), text.size());
        if (b64) {
            base64 = b64;
            xmpp_free(ctx, b64);
        }
    }
    sender.sendIqXml("set", full, ibbDataXml(sid, seq, base64), PendingIq{PendingIq::Kind::Data, full, sid, seq});
}

void InBandStreams::closeStream(const std::string& full, const std::string& sid)
{
    sender.forget(full, sid);
    if (!sender.canSend())
        return;
    xmpp_stanza_t* close = element(sender.context(), "close", kNsIbb);
    xmpp_stanza_set_attribute(close, "sid", sid.c_str());
    sender.sendIq("set", full, close, PendingIq{PendingIq::Kind::Close, full, sid});
}

void InBandStreams::probe(const std::string& full, const std::string& sid)
{
    if (!sender.canSend()) {
        unsent.push_back(PendingIq{PendingIq::Kind::Probe, full, sid});
        return;
    }
    sender.sendIq("get", full, element(sender.context(), "ping", kNsPing),
                  PendingIq{PendingIq::Kind::Probe, full, sid});
}

void InBandStreams::acceptStream(const IqRef& ref, bool compact)
{
    if (!sender.canSend())
        return;
    xmpp_ctx_t* ctx = sender.context();
    xmpp_stanza_t* iq = xmpp_iq_new(ctx, "result", ref.id.c_str());
    if (!ref.from.empty())
        xmpp_stanza_set_to(iq, ref.from.c_str());
    if (compact) {
        xmpp_stanza_t* a = element(ctx, "application", kNsMessenger);
        xmpp_stanza_set_attribute(a, "transfer", kTransferCompact);
        adopt(iq, a);
    }
    sender.send(iq);
}

bool InBandStreams::answerUnsent()
{
    if (unsent.empty())
        return false;
    std::vector<PendingIq> refused;
    refused.swap(unsent);
    for (const PendingIq& p : refused) {
        if (!events)
            continue;
        if (p.kind == PendingIq::Kind::Open)
            events->openResult(p.full, p.sid, false, false);
        else
            events->probeResult(p.full, p.sid, false);
    }
    return true;
}

void InBandStreams::result(const PendingIq& p, xmpp_stanza_t* iq, bool ok)
{
    if (p.kind == PendingIq::Kind::Open && !ok)
        log.write("stream open to " + peerText(p.full) + " refused");
    if (!events)
        return;
    switch (p.kind) {
        case PendingIq::Kind::Open: {
            xmpp_stanza_t* a = xmpp_stanza_get_child_by_name_and_ns(iq, "application", kNsMessenger);
            bool compact = a && str(xmpp_stanza_get_attribute(a, "transfer")) == kTransferCompact;
            events->openResult(p.full, p.sid, ok, ok && compact);
            break;
        }
        case PendingIq::Kind::Data:
            events->blockResult(p.full, p.sid, p.seq, ok);
            break;
        case PendingIq::Kind::Probe:
            events->probeResult(p.full, p.sid, ok);
            break;
        default:
            break;
    }
}

void InBandStreams::request(xmpp_stanza_t* payload, const IqRef& ref)
{
    if (!events)
        return;
    std::string name = str(xmpp_stanza_get_name(payload));
    std::string sid = str(xmpp_stanza_get_attribute(payload, "sid"));
    if (sid.empty() || ref.from.empty()) {
        sender.answerError(ref, "modify", "bad-request");
        return;
    }
    if (name == "open") {
        xmpp_stanza_t* app = xmpp_stanza_get_child_by_name_and_ns(payload, "application", kNsMessenger);
        std::string appName = app ? str(xmpp_stanza_get_attribute(app, "name")) : std::string();
        std::string mode = str(xmpp_stanza_get_attribute(payload, "stanza"));
        if (appName.empty()) {
            log.write("refused a stream request from " + peerText(ref.from) + " without an application");
            sender.answerError(ref, "cancel", "not-acceptable");
        } else if (!mode.empty() && mode != "iq") {
            sender.answerError(ref, "cancel", "feature-not-implemented");
        } else {
            bool compact = str(xmpp_stanza_get_attribute(app, "transfer")) == kTransferCompact;
            events->openRequest(ref.from, sid, appName, compact, ref);
        }
    } else if (name == "data") {
        std::string seqText = str(xmpp_stanza_get_attribute(payload, "seq"));
        char* end = nullptr;
        unsigned long seq = std::strtoul(seqText.c_str(), &end, 10);
        // All text children: the parser may split a long text.
        xmpp_ctx_t* ctx = sender.context();
        char* b64 = xmpp_stanza_get_text(payload);
        std::string text;
        bool good = !seqText.empty() && end && *end == '\0' && seq <= 65535;
        if (good && b64 && *b64) {
            unsigned char* out = nullptr;
            size_t outLen = 0;
            xmpp_base64_decode_bin(ctx, b64, std::strlen(b64), &out, &outLen);
            if (out) {
                text.assign(reinterpret_cast<const char*>(out), outLen);
                xmpp_free(ctx, out);
            } else {
                good = false;
            }
        }
        xmpp_free(ctx, b64);
        if (good)
            events->block(ref.from, sid, static_cast<uint16_t>(seq), text, ref);
        else
            events->badBlock(ref.from, sid, ref);
    } else if (name == "close") {
        events->closeRequest(ref.from, sid, ref);
    } else {
        sender.answerError(ref, "cancel", "feature-not-implemented");
    }
}
