// One direct path's link: a libnice agent on a GLib context (RFC 5245,
// UDP candidates only, RFC 7675 consent freshness) with one stream of one
// component, and a pseudo-TCP byte stream over its datagrams whose windows
// are 1 MiB each way: libnice's own reliable agent keeps pseudo-TCP's
// 60 KB receive window, which holds a 200 ms round trip to 300 KB/s.
//
// Gathering starts once the servers' names are found, from the context;
// the candidates are reported as they come. The controlling side opens the
// byte stream once ICE selected a pair, the other side waits for it. A link
// goes down once: when ICE finds no pair, when the selected pair stops
// answering consent checks (the peer is given up 10 s after its last
// answer; checks go every 4-6 s), when the byte stream is reset or closed
// by the peer or gives up on its own retransmissions.
#pragma once

#include "messenger/core/direct_path.h"
#include "messenger/p2p/glib_poll.h"
#include "messenger/p2p/server_lookup.h"
#include "messenger/support/log.h"

#include <memory>
#include <string>
#include <vector>

#include <glib.h>
#include <nice/agent.h>
#include <nice/pseudotcp.h>

class IceLink {
public:
    // `localAddresses`: host candidates on these only instead of on every
    // interface (IP literals; empty: every interface).
    IceLink(GMainContext* ctx, const std::string& key, bool controlling, const std::vector<IceServer>& servers,
            const std::vector<std::string>& localAddresses, DirectLinkEvents& events, Log& log);
    // Frees the agent; never while one of its callbacks runs.
    ~IceLink();
    IceLink(const IceLink&) = delete;
    IceLink& operator=(const IceLink&) = delete;

    void addRemote(const IceParameters& remote);
    // Bytes beyond what pseudo-TCP's buffer takes wait here.
    void send(const std::string& bytes);
    // Reports nothing more; a byte stream that is open is reset, so the
    // peer sees it end at once.
    void close();

private:
    static void onCandidate(NiceAgent*, NiceCandidate* candidate, gpointer self);
    static void onGatheringDone(NiceAgent*, guint stream, gpointer self);
    static void onState(NiceAgent*, guint stream, guint component, guint state, gpointer self);
    static void onSelectedPair(NiceAgent*, guint stream, guint component, NiceCandidate*, NiceCandidate*,
                               gpointer self);
    static void onDatagram(NiceAgent*, guint stream, guint component, guint len, gchar* buf, gpointer self);
    static void onOpened(PseudoTcpSocket*, gpointer self);
    static void onReadable(PseudoTcpSocket*, gpointer self);
    static void onWritable(PseudoTcpSocket*, gpointer self);
    static void onClosed(PseudoTcpSocket*, guint32 error, gpointer self);
    static PseudoTcpWriteResult writePacket(PseudoTcpSocket*, const gchar* buffer, guint32 len, gpointer self);

    void gather(std::vector<ServerLookup::Resolved> servers);
    void reportLocal(std::vector<IceCandidate> candidates, bool done);
    LinkRoute route();
    void flush();
    void armClock();
    // Reports linkDown(why) from the context, once.
    void fail(const std::string& why);

    GMainContext* ctx;
    std::string key;
    bool controlling;
    DirectLinkEvents& events;
    Log& log;
    NiceAgent* agent;
    guint stream;
    PseudoTcpSocket* tcp;
    GSource* clock;
    guint64 clockAt = 0;  // pseudo-TCP's time the clock is set to
    std::unique_ptr<ServerLookup> lookup;
    std::vector<ServerLookup::Resolved> turnServers;
    IdleCall downReport;  // linkDown, reported from the context
    bool credentialsSet = false;
    size_t remoteCount = 0;
    size_t reported = 0;
    bool selected = false;
    bool opened = false;
    bool down = false;
    bool closed = false;
    std::string outgoing;  // bytes pseudo-TCP has not taken yet, from `taken` on
    size_t taken = 0;
};
