// The XMPP side over libstrophe: one client connection to the server, with
// its login, its loss and the next attempt. Incoming iqs and presence go to
// its two parts, RosterPresence (the XmppLink the core talks to) and
// InBandStreams (the core's StreamTransport), and from them to the core's
// XmppEvents and StreamEvents. Reads the account (XmppAccount) and nothing
// else of the configuration; may use the support folder and the core's
// interfaces, not the core itself. Owned by the daemon and driven from its
// loop only (runOnce); the core must outlive it.
#pragma once

#include "messenger/core/stream_transport.h"
#include "messenger/core/xmpp_events.h"
#include "messenger/support/config.h"
#include "messenger/support/log.h"
#include "messenger/xmpp/in_band_streams.h"
#include "messenger/xmpp/jingle_signals.h"
#include "messenger/xmpp/roster_presence.h"
#include "messenger/xmpp/stanzas.h"

#include <chrono>
#include <string>

#include <strophe.h>

// libstrophe connection flags for this account: the TLS policy
// (XMPP_CONN_FLAG_MANDATORY_TLS when STARTTLS is required, DISABLE_TLS when
// it is off), certificate trust, and no stream management.
long connectionFlags(const XmppAccount& account);

// Why the server's certificate is refused (`errormsg` from the TLS library)
// and what would let it through, in one line: "the certificate of HOST does
// not verify: ...; not logged in. ...".
std::string certificateRefusal(const XmppAccount& account, const xmpp_tlscert_t* cert, const char* errormsg);

class ServerConnection {
public:
    // `offersDirect`: the daemon offers direct paths to its contacts.
    ServerConnection(const XmppAccount& account, Log& log, bool offersDirect = false);
    ~ServerConnection();
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    // Where the connection's events go (null: nowhere).
    void setEvents(XmppEvents* xmpp, StreamEvents* streams, PathSignalEvents* paths = nullptr);
    XmppLink& rosterAndPresence() { return roster; }
    StreamTransport& inBandStreams() { return ibb; }
    PathSignaling& jingleSignals() { return jingle; }

    // Starts a connection attempt; the outcome arrives through XmppEvents.
    void connect();
    // Sends unavailable presence and closes the stream.
    void disconnect();
    bool disconnected() const { return state == State::Disconnected; }
    bool online() const { return state == State::Online; }
    // Connecting or logging in (not yet online), since attemptStarted().
    bool loggingIn() const { return state == State::Connecting || state == State::LoadingRoster; }
    std::chrono::steady_clock::time_point attemptStarted() const { return attemptAt; }
    // Gives the connection up as lost (`why` goes to the log): the socket
    // is closed at once, without a goodbye the server could not hear, and
    // the loss takes the path of any lost connection (the core is told,
    // a new attempt follows).
    void drop(const std::string& why);
    // When the next connection attempt is due after a loss.
    std::chrono::steady_clock::time_point retryAt() const { return nextAttempt; }

    int fd() const { return socketFd; }
    bool wantsWrite() const;
    // Drives libstrophe without blocking; true when stanzas were handled.
    bool runOnce();

    // Round trip to the server (used to know that earlier stanzas left).
    void ping();
    // Asks the server again for its STUN and TURN services when the last
    // answer is kServicesRefresh old: the TURN credentials in it are short
    // lived (a day with Prosody's turn_external, 12 hours with ejabberd).
    void refreshServices(std::chrono::steady_clock::time_point now);
    static constexpr std::chrono::hours kServicesRefresh{1};
    bool pongReceived() const { return pong; }

private:
    enum class State { Disconnected, Connecting, LoadingRoster, Online };

    static void onConnection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error, xmpp_stream_error_t* streamError,
                             void* self);
    static int onIq(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
    static int onPresence(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
    static int onSocket(xmpp_conn_t* conn, void* sock);
    static int onCertificateFailure(const xmpp_tlscert_t* cert, const char* errormsg);

    void connected();
    void lost(const std::string& why);
    void askForExternalServices();
    void handleResult(xmpp_stanza_t* iq, bool ok);
    void handleRequest(xmpp_stanza_t* iq);

    const XmppAccount account;
    Log& log;
    xmpp_log_t logger;  // libstrophe's log into `log`; its handler is off while the session is up
    XmppEvents* events = nullptr;
    xmpp_ctx_t* ctx = nullptr;
    xmpp_conn_t* conn = nullptr;
    StanzaSender sender;
    RosterPresence roster;
    InBandStreams ibb;
    JingleSignals jingle;
    PathSignalEvents* pathEvents = nullptr;
    State state = State::Disconnected;
    int socketFd = -1;
    int failures = 0;
    std::chrono::steady_clock::time_point nextAttempt{};
    std::chrono::steady_clock::time_point attemptAt{};
    std::string dropReason;           // set by drop() until the loss is handled
    bool certificateRefused = false;  // this attempt ended on the server's certificate
    bool activity = false;
    bool pong = false;
    std::chrono::steady_clock::time_point servicesAsked{};
    std::string servicesSaid;  // the last answer as logged, credentials' end left out
};
