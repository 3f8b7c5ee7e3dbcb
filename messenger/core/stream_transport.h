// How a stream's blocks travel between two daemons, as the core sees it:
// open, send a block, close, and the events that answer them. Each incoming
// request carries an IqRef that the core answers once (accepting,
// acknowledging or refusing it); withholding that answer is how a slow reader
// holds its writer back, and the answers to sent blocks (blockResult) are what
// the send window counts. The in-band bytestream (XEP-0047) is the one
// implementation (InBandStreams); the core's tests use a recording fake.
// Calls only queue what is to be sent: they never call back into the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The largest data block of a stream, as every open declares it
// (block-size); Noise's longest message as well.
constexpr size_t kMaxBlockBytes = 65535;

// The reference to an incoming request that must still be answered.
struct IqRef {
    std::string from;  // full JID of the sender
    std::string id;    // the request's id
};

class StreamTransport {
public:
    // Asks `full` for a stream of `app` (answered by openResult);
    // `offerCompact`: the request offers the compact form of texts.
    virtual void openStream(const std::string& full, const std::string& sid, const std::string& app,
                            bool offerCompact) = 0;
    // Accepts a stream request; `compact` takes up its offer of the compact
    // form.
    virtual void acceptStream(const IqRef& ref, bool compact) = 0;
    // One data block (answered by blockResult).
    virtual void sendBlock(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data) = 0;
    virtual void closeStream(const std::string& full, const std::string& sid) = 0;
    // Asks the peer of a stream whether it is still there (answered by
    // probeResult).
    virtual void probe(const std::string& full, const std::string& sid) = 0;
    // Answers an incoming request: accepted when `errorCondition` is null,
    // else refused with that defined condition (e.g. "forbidden").
    virtual void answer(const IqRef& ref, const char* errorCondition) = 0;

protected:
    ~StreamTransport() = default;
};

// What a StreamTransport reports; every call on the daemon's thread.
class StreamEvents {
public:
    // `offersCompact`: the opener's daemon offers the compact form.
    virtual void openRequest(const std::string& full, const std::string& sid, const std::string& app,
                             bool offersCompact, const IqRef& ref) = 0;
    // `compact`: the peer took up the compact form that this side offered.
    virtual void openResult(const std::string& full, const std::string& sid, bool ok, bool compact) = 0;
    // `data`: the block's bytes (the text, or its compact form).
    virtual void block(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data,
                       const IqRef& ref) = 0;
    // The answer to the block `seq` sent with sendBlock.
    virtual void blockResult(const std::string& full, const std::string& sid, uint16_t seq, bool ok) = 0;
    virtual void closeRequest(const std::string& full, const std::string& sid, const IqRef& ref) = 0;
    // The answer to probe(): `ok` when the peer answered.
    virtual void probeResult(const std::string& full, const std::string& sid, bool ok) = 0;
    // A data block that could not be decoded: the stream cannot go on.
    virtual void badBlock(const std::string& full, const std::string& sid, const IqRef& ref) = 0;

protected:
    ~StreamEvents() = default;
};
