// The daemon's core: the programs attached through the local socket
// (Programs), the command language (Commands), their streams (Streams) and
// the contacts (Contacts, with the roster and presence handled here). It
// answers every command line and turns XMPP events into notifications. It
// knows no sockets and no XMPP library: lines and attach codes go out
// through ClientSink, presence and subscriptions through XmppLink, stream
// blocks through a StreamTransport; it may use the support, crypto and trust
// folders and nothing else of the daemon. Owned by the daemon; every call on
// the daemon's thread.
#pragma once

#include "messenger/core/commands.h"
#include "messenger/core/contacts.h"
#include "messenger/core/programs.h"
#include "messenger/core/streams.h"
#include "messenger/core/xmpp_events.h"
#include "messenger/core/xmpp_link.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

// The two sides of direct paths (direct_path.h) and how they are used;
// without them every stream stays in band.
struct DirectPathSides {
    PathSignaling* signaling = nullptr;
    DirectLinks* links = nullptr;
    PathSettings settings;
};

class Messenger : public XmppEvents, public StreamEvents {
public:
    using Clock = ::Clock;

    // `ownJid`: the account's bare JID. `accepted`: the user's contacts:
    // their subscription requests are accepted (and they are asked in
    // turn); no one else is a friend, whatever the server's roster says.
    // `identity`: this installation's static key pair; `trust`: the pins
    // of contacts' keys.
    Messenger(ClientSink& sink, XmppLink& link, StreamTransport& transport, Log& log, std::string ownJid,
              std::vector<std::string> accepted, const StreamSettings& settings, const noise::KeyPair& identity,
              TrustStore& trust, const DirectPathSides& direct = {});
    Messenger(const Messenger&) = delete;
    Messenger& operator=(const Messenger&) = delete;

    // The local socket.
    void clientDiscover(int client);
    void clientCommand(int client, const std::string& line);
    void clientClosed(int client);

    // The time now; called regularly by the daemon's loop (Streams::tick).
    void tick(Clock::time_point now)
    {
        streams.tick(now);
        if (paths)
            paths->tick(now);
    }
    // Where the Jingle signals and the links' events go; null without
    // direct paths.
    DirectPaths* directPaths() { return paths.get(); }

    void serverOnline() override;
    void serverOffline() override;
    bool online() const { return isOnline; }
    void rosterItem(const std::string& bare, const std::string& subscription) override;
    void rosterRemoved(const std::string& bare) override;
    void subscriptionRequest(const std::string& bare) override;
    void presence(const std::string& full, bool available, const std::string& show, const std::set<std::string>& apps,
                  bool direct = false) override;
    bool mayQuery(const std::string& bare) const override;

    // The transport's events belong to Streams.
    void openRequest(const std::string& full, const std::string& sid, const std::string& app, bool offersCompact,
                     const IqRef& ref) override
    {
        streams.openRequest(full, sid, app, offersCompact, ref);
    }
    void openResult(const std::string& full, const std::string& sid, bool ok, bool compact) override
    {
        streams.openResult(full, sid, ok, compact);
    }
    void block(const std::string& full, const std::string& sid, uint16_t seq, const std::string& data,
               const IqRef& ref) override
    {
        streams.block(full, sid, seq, data, ref);
    }
    void blockResult(const std::string& full, const std::string& sid, uint16_t seq, bool ok) override
    {
        streams.blockResult(full, sid, seq, ok);
    }
    void closeRequest(const std::string& full, const std::string& sid, const IqRef& ref) override
    {
        streams.closeRequest(full, sid, ref);
    }
    void probeResult(const std::string& full, const std::string& sid, bool ok) override
    {
        streams.probeResult(full, sid, ok);
    }
    void badBlock(const std::string& full, const std::string& sid, const IqRef& ref) override
    {
        streams.badBlock(full, sid, ref);
    }

    // Application names of all attached programs (what presence advertises).
    std::set<std::string> applications() const { return programs.applications(); }
    size_t streamCount() const { return streams.all().size(); }

private:
    void advertise();
    void askOnce(const std::string& bare);
    bool isAccepted(const std::string& bare) const;

    XmppLink& link;
    Log& log;
    const std::string own;
    const std::vector<std::string> accepted;
    bool isOnline = false;
    Contacts contacts;
    StreamList streamList;  // Streams keeps it, Programs reads it
    Programs programs;
    std::unique_ptr<DirectPaths> paths;
    Streams streams;
    Commands commands;
    std::set<std::string> askedThisSession;
    std::set<std::string> ignoredThisSession;  // roster items not in the contact list, logged once
};
