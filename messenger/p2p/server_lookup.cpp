#include "messenger/p2p/server_lookup.h"

#include <algorithm>
#include <memory>

struct ServerLookup::Pending {
    ServerLookup* owner;  // null once the lookup was given up
    size_t index;
};

namespace {

// The first IPv4 address of `addresses`, else the first one.
std::string chooseAddress(GList* addresses)
{
    GInetAddress* chosen = nullptr;
    for (GList* a = addresses; a; a = a->next) {
        auto* address = static_cast<GInetAddress*>(a->data);
        if (!chosen
            || (g_inet_address_get_family(address) == G_SOCKET_FAMILY_IPV4
                && g_inet_address_get_family(chosen) != G_SOCKET_FAMILY_IPV4))
            chosen = address;
    }
    if (!chosen)
        return {};
    gchar* text = g_inet_address_to_string(chosen);
    std::string ip = text;
    g_free(text);
    return ip;
}

}  // namespace

ServerLookup::ServerLookup(GMainContext* ctx, std::vector<IceServer> s, Log& l, Done d)
    : servers(std::move(s)), ips(servers.size()), log(l), done(std::move(d)), cancellable(g_cancellable_new())
{
    GResolver* resolver = g_resolver_get_default();
    g_main_context_push_thread_default(ctx);
    for (size_t i = 0; i < servers.size(); ++i) {
        if (g_hostname_is_ip_address(servers[i].host.c_str())) {
            ips[i] = servers[i].host;
            continue;
        }
        auto* p = new Pending{this, i};
        pending.push_back(p);
        ++waiting;
        g_resolver_lookup_by_name_async(
            resolver, servers[i].host.c_str(), cancellable,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<Pending> lookup(static_cast<Pending*>(data));
                GError* error = nullptr;
                GList* addresses =
                    g_resolver_lookup_by_name_finish(reinterpret_cast<GResolver*>(source), result, &error);
                std::string ip = chooseAddress(addresses);
                std::string why = error ? error->message : "no address";
                g_resolver_free_addresses(addresses);
                g_clear_error(&error);
                if (lookup->owner)
                    lookup->owner->resolved(lookup->index, ip, why);
            },
            p);
    }
    g_main_context_pop_thread_default(ctx);
    g_object_unref(resolver);
    if (waiting == 0)
        idle.schedule(ctx, [this] { finish(); });
}

ServerLookup::~ServerLookup()
{
    for (Pending* p : pending)
        p->owner = nullptr;
    g_cancellable_cancel(cancellable);
    g_object_unref(cancellable);
}

void ServerLookup::resolved(size_t index, const std::string& ip, const std::string& error)
{
    pending.erase(std::find_if(pending.begin(), pending.end(), [&](Pending* p) { return p->index == index; }));
    if (ip.empty())
        log.write("ICE server " + peerText(servers[index].host) + " not found: " + peerText(error));
    ips[index] = ip;
    if (--waiting == 0)
        finish();
}

void ServerLookup::finish()
{
    std::vector<Resolved> usable;
    for (size_t i = 0; i < servers.size(); ++i)
        if (!ips[i].empty())
            usable.push_back({servers[i], ips[i]});
    // Last: `done` may end this object.
    Done d = std::move(done);
    d(std::move(usable));
}
