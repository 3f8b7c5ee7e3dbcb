// messengerd --setup: the first run of a user. Gathers the account from the
// command line (or asks for it on a terminal), checks the login against the
// server, and only then writes the configuration file, mode 0600, in one
// atomic step. The flow is plain code over two interfaces, the user's input
// (SetupInput) and the server (AccountServer), so that it runs without
// either in tests. One thread.
#pragma once

#include "messenger/support/config.h"
#include "messenger/xmpp/account_check.h"

#include <ostream>
#include <string>
#include <vector>

struct SetupOptions {
    std::string configPath;  // empty: defaultSetupConfigPath()
    std::string jid;         // empty: asked for on a terminal
    bool passwordStdin = false;
    std::vector<std::string> contacts;
    std::string server;
    int port = 0;
    std::string tlsCaFile;
    bool force = false;            // replace an existing file
    bool registerAccount = false;  // create the account first (XEP-0077)
};

// Parses the arguments that follow "--setup" (in any order). False, with
// `error`, for an unknown option, a missing or malformed value, or a password
// given on the command line.
bool parseSetupOptions(const std::vector<std::string>& args, SetupOptions& options, std::string& error);

// ${XDG_CONFIG_HOME:-$HOME/.config}/corvane/messengerd.conf, the file the
// systemd user unit reads; empty when neither variable gives a directory.
std::string defaultSetupConfigPath(const char* xdgConfigHome, const char* home);

// Where the answers come from: the user's terminal, or standard input.
class SetupInput {
public:
    // Standard input is a terminal, so missing values may be asked for.
    virtual bool isTerminal() = 0;
    // Shows `question` and reads one line; false at the end of input.
    virtual bool ask(const std::string& question, std::string& answer) = 0;
    // The same without echoing what is typed.
    virtual bool askSecret(const std::string& question, std::string& answer) = 0;
    // One line of standard input, without a question (--password-stdin).
    virtual bool readLine(std::string& line) = 0;

protected:
    ~SetupInput() = default;
};

// The configuration file for `config`: its account, server, tls_ca_file and
// contact lines, with comments that point at the documentation.
std::string setupConfigText(const MessengerConfig& config);

// Writes `text` to `path` through a temporary file of mode 0600 in the same
// directory and a rename, so that the file is either whole or not there.
// Missing directories are made with mode 0700. An existing file is replaced
// only when `replace`. False with `error`.
bool writeConfigAtomically(const std::string& path, const std::string& text, bool replace, std::string& error);

// The whole of messengerd --setup; returns the exit status: 0 when the file
// was written after a successful login, 1 when the registration, the login
// or the writing failed, 2 for bad options or input (nothing tried).
// Outcomes and next steps go to `out`, problems to `err`.
int runSetup(const SetupOptions& options, SetupInput& input, AccountServer& server, std::ostream& out,
             std::ostream& err);
