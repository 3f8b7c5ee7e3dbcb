// The daemon's configuration file: one "key = value" per line, '#' starts a
// comment line. parseConfig never trusts its input: every bad line is
// reported as "<file>:<line>: <reason>" and parsing goes on, so one run shows
// every mistake. Plain data, no threads involved. support/ (this, the
// contacts file, files, JIDs, the log) is the bottom of the daemon: it uses
// libc and libidn only.
#pragma once

#include <string>
#include <vector>

enum class TlsPolicy {
    Automatic,  // STARTTLS required unless the server is on loopback
    Required,   // STARTTLS required, also on loopback
    Optional,   // STARTTLS used when the server offers it
    Disabled,   // never STARTTLS (testing only)
};

// The account and how to reach its server: all that the XMPP side reads.
struct XmppAccount {
    std::string jid;  // bare JID of the account
    std::string password;
    std::string resource = "messengerd";
    std::string server;  // empty: the domain of the JID (DNS SRV lookup by the library)
    int port = 0;        // 0: library default (5222 or SRV)
    TlsPolicy tls = TlsPolicy::Automatic;
    bool tlsVerify = true;  // verify the server certificate
    std::string tlsCaFile;  // PEM file of CAs trusted besides the system's (absolute path)
};

// A STUN or TURN server of the configuration.
struct IceServerSetting {
    bool turn = false;
    std::string host;  // a name or an address
    int port = 3478;
    std::string username;  // TURN only
    std::string password;
};

struct MessengerConfig : XmppAccount {
    std::vector<std::string> contacts;  // bare JIDs whose subscription requests are accepted
    std::string logPath;                // empty: standard error
    std::string apiSocket = "SkypeControlAPI";
    int maxUnread = 64;                        // unread texts a stream keeps before it withholds acknowledgements
    int answerTimeout = 30;                    // seconds a peer may leave a stream request or a text unanswered
    int window = 32;                           // texts a stream keeps in flight before its program must wait
    bool compact = true;                       // offer and use the compact form of hex texts
    bool directPaths = true;                   // streams may go on a direct path to the contact's daemon
    std::vector<IceServerSetting> iceServers;  // stun and turn keys
    bool serverIceServices = true;             // use the STUN and TURN services the account's server offers too
};

// Parses `text`, read from `fileName` (used only in messages). Returns true
// when there was no error; `errors` receives one line per problem.
bool parseConfig(const std::string& fileName, const std::string& text, MessengerConfig& config,
                 std::vector<std::string>& errors);

// Reads and parses the file; a file that cannot be read is one error, and
// so is a tls_ca_file that cannot be read. The
// file holds the password: one that is not the user's own (`geteuid`), or
// that group or others have any permission on, is refused unread with one
// error that names the fix (chmod 600), as ssh refuses a key file.
bool loadConfig(const std::string& path, MessengerConfig& config, std::vector<std::string>& errors);

// One line per setting that weakens the connection to a server that is not
// on loopback (tls = optional or disabled, tls_verify = no), for the log.
std::vector<std::string> transportWarnings(const MessengerConfig& config);

// The host the daemon connects to: `server`, or the JID's domain.
std::string serverHost(const XmppAccount& account);

// True when the host names the loopback interface (literal check, no lookup).
bool isLoopbackHost(const std::string& host);

// Whether STARTTLS is mandatory for this configuration.
bool tlsRequired(const XmppAccount& account);
