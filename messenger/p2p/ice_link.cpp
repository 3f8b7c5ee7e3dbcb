#include "messenger/p2p/ice_link.h"

#include "messenger/p2p/nice_candidates.h"

#include <cerrno>

#include <algorithm>

namespace {

// Both sides' pseudo-TCP sockets carry this conversation id.
constexpr guint32 kConversation = 0x436f7276;
// Pseudo-TCP's send and receive buffers, and so its windows.
constexpr guint kTcpBuffer = 1u << 20;
// The largest pseudo-TCP segment with its headers: below a VPN's or a
// tunnel's MTU, as libnice chooses for its own reliable agents.
constexpr guint16 kTcpMtu = 1400;
// The most pseudo-TCP takes from one recv.
constexpr size_t kReadChunk = 64 * 1024;

// A source that only has a ready time: dispatched when it is reached, then
// set again (or to -1) by its callback.
GSourceFuncs timerFuncs = {
    nullptr, nullptr, [](GSource*, GSourceFunc callback, gpointer data) -> gboolean { return callback(data); },
    nullptr, nullptr, nullptr,
};

template <typename F>
void connect(NiceAgent* agent, const char* signal, F* handler, gpointer data)
{
    g_signal_connect_data(agent, signal, reinterpret_cast<GCallback>(handler), data, nullptr, GConnectFlags{});
}

}  // namespace

IceLink::IceLink(GMainContext* c, const std::string& k, bool ctl, const std::vector<IceServer>& servers,
                 const std::vector<std::string>& localAddresses, DirectLinkEvents& e, Log& l)
    : ctx(c),
      key(k),
      controlling(ctl),
      events(e),
      log(l),
      agent(nice_agent_new_full(ctx, NICE_COMPATIBILITY_RFC5245, NICE_AGENT_OPTION_CONSENT_FRESHNESS)),
      stream(0),
      tcp(nullptr),
      clock(g_source_new(&timerFuncs, sizeof(GSource)))
{
    g_object_set(agent, "ice-tcp", FALSE, "ice-udp", TRUE, "upnp", FALSE, "controlling-mode",
                 static_cast<gboolean>(controlling), nullptr);
    for (const std::string& ip : localAddresses) {
        NiceAddress address;
        nice_address_init(&address);
        if (nice_address_set_from_string(&address, ip.c_str()))
            nice_agent_add_local_address(agent, &address);
    }
    stream = nice_agent_add_stream(agent, 1);
    connect(agent, "new-candidate-full", &IceLink::onCandidate, this);
    connect(agent, "candidate-gathering-done", &IceLink::onGatheringDone, this);
    connect(agent, "component-state-changed", &IceLink::onState, this);
    connect(agent, "new-selected-pair-full", &IceLink::onSelectedPair, this);
    nice_agent_attach_recv(agent, stream, 1, ctx, &IceLink::onDatagram, this);

    // The socket exists from the start, so that a peer's first segments,
    // which may come before this side's ICE selected its pair, are taken.
    PseudoTcpCallbacks callbacks{this,
                                 &IceLink::onOpened,
                                 &IceLink::onReadable,
                                 &IceLink::onWritable,
                                 &IceLink::onClosed,
                                 &IceLink::writePacket};
    tcp = pseudo_tcp_socket_new(kConversation, &callbacks);
    g_object_set(tcp, "snd-buf", kTcpBuffer, "rcv-buf", kTcpBuffer, "no-delay", TRUE, nullptr);
    g_source_set_callback(
        clock,
        [](gpointer data) -> gboolean {
            auto* self = static_cast<IceLink*>(data);
            self->clockAt = 0;
            if (!self->closed) {
                pseudo_tcp_socket_notify_clock(self->tcp);
                self->armClock();
            }
            return G_SOURCE_CONTINUE;
        },
        this, nullptr);
    g_source_attach(clock, ctx);
    armClock();

    lookup = std::make_unique<ServerLookup>(ctx, servers, log,
                                            [this](std::vector<ServerLookup::Resolved> found) { gather(found); });
}

IceLink::~IceLink()
{
    close();
    g_signal_handlers_disconnect_matched(agent, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    nice_agent_attach_recv(agent, stream, 1, ctx, nullptr, nullptr);
    nice_agent_remove_stream(agent, stream);
    g_object_unref(agent);
    g_object_unref(tcp);
}

void IceLink::close()
{
    if (closed)
        return;
    closed = true;
    lookup.reset();
    g_source_destroy(clock);
    g_source_unref(clock);
    downReport.cancel();
    // Sends a reset when connected (nothing is reported of it now).
    pseudo_tcp_socket_close(tcp, TRUE);
}

void IceLink::gather(std::vector<ServerLookup::Resolved> servers)
{
    lookup.reset();
    bool stunSet = false;
    for (const ServerLookup::Resolved& s : servers) {
        if (s.server.kind == IceServer::Kind::Stun && !stunSet) {
            // libnice takes one STUN server.
            g_object_set(agent, "stun-server", s.ip.c_str(), "stun-server-port", static_cast<guint>(s.server.port),
                         nullptr);
            stunSet = true;
        } else if (s.server.kind == IceServer::Kind::Turn) {
            nice_agent_set_relay_info(agent, stream, 1, s.ip.c_str(), s.server.port, s.server.username.c_str(),
                                      s.server.password.c_str(), NICE_RELAY_TYPE_TURN_UDP);
            turnServers.push_back(s);
        }
    }
    if (!nice_agent_gather_candidates(agent, stream))
        fail("no local address to gather ICE candidates on");
}

void IceLink::reportLocal(std::vector<IceCandidate> candidates, bool done)
{
    IceParameters local;
    gchar* ufrag = nullptr;
    gchar* pwd = nullptr;
    if (nice_agent_get_local_credentials(agent, stream, &ufrag, &pwd)) {
        local.ufrag = ufrag;
        local.pwd = pwd;
    }
    g_free(ufrag);
    g_free(pwd);
    local.candidates = std::move(candidates);
    events.localIce(key, local, done);
}

void IceLink::onCandidate(NiceAgent*, NiceCandidate* candidate, gpointer data)
{
    auto* self = static_cast<IceLink*>(data);
    if (self->closed || candidate->stream_id != self->stream || candidate->component_id != 1)
        return;
    IceCandidate c = toIceCandidate(*candidate);
    c.id = std::to_string(++self->reported);
    self->reportLocal({c}, false);
}

void IceLink::onGatheringDone(NiceAgent*, guint stream, gpointer data)
{
    auto* self = static_cast<IceLink*>(data);
    if (!self->closed && stream == self->stream)
        self->reportLocal({}, true);
}

void IceLink::addRemote(const IceParameters& remote)
{
    if (closed)
        return;
    if (!credentialsSet && !remote.ufrag.empty() && !remote.pwd.empty()) {
        nice_agent_set_remote_credentials(agent, stream, remote.ufrag.c_str(), remote.pwd.c_str());
        credentialsSet = true;
    }
    GSList* list = nullptr;
    for (const IceCandidate& c : remote.candidates) {
        if (remoteCount == kMaxIceCandidates)
            break;
        if (NiceCandidate* n = toNiceCandidate(c, stream)) {
            list = g_slist_append(list, n);
            ++remoteCount;
        }
    }
    if (list)
        nice_agent_set_remote_candidates(agent, stream, 1, list);
    g_slist_free_full(list, reinterpret_cast<GDestroyNotify>(&nice_candidate_free));
}

void IceLink::onState(NiceAgent*, guint stream, guint, guint state, gpointer data)
{
    auto* self = static_cast<IceLink*>(data);
    if (self->closed || stream != self->stream || state != NICE_COMPONENT_STATE_FAILED)
        return;
    self->fail(self->selected ? "the path stopped answering ICE consent checks"
                              : "ICE found no candidate pair that answers");
}

void IceLink::onSelectedPair(NiceAgent*, guint stream, guint, NiceCandidate*, NiceCandidate*, gpointer data)
{
    auto* self = static_cast<IceLink*>(data);
    if (self->closed || stream != self->stream || self->selected)
        return;
    self->selected = true;
    pseudo_tcp_socket_notify_mtu(self->tcp, kTcpMtu);
    if (self->controlling)
        pseudo_tcp_socket_connect(self->tcp);
    self->armClock();
}

void IceLink::onDatagram(NiceAgent*, guint, guint, guint len, gchar* buf, gpointer data)
{
    auto* self = static_cast<IceLink*>(data);
    if (self->closed || self->down)
        return;
    pseudo_tcp_socket_notify_packet(self->tcp, buf, len);
    if (!self->closed)
        self->armClock();
}

PseudoTcpWriteResult IceLink::writePacket(PseudoTcpSocket*, const gchar* buffer, guint32 len, gpointer data)
{
    // A segment that cannot go (no pair yet, the socket's buffer full) is
    // lost like any other and sent again: a failure here would make
    // pseudo-TCP give up the connection.
    auto* self = static_cast<IceLink*>(data);
    nice_agent_send(self->agent, self->stream, 1, len, buffer);
    return WR_SUCCESS;
}

LinkRoute IceLink::route()
{
    LinkRoute r;
    NiceCandidate* local = nullptr;
    NiceCandidate* remote = nullptr;
    if (!nice_agent_get_selected_pair(agent, stream, 1, &local, &remote))
        return r;
    r.local = candidateText(*local);
    r.remote = candidateText(*remote);
    const bool localRelayed = local->type == NICE_CANDIDATE_TYPE_RELAYED;
    r.relayed = localRelayed || remote->type == NICE_CANDIDATE_TYPE_RELAYED;
    if (!r.relayed)
        return r;
    // The relayed address lies on the TURN server that gave it: this side's
    // own, or the peer's, which is often the same one (both were offered
    // the server of their XMPP server) and then sends from its address.
    // A peer's relay on a server this side does not use is named by its
    // relayed address.
    const NiceCandidate& relay = localRelayed ? *local : *remote;
    const std::string ip = toIceCandidate(relay).ip;
    for (const ServerLookup::Resolved& s : turnServers)
        if (s.ip == ip || (localRelayed && turnServers.size() == 1))
            r.turnServer = s.server.host + ":" + std::to_string(s.server.port);
    if (r.turnServer.empty())
        r.turnServer = endpointText(relay.addr);
    return r;
}

void IceLink::onOpened(PseudoTcpSocket*, gpointer data)
{
    auto* self = static_cast<IceLink*>(data);
    if (self->closed || self->down)
        return;
    self->opened = true;
    self->events.linkUp(self->key, self->route());
}

void IceLink::onReadable(PseudoTcpSocket*, gpointer data)
{
    auto* self = static_cast<IceLink*>(data);
    if (self->closed || self->down)
        return;
    // Read until pseudo-TCP says it would block, else it stays silent.
    std::string bytes;
    bool ended = false;
    std::string why;
    for (;;) {
        size_t at = bytes.size();
        bytes.resize(at + kReadChunk);
        gint n = pseudo_tcp_socket_recv(self->tcp, bytes.data() + at, kReadChunk);
        bytes.resize(at + static_cast<size_t>(std::max(n, 0)));
        if (n > 0)
            continue;
        if (n == 0) {
            ended = true;
            why = "closed by the peer";
        } else if (pseudo_tcp_socket_get_error(self->tcp) != EWOULDBLOCK) {
            ended = true;
            why = std::string("the byte stream failed: ") + g_strerror(pseudo_tcp_socket_get_error(self->tcp));
        }
        break;
    }
    if (!bytes.empty())
        self->events.linkData(self->key, bytes);
    if (self->closed)
        return;
    if (ended)
        self->fail(why);
    self->armClock();
}

void IceLink::onWritable(PseudoTcpSocket*, gpointer data)
{
    auto* self = static_cast<IceLink*>(data);
    if (!self->closed && !self->down)
        self->flush();
}

void IceLink::onClosed(PseudoTcpSocket*, guint32 error, gpointer data)
{
    auto* self = static_cast<IceLink*>(data);
    if (self->closed)
        return;
    self->fail(error == ECONNRESET ? "reset by the peer"
                                   : std::string("the byte stream failed: ") + g_strerror(static_cast<gint>(error)));
}

void IceLink::send(const std::string& bytes)
{
    if (closed || down || !opened)
        return;
    outgoing += bytes;
    flush();
}

void IceLink::flush()
{
    while (taken < outgoing.size()) {
        guint32 n = static_cast<guint32>(std::min<size_t>(outgoing.size() - taken, kTcpBuffer));
        gint sent = pseudo_tcp_socket_send(tcp, outgoing.data() + taken, n);
        if (sent <= 0) {
            if (sent < 0 && pseudo_tcp_socket_get_error(tcp) != EWOULDBLOCK)
                fail(std::string("the byte stream failed: ") + g_strerror(pseudo_tcp_socket_get_error(tcp)));
            break;
        }
        taken += static_cast<size_t>(sent);
    }
    // Waiting bytes move to the front once most of the buffer is sent.
    if (taken == outgoing.size()) {
        outgoing.clear();
        taken = 0;
    } else if (taken > outgoing.size() / 2) {
        outgoing.erase(0, taken);
        taken = 0;
    }
    armClock();
}

void IceLink::armClock()
{
    if (closed)
        return;
    guint64 at = 0;
    if (!pseudo_tcp_socket_get_next_clock(tcp, &at)) {
        g_source_set_ready_time(clock, -1);
        if (opened)
            fail("closed by the peer");
        return;
    }
    if (at == clockAt)
        return;
    clockAt = at;
    // Pseudo-TCP's clock is g_get_monotonic_time() in 32-bit milliseconds.
    gint64 now = g_get_monotonic_time();
    auto inMs = static_cast<gint32>(static_cast<guint32>(at) - static_cast<guint32>(now / 1000));
    g_source_set_ready_time(clock, now + std::max<gint64>(inMs, 0) * 1000);
}

void IceLink::fail(const std::string& why)
{
    if (down || closed)
        return;
    down = true;
    downReport.schedule(ctx, [this, why] { events.linkDown(key, why); });
}
