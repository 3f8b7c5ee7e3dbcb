// What the daemon's core asks of its XMPP side, and the reference to an
// incoming iq that must still be answered. The libstrophe implementation is
// StropheLink; the tests use a recording fake. Calls only queue stanzas: they
// never call back into the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

// The largest data block of a stream, as every open declares it
// (block-size); Noise's longest message as well.
constexpr size_t kMaxBlockBytes = 65535;

struct IqRef {
    std::string from;  // full JID of the sender
    std::string id;    // the iq's id
};

class XmppLink {
public:
    // Own presence, advertising these application names.
    virtual void advertise(const std::set<std::string>& apps) = 0;
    virtual void requestSubscription(const std::string& bare) = 0;
    virtual void approveSubscription(const std::string& bare) = 0;
    // In-band bytestream: open (answered by Messenger::openResult), one data
    // block per text (answered by Messenger::blockResult, in order), close.
    // `offerCompact`: the open offers the compact form of texts.
    virtual void openStream(const std::string& full, const std::string& sid, const std::string& app,
                            bool offerCompact) = 0;
    virtual void sendBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& text) = 0;
    virtual void closeStream(const std::string& full, const std::string& sid) = 0;
    // Asks the peer of a stream whether it is still there (XEP-0199 ping to
    // its full JID); answered by Messenger::probeResult.
    virtual void probe(const std::string& full, const std::string& sid) = 0;
    // Answers an incoming iq: a result when `errorCondition` is null, else an
    // error of that defined condition (e.g. "forbidden").
    virtual void answer(const IqRef& ref, const char* errorCondition) = 0;
    // Accepts a stream request; `compact` takes up its offer of the compact
    // form.
    virtual void acceptStream(const IqRef& ref, bool compact) = 0;

protected:
    ~XmppLink() = default;
};
