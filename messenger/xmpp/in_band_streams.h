// In-Band Bytestreams (XEP-0047, iq mode) carrying the core's streams: the
// open with the application it is for (and the offer of the compact form),
// one data iq per block, the close, and an XEP-0199 ping to the peer's full
// JID as the probe. Incoming IBB requests become calls on StreamEvents.
// Owned by ServerConnection, which hands it the IBB stanzas and their answers.
#pragma once

#include "messenger/core/stream_transport.h"
#include "messenger/support/log.h"
#include "messenger/xmpp/stanzas.h"

#include <vector>

class InBandStreams : public StreamTransport {
public:
    InBandStreams(StanzaSender& out, Log& l) : sender(out), log(l) {}

    void setEvents(StreamEvents* e) { events = e; }

    void openStream(const std::string& full, const std::string& sid, const std::string& app,
                    bool offerCompact) override;
    void acceptStream(const IqRef& ref, bool compact) override;
    void sendBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data) override;
    void closeStream(const std::string& full, const std::string& sid) override;
    void probe(const std::string& full, const std::string& sid) override;
    void answer(const IqRef& ref, const char* errorCondition) override { sender.answer(ref, errorCondition); }

    // An IBB request (open, data or close) from `ref.from`.
    void request(xmpp_stanza_t* payload, const IqRef& ref);
    // The answer `iq` to an open, data or probe iq of this side.
    void result(const PendingIq& p, xmpp_stanza_t* iq, bool ok);
    // Answers, as refused, the opens and probes asked for while nothing could
    // be sent; true when there were any. Called from the daemon's loop, so the
    // core is never left waiting and never called back from its own call.
    bool answerUnsent();

private:
    StanzaSender& sender;
    Log& log;
    StreamEvents* events = nullptr;
    std::vector<PendingIq> unsent;
};
