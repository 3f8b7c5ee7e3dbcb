#include "messenger/core/programs.h"

#include "wire/api_frame.h"

#include <algorithm>

void Programs::discover(int client, bool online)
{
    Client& c = clients[client];
    if (online) {
        c.state = State::Attached;
        c.sawCodeZero = true;
        sink.sendAttach(client, kAttachSuccess, static_cast<uint32_t>(client));
        send(client, "USERSTATUS ONLINE");
    } else {
        c.state = State::NotAvailable;
        sink.sendAttach(client, kAttachNotAvailable, 0);
    }
}

bool Programs::closed(int client)
{
    auto it = clients.find(client);
    if (it == clients.end())
        return false;
    bool hadApps = !it->second.apps.empty();
    clients.erase(it);
    return hadApps;
}

bool Programs::mayCommand(int client) const
{
    auto it = clients.find(client);
    return it != clients.end() && it->second.sawCodeZero;
}

void Programs::attachWaiting()
{
    for (auto& [id, c] : clients) {
        if (c.state != State::NotAvailable)
            continue;
        c.state = State::Attached;
        c.sawCodeZero = true;
        sink.sendAttach(id, kAttachAvailable, 0);
        sink.sendAttach(id, kAttachSuccess, static_cast<uint32_t>(id));
        send(id, "USERSTATUS ONLINE");
    }
}

void Programs::detachAll()
{
    for (auto& [id, c] : clients) {
        for (App& a : c.apps) {
            a.readOrder.clear();
            a.lastReceivedSet.clear();
            reportSending(id, a.name, false);
        }
        if (c.state == State::Attached) {
            send(id, "USERSTATUS OFFLINE");
            c.state = State::NotAvailable;
            sink.sendAttach(id, kAttachNotAvailable, 0);
        }
    }
}

void Programs::send(int client, const std::string& line) { sink.sendLine(client, line); }

void Programs::broadcast(const std::string& line)
{
    for (const auto& [id, c] : clients)
        if (c.state == State::Attached)
            send(id, line);
}

Programs::App* Programs::app(int client, const std::string& name)
{
    auto c = clients.find(client);
    if (c == clients.end())
        return nullptr;
    for (App& a : c->second.apps)
        if (a.name == name)
            return &a;
    return nullptr;
}

Programs::App* Programs::attachedApp(int client, const std::string& name)
{
    auto c = clients.find(client);
    if (c == clients.end() || c->second.state != State::Attached)
        return nullptr;
    return app(client, name);
}

bool Programs::createApp(int client, const std::string& name)
{
    if (app(client, name))
        return false;
    clients[client].apps.push_back(App{name, "APPLICATION " + name + " SENDING", std::string(), {}});
    return true;
}

void Programs::deleteApp(int client, const std::string& name)
{
    auto& apps = clients[client].apps;
    apps.erase(std::remove_if(apps.begin(), apps.end(), [&](const App& a) { return a.name == name; }), apps.end());
}

int Programs::ownerOf(const std::string& app) const
{
    for (const auto& [id, c] : clients) {
        if (c.state != State::Attached)
            continue;
        for (const App& a : c.apps)
            if (a.name == app)
                return id;
    }
    return 0;
}

std::set<std::string> Programs::applications() const
{
    std::set<std::string> names;
    for (const auto& [id, c] : clients)
        for (const App& a : c.apps)
            names.insert(a.name);
    return names;
}

std::string Programs::streamsLine(int client, const std::string& app) const
{
    std::string out = "APPLICATION " + app + " STREAMS";
    for (const auto& s : streams)
        if (s->open && s->client == client && s->app == app)
            out += " " + s->ref();
    return out;
}

std::string Programs::sendingLine(int client, const std::string& app) const
{
    // Only a stream that may not send more before an acknowledgement comes.
    std::string out = "APPLICATION " + app + " SENDING";
    for (const auto& s : streams)
        if (s->open && s->client == client && s->app == app && s->unacked.full())
            out += " " + s->ref() + "=" + std::to_string(s->unacked.inFlightBytes());
    return out;
}

std::string Programs::receivedSet(int client, const App& app) const
{
    std::string out;
    for (int id : app.readOrder)
        for (const auto& s : streams)
            if (s->client == client && s->app == app.name && s->id == id && s->open)
                out += " " + s->ref();
    return out;
}

std::string Programs::receivedLine(int client, const App& app) const
{
    std::string out = "APPLICATION " + app.name + " RECEIVED";
    for (int id : app.readOrder)
        for (const auto& s : streams)
            if (s->client == client && s->app == app.name && s->id == id && s->open)
                out += " " + s->ref() + "=" + std::to_string(s->unreadBytes);
    return out;
}

void Programs::reportSending(int client, const std::string& appName, bool always)
{
    App* a = attachedApp(client, appName);
    if (!a)
        return;
    std::string line = sendingLine(client, appName);
    if (!always && line == a->lastSending)
        return;
    a->lastSending = line;
    send(client, line);
}

void Programs::reportReceived(int client, const std::string& appName, bool always)
{
    App* a = attachedApp(client, appName);
    if (!a)
        return;
    std::string set = receivedSet(client, *a);
    if (!always && set == a->lastReceivedSet)
        return;
    a->lastReceivedSet = set;
    send(client, receivedLine(client, *a));
}

void Programs::streamGone(int client, const std::string& appName, int id, bool tell)
{
    App* a = app(client, appName);
    if (!a)
        return;
    auto& order = a->readOrder;
    order.erase(std::remove(order.begin(), order.end(), id), order.end());
    if (tell && clients[client].state == State::Attached) {
        send(client, streamsLine(client, appName));
        reportSending(client, appName, false);
        reportReceived(client, appName, false);
    }
}

void Programs::textArrived(int client, const std::string& appName, int id)
{
    App* a = app(client, appName);
    if (!a)
        return;
    if (std::find(a->readOrder.begin(), a->readOrder.end(), id) == a->readOrder.end())
        a->readOrder.push_back(id);
    reportReceived(client, appName, false);
}

void Programs::textRead(int client, App& a, int id, bool more)
{
    auto& order = a.readOrder;
    order.erase(std::remove(order.begin(), order.end(), id), order.end());
    if (more)
        order.push_back(id);
    reportReceived(client, a.name, true);
}
