// The daemon's configuration file: one "key = value" per line, '#' starts a
// comment line. parseConfig never trusts its input: every bad line is
// reported as "<file>:<line>: <reason>" and parsing goes on, so one run shows
// every mistake. Plain data, no threads involved.
#pragma once

#include <string>
#include <vector>

enum class TlsPolicy {
    Automatic,  // STARTTLS required unless the server is on loopback
    Required,   // STARTTLS required, also on loopback
    Optional,   // STARTTLS used when the server offers it
    Disabled,   // never STARTTLS (testing only)
};

struct MessengerConfig {
    std::string jid;  // bare JID of the account
    std::string password;
    std::string resource = "messengerd";
    std::string server;  // empty: the domain of the JID (DNS SRV lookup by the library)
    int port = 0;        // 0: library default (5222 or SRV)
    TlsPolicy tls = TlsPolicy::Automatic;
    bool tlsVerify = true;              // verify the server certificate
    std::string tlsCaFile;              // PEM file of CAs trusted besides the system's (absolute path)
    std::vector<std::string> contacts;  // bare JIDs whose subscription requests are accepted
    std::string logPath;                // empty: standard error
    std::string apiSocket = "SkypeControlAPI";
    int maxUnread = 64;      // unread texts a stream keeps before it withholds acknowledgements
    int answerTimeout = 30;  // seconds a peer may leave a stream request or a text unanswered
    int window = 32;         // texts a stream keeps in flight before its program must wait
    bool compact = true;     // offer and use the compact form of hex texts
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

// Why a configuration file of this mode and owner may not be used by
// `user` (the message names `path` and the command that fixes it), or empty
// when it may. `holds` names what the file keeps ("the secret key" for the
// key file).
std::string configFileProblem(const std::string& path, unsigned mode, unsigned owner, unsigned user,
                              const std::string& holds = "the password");

// The contacts added with --add-contact, in a file beside the configuration
// (identity.h's besideConfig, ".contacts"): one bare JID per line, '#'
// starts a comment line. The file decides who may become a contact, so it
// is held to the same owner and mode as the configuration.
//
// Adds the file's JIDs to config.contacts (those already there are not
// added again). A file that does not exist adds nothing; every bad line is
// one error "<file>:<line>: <reason>", as parseConfig reports them.
bool loadContactsFile(const std::string& path, MessengerConfig& config, std::vector<std::string>& errors);
// Appends `jid` to the contacts file unless it is listed already; the file
// is made with mode 0600 when it does not exist. False with `error`.
bool addToContactsFile(const std::string& path, const std::string& jid, std::string& error);

// One line per setting that weakens the connection to a server that is not
// on loopback (tls = optional or disabled, tls_verify = no), for the log.
std::vector<std::string> transportWarnings(const MessengerConfig& config);

// Flushes the folder of the file `path` to disk, so that a file just made or
// renamed in it stays after a crash. False when it cannot.
bool syncFolderOf(const std::string& path);

// The form in which a JID is stored and compared: the local part and the
// domain prepared as XMPP addresses are (stringprep's nodeprep and nameprep:
// case-insensitive), the resource as it is.
std::string normalizeJid(const std::string& jid);

// True when `jid` is a bare JID "node@domain" without blanks or resource.
bool isBareJid(const std::string& jid);

// The host the daemon connects to: `server`, or the JID's domain.
std::string serverHost(const MessengerConfig& config);

// True when the host names the loopback interface (literal check, no lookup).
bool isLoopbackHost(const std::string& host);

// Whether STARTTLS is mandatory for this configuration.
bool tlsRequired(const MessengerConfig& config);
