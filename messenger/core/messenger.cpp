#include "messenger/core/messenger.h"

#include "messenger/support/jid.h"

#include <algorithm>

Messenger::Messenger(ClientSink& sink, XmppLink& l, StreamTransport& transport, Log& lg, std::string ownJid,
                     std::vector<std::string> acceptedContacts, const StreamSettings& settings,
                     const noise::KeyPair& identity, TrustStore& trust, const DirectPathSides& direct)
    : link(l),
      log(lg),
      own(std::move(ownJid)),
      accepted(std::move(acceptedContacts)),
      programs(sink, streamList),
      paths(direct.signaling && direct.links
                ? std::make_unique<DirectPaths>(*direct.signaling, *direct.links, lg, contacts, own, direct.settings)
                : nullptr),
      streams(streamList, programs, transport, lg, contacts, own, settings, identity, trust),
      commands(programs, streams, contacts, own, isOnline, [this] { advertise(); })
{
    if (paths) {
        paths->setUsers(&streams);
        streams.setPaths(paths.get());
    }
}

bool Messenger::isAccepted(const std::string& bare) const
{
    return std::find(accepted.begin(), accepted.end(), bare) != accepted.end();
}

bool Messenger::mayQuery(const std::string& bare) const
{
    if (bare == own)
        return true;
    std::string sub = contacts.subscription(bare);
    return sub == "both" || sub == "from";
}

void Messenger::advertise()
{
    if (isOnline)
        link.advertise(applications());
}

void Messenger::askOnce(const std::string& bare)
{
    if (!isOnline || !askedThisSession.insert(bare).second)
        return;
    log.write("asking " + bare + " for a presence subscription");
    link.requestSubscription(bare);
}

// --- the local socket ---------------------------------------------------

void Messenger::clientDiscover(int client) { programs.discover(client, isOnline); }

void Messenger::clientClosed(int client)
{
    streams.closeMatching([client](const Stream& s) { return s.client == client; }, true, false,
                          "its program went away");
    if (programs.closed(client))
        advertise();
}

void Messenger::clientCommand(int client, const std::string& line)
{
    if (!programs.mayCommand(client)) {
        // Nothing may be sent to a program before its attach code 0.
        log.write("client " + std::to_string(client) + " sent a command before attaching: " + peerText(line));
        return;
    }
    commands.answer(client, line);
}

// --- the server connection, roster and presence -------------------------

void Messenger::serverOnline()
{
    isOnline = true;
    askedThisSession.clear();
    log.write("online as " + own);
    advertise();
    for (const std::string& bare : accepted) {
        std::string sub = contacts.subscription(bare);
        if (sub != "both" && sub != "to")
            askOnce(bare);
    }
    programs.attachWaiting();
}

void Messenger::serverOffline()
{
    if (!isOnline)
        return;
    isOnline = false;
    log.write("lost the server connection");
    contacts.clearPresence();

    // Every stream ends; each program hears about it before code 3.
    streams.serverLost();
    if (paths)
        paths->serverLost();
    programs.detachAll();
}

void Messenger::rosterItem(const std::string& bare, const std::string& subscription)
{
    if (bare == own)
        return;
    if (!isAccepted(bare)) {
        // The server may put anyone on the roster; friends are the user's.
        if (ignoredThisSession.insert(bare).second)
            log.write("ignored the server's roster item for " + peerText(bare) + ": not in the contact list");
        return;
    }
    bool nowMutual = contacts.setItem(bare, subscription);
    if (nowMutual) {
        log.write(bare + " is now a contact");
        programs.broadcast("USER " + bare + " BUDDYSTATUS 3");
    }
    if (isAccepted(bare) && subscription != "both" && subscription != "to")
        askOnce(bare);
    if (subscription != "both")
        streams.closeMatching([&](const Stream& s) { return s.peer == bare; }, true, true,
                              bare + " is no longer a contact");
}

void Messenger::rosterRemoved(const std::string& bare)
{
    // Removed by the user (from another client): not asked again before the
    // next login.
    if (bare == own)
        return;
    streams.closeMatching([&](const Stream& s) { return s.peer == bare; }, true, true,
                          bare + " was removed from the roster");
    contacts.removeItem(bare);
}

void Messenger::subscriptionRequest(const std::string& bare)
{
    if (!isAccepted(bare)) {
        log.write("ignored a subscription request from " + peerText(bare) + " (not in the contact list)");
        return;
    }
    log.write("accepting the subscription request of " + bare);
    link.approveSubscription(bare);
    std::string sub = contacts.subscription(bare);
    if (sub != "both" && sub != "to")
        askOnce(bare);
}

void Messenger::presence(const std::string& full, bool available, const std::string& show,
                         const std::set<std::string>& apps, bool direct)
{
    std::string bare = bareOf(full);
    size_t slash = full.find('/');
    if (bare == own || slash == std::string::npos)
        return;
    std::string resource = full.substr(slash + 1);
    if (contacts.setPresence(bare, resource, available, show, apps, direct) && isOnline)
        programs.broadcast("USER " + bare + " ONLINESTATUS " + contacts.onlineStatus(bare));
    if (!available)
        streams.closeMatching([&](const Stream& s) { return s.full == full; }, false, true,
                              peerText(full) + " went offline");
}
