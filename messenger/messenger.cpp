// Programs, applications and the command set. The stream events of the XMPP
// side are in messenger_streams.cpp.
#include "messenger/messenger.h"

#include "messenger/command.h"
#include "wire/api_frame.h"

#include <algorithm>
#include <random>

namespace {

std::string bareOf(const std::string& full) { return full.substr(0, full.find('/')); }

}  // namespace

Messenger::Messenger(ClientSink& s, XmppLink& l, Log& lg, std::string ownJid, std::vector<std::string> acceptedContacts,
                     const StreamSettings& settings, const noise::KeyPair& ownKeys, TrustStore& pins)
    : sink(s),
      link(l),
      log(lg),
      own(std::move(ownJid)),
      accepted(std::move(acceptedContacts)),
      identity(ownKeys),
      trust(pins),
      maxUnread(static_cast<size_t>(std::max(1, settings.maxUnread))),
      answerTimeout(settings.answerTimeout),
      window(std::clamp<size_t>(static_cast<size_t>(std::max(1, settings.window)), 1, kMaxWithheld)),
      compact(settings.compact),
      now(Clock::now())
{
    // Session ids must not repeat across restarts of the daemon either.
    std::random_device rd;
    sidPrefix = "cv" + std::to_string(rd() % 1000000000u) + "-";
}

Messenger::~Messenger() = default;

void Messenger::send(int client, const std::string& line) { sink.sendLine(client, line); }

void Messenger::broadcast(const std::string& line)
{
    for (const auto& [id, c] : clients)
        if (c.state == ClientState::Attached)
            send(id, line);
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

std::string Messenger::newSid() { return sidPrefix + std::to_string(++sidCounter); }

std::set<std::string> Messenger::applications() const
{
    std::set<std::string> names;
    for (const auto& [id, c] : clients)
        for (const App& a : c.apps)
            names.insert(a.name);
    return names;
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

void Messenger::clientDiscover(int client)
{
    Client& c = clients[client];
    if (isOnline) {
        c.state = ClientState::Attached;
        c.sawCodeZero = true;
        sink.sendAttach(client, kAttachSuccess, static_cast<uint32_t>(client));
        send(client, "USERSTATUS ONLINE");
    } else {
        c.state = ClientState::NotAvailable;
        sink.sendAttach(client, kAttachNotAvailable, 0);
    }
}

void Messenger::clientClosed(int client)
{
    auto it = clients.find(client);
    if (it == clients.end())
        return;
    std::vector<Stream*> doomed;
    for (auto& s : streams)
        if (s->client == client)
            doomed.push_back(s.get());
    for (Stream* s : doomed)
        removeStream(s, true, false, "its program went away");
    bool hadApps = !it->second.apps.empty();
    clients.erase(it);
    if (hadApps)
        advertise();
}

void Messenger::clientCommand(int client, const std::string& line)
{
    auto it = clients.find(client);
    if (it == clients.end() || !it->second.sawCodeZero) {
        // Nothing may be sent to a program before its attach code 0.
        log.write("client " + std::to_string(client) + " sent a command before attaching: " + peerText(line));
        return;
    }
    handleCommand(client, it->second, line);
}

Messenger::App* Messenger::findApp(Client& c, const std::string& name)
{
    for (App& a : c.apps)
        if (a.name == name)
            return &a;
    return nullptr;
}

void Messenger::handleCommand(int client, Client& c, const std::string& line)
{
    Command cmd = parseCommand(line);
    if (answerGeneralCommand(client, c, cmd, line))
        return;

    // The rest names an application of this program.
    App* app = findApp(c, cmd.app);
    if (!app) {
        send(client, errorLine(kErrorUnknownApplication, "Unknown application " + cmd.app));
        return;
    }
    if (answerApplicationCommand(client, c, *app, cmd, line))
        return;

    Stream* s = findStream(client, cmd.app, cmd.user, cmd.id);
    if (!s) {
        send(client, errorLine(kErrorUnknownStream, "Unknown stream " + cmd.user + ":" + std::to_string(cmd.id)));
        return;
    }
    answerStreamCommand(client, *app, *s, cmd, line);
}

bool Messenger::answerGeneralCommand(int client, Client& c, const Command& cmd, const std::string& line)
{
    switch (cmd.kind) {
        case CommandKind::Invalid:
            send(client, errorLine(cmd.errorCode, cmd.errorText));
            return true;
        case CommandKind::Ping:
            send(client, "PONG");
            return true;
        case CommandKind::SearchFriends: {
            std::string out = "USERS";
            std::vector<std::string> friends = contacts.mutual();
            for (size_t i = 0; i < friends.size(); ++i)
                out += (i == 0 ? " " : ", ") + friends[i];
            send(client, out);
            return true;
        }
        case CommandKind::GetCurrentUserHandle:
            send(client, "CURRENTUSERHANDLE " + own);
            return true;
        case CommandKind::GetUserStatus:
            send(client, std::string("USERSTATUS ") + (isOnline ? "ONLINE" : "OFFLINE"));
            return true;
        case CommandKind::GetOnlineStatus: {
            std::string status = cmd.user == own ? (isOnline ? "ONLINE" : "OFFLINE") : contacts.onlineStatus(cmd.user);
            send(client, "USER " + cmd.user + " ONLINESTATUS " + status);
            return true;
        }
        case CommandKind::CreateApplication: {
            bool added = false;
            if (!findApp(c, cmd.app)) {
                c.apps.push_back(App{cmd.app, "APPLICATION " + cmd.app + " SENDING", std::string(), {}});
                added = true;
            }
            send(client, line);
            if (added)
                advertise();
            return true;
        }
        default:
            return false;
    }
}

bool Messenger::answerApplicationCommand(int client, Client& c, App& app, const Command& cmd, const std::string& line)
{
    switch (cmd.kind) {
        case CommandKind::GetConnectable: {
            std::string out = "APPLICATION " + cmd.app + " CONNECTABLE";
            for (const std::string& h : contacts.connectable(cmd.app))
                out += " " + h;
            send(client, out);
            return true;
        }
        case CommandKind::DeleteApplication: {
            send(client, line);
            std::vector<Stream*> doomed;
            for (auto& s : streams)
                if (s->client == client && s->app == cmd.app)
                    doomed.push_back(s.get());
            for (Stream* s : doomed)
                removeStream(s, true, false, "its application was deleted");
            c.apps.erase(c.apps.begin() + (&app - c.apps.data()));
            advertise();
            return true;
        }
        case CommandKind::Connect:
            send(client, line);
            connect(client, cmd.app, cmd.user);
            return true;
        default:
            return false;
    }
}

void Messenger::answerStreamCommand(int client, App& app, Stream& s, const Command& cmd, const std::string& line)
{
    switch (cmd.kind) {
        case CommandKind::Write:
            write(client, cmd.app, s, cmd.text);
            return;
        case CommandKind::Read:
            read(client, app, s);
            return;
        case CommandKind::Disconnect:
            send(client, line);
            removeStream(&s, true, true, "disconnected by the program");
            return;
        default:
            send(client, errorLine(kErrorUnknownCommand, "Unknown command"));
            return;
    }
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
    for (auto& [id, c] : clients) {
        if (c.state != ClientState::NotAvailable)
            continue;
        c.state = ClientState::Attached;
        c.sawCodeZero = true;
        sink.sendAttach(id, kAttachAvailable, 0);
        sink.sendAttach(id, kAttachSuccess, static_cast<uint32_t>(id));
        send(id, "USERSTATUS ONLINE");
    }
}

void Messenger::serverOffline()
{
    if (!isOnline)
        return;
    isOnline = false;
    log.write("lost the server connection");
    contacts.clearPresence();

    // Every stream ends; each program hears about it before code 3.
    std::set<std::pair<int, std::string>> touched;
    for (auto& s : streams)
        if (s->open)
            touched.insert({s->client, s->app});
    streams.clear();
    for (const auto& [client, app] : touched)
        send(client, streamsLine(client, app));
    for (auto& [id, c] : clients) {
        for (App& a : c.apps) {
            a.readOrder.clear();
            a.lastReceivedSet.clear();
            reportSending(id, a.name, false);
        }
        if (c.state == ClientState::Attached) {
            send(id, "USERSTATUS OFFLINE");
            c.state = ClientState::NotAvailable;
            sink.sendAttach(id, kAttachNotAvailable, 0);
        }
    }
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
        broadcast("USER " + bare + " BUDDYSTATUS 3");
    }
    if (isAccepted(bare) && subscription != "both" && subscription != "to")
        askOnce(bare);
    if (subscription != "both")
        closeStreamsWith(bare, bare + " is no longer a contact");
}

void Messenger::rosterRemoved(const std::string& bare)
{
    // Removed by the user (from another client): not asked again before the
    // next login.
    if (bare == own)
        return;
    closeStreamsWith(bare, bare + " was removed from the roster");
    contacts.removeItem(bare);
}

void Messenger::closeStreamsWith(const std::string& bare, const std::string& why)
{
    std::vector<Stream*> doomed;
    for (auto& s : streams)
        if (s->peer == bare)
            doomed.push_back(s.get());
    for (Stream* s : doomed)
        removeStream(s, true, true, why);
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
                         const std::set<std::string>& apps)
{
    std::string bare = bareOf(full);
    size_t slash = full.find('/');
    if (bare == own || slash == std::string::npos)
        return;
    std::string resource = full.substr(slash + 1);
    if (contacts.setPresence(bare, resource, available, show, apps) && isOnline)
        broadcast("USER " + bare + " ONLINESTATUS " + contacts.onlineStatus(bare));
    if (!available) {
        std::vector<Stream*> doomed;
        for (auto& s : streams)
            if (s->full == full)
                doomed.push_back(s.get());
        for (Stream* s : doomed)
            removeStream(s, false, true, peerText(full) + " went offline");
    }
}
