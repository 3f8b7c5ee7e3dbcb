// The second way a stream's blocks can travel between two daemons: a direct
// path, found with ICE (a host, server-reflexive or relayed candidate pair)
// and negotiated over XMPP with Jingle. One path serves every stream with
// one contact's resource. The core decides when a path is tried, used and
// given up; two sides carry out its calls:
// - PathSignaling sends the Jingle messages (the libstrophe implementation
//   is in xmpp/jingle*), PathSignalEvents reports those that come;
// - DirectLinks runs ICE and a reliable byte stream over the selected pair
//   (the libnice implementation is in p2p/), DirectLinkEvents reports it.
// Calls only queue what is to be done: they never call back into the core.
// Every call and event on the daemon's thread.
#pragma once

#include "messenger/core/stream_transport.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The namespace of the Jingle application a direct path is offered with; a
// daemon that lists it among its disco#info features takes part.
inline constexpr const char* kNsDirectPath = "urn:corvane:messenger:direct-path:0";

// One ICE candidate as XEP-0176 describes it (component 1 only: a path is
// one byte stream).
struct IceCandidate {
    enum class Type { Host, ServerReflexive, PeerReflexive, Relayed };

    std::string foundation;  // 1-32 characters of [A-Za-z0-9+/]
    std::string protocol = "udp";
    uint32_t priority = 0;
    std::string ip;  // an IPv4 or IPv6 address, never a name
    uint16_t port = 0;
    Type type = Type::Host;
    std::string relatedIp;  // the base of a reflexive or relayed candidate, if given
    uint16_t relatedPort = 0;
    uint32_t generation = 0;
    std::string id;  // the candidate's id in the Jingle exchange

    bool operator==(const IceCandidate&) const = default;
};

// "host", "srflx", "prflx" or "relay".
inline const char* iceTypeName(IceCandidate::Type type)
{
    switch (type) {
        case IceCandidate::Type::Host:
            return "host";
        case IceCandidate::Type::ServerReflexive:
            return "srflx";
        case IceCandidate::Type::PeerReflexive:
            return "prflx";
        case IceCandidate::Type::Relayed:
            return "relay";
    }
    return "host";
}

// One side's ICE parameters: its credentials and the candidates it knows so
// far. Candidates come in several messages (trickle ICE); the credentials
// go with each.
struct IceParameters {
    std::string ufrag;  // 4-256 characters of [A-Za-z0-9+/]
    std::string pwd;    // 22-256 of them
    std::vector<IceCandidate> candidates;

    bool operator==(const IceParameters&) const = default;
};

// At most this many candidates are taken from one message, and from one
// session in all; the rest are left out.
inline constexpr size_t kMaxIceCandidates = 16;

// One Jingle message about a direct path.
struct PathSignal {
    enum class Action {
        Initiate,    // session-initiate: the offer, with the initiator's ICE parameters
        Accept,      // session-accept: the responder's ICE parameters
        Candidates,  // transport-info: more candidates (trickle ICE)
        Terminate,   // session-terminate, with `reason`
    };

    Action action = Action::Initiate;
    std::string sid;  // the Jingle session id
    IceParameters ice;
    // Terminate: the XEP-0166 reason condition ("success", "decline",
    // "failed-transport", "gone", "timeout", ...).
    std::string reason;

    bool operator==(const PathSignal&) const = default;
};

// A STUN or TURN server that ICE may use.
struct IceServer {
    enum class Kind { Stun, Turn };
    Kind kind = Kind::Stun;
    std::string host;  // a name or an address
    uint16_t port = 3478;
    std::string username;  // TURN only
    std::string password;

    bool operator==(const IceServer&) const = default;
};

class PathSignaling {
public:
    // Sends `signal` to `full` as a Jingle iq (answered by signalResult).
    virtual void signal(const std::string& full, const PathSignal& signal) = 0;
    // Answers an incoming Jingle iq: accepted when `errorCondition` is null,
    // else refused with that defined condition.
    virtual void answerSignal(const IqRef& ref, const char* errorCondition) = 0;

protected:
    ~PathSignaling() = default;
};

class PathSignalEvents {
public:
    // A Jingle message from `full` that must be answered (answerSignal).
    virtual void pathSignal(const std::string& full, const PathSignal& signal, const IqRef& ref) = 0;
    // The answer to a signal this side sent; `ok` false when it was refused
    // or never answered.
    virtual void pathSignalResult(const std::string& full, const std::string& sid, bool ok) = 0;
    // The STUN and TURN servers the account's server offers (XEP-0215),
    // asked at every login.
    virtual void serverServices(const std::vector<IceServer>& services) = 0;

protected:
    ~PathSignalEvents() = default;
};

// What a connected link runs over, for the log.
struct LinkRoute {
    bool relayed = false;  // through a TURN server
    // "host:port" of that server when relayed; the relayed "ip:port" when
    // the relay is the peer's, on a server this side does not use.
    std::string turnServer;
    std::string local;  // "ip:port (type)" of the selected pair's ends
    std::string remote;
};

class DirectLinks {
public:
    // Starts ICE for the link `key`: gathers candidates with `servers` and
    // reports them (localIce) as they come. `controlling`: this side is the
    // ICE controlling agent (the Jingle initiator).
    virtual void start(const std::string& key, bool controlling, const std::vector<IceServer>& servers) = 0;
    // The peer's credentials and candidates, or more of its candidates.
    virtual void addRemote(const std::string& key, const IceParameters& remote) = 0;
    // Queues bytes on a link that is up (linkUp and no linkDown since);
    // they arrive in order or the link goes down.
    virtual void send(const std::string& key, const std::string& bytes) = 0;
    // Ends the link: its sockets close, nothing more is reported of it.
    virtual void stop(const std::string& key) = 0;

protected:
    ~DirectLinks() = default;
};

class DirectLinkEvents {
public:
    // This side's credentials and the candidates gathered so far that were
    // not reported before; `done`: gathering has finished.
    virtual void localIce(const std::string& key, const IceParameters& local, bool done) = 0;
    // A pair was selected and the byte stream over it is open.
    virtual void linkUp(const std::string& key, const LinkRoute& route) = 0;
    // Bytes of the peer, in order.
    virtual void linkData(const std::string& key, const std::string& bytes) = 0;
    // ICE failed, or the byte stream broke or was closed by the peer.
    virtual void linkDown(const std::string& key, const std::string& why) = 0;

protected:
    ~DirectLinkEvents() = default;
};
