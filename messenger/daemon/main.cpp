// messengerd: the messenger beside the program, over XMPP.
#include "messenger/crypto/fingerprint.h"
#include "messenger/daemon/daemon.h"
#include "messenger/daemon/daemon_options.h"
#include "messenger/daemon/setup.h"
#include "messenger/daemon/setup_terminal.h"
#include "messenger/local/api_server.h"
#include "messenger/support/config.h"
#include "messenger/support/contacts_file.h"
#include "messenger/support/files.h"
#include "messenger/support/jid.h"
#include "messenger/support/log.h"
#include "messenger/trust/key_file.h"
#include "messenger/trust/pin_file.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#ifndef CORVANE_VERSION
#define CORVANE_VERSION "0"
#endif

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

// A wrong command line: what is wrong, and where the help is.
int wrongCommandLine(const std::string& error)
{
    std::fprintf(stderr, "messengerd: %s\nTry 'messengerd --help'.\n", error.c_str());
    return 2;
}

// Loads the configuration and the contacts added with --add-contact;
// false when either has errors (reported on standard error).
bool loadEverything(const std::string& configPath, MessengerConfig& config)
{
    std::vector<std::string> errors;
    if (loadConfig(configPath, config, errors))
        loadContactsFile(besideConfig(configPath, ".contacts"), config, errors);
    if (errors.empty())
        return true;
    for (const std::string& e : errors)
        std::fprintf(stderr, "%s\n", e.c_str());
    std::fprintf(stderr, "messengerd: not started, the configuration has errors\n");
    return false;
}

int showFingerprint(const std::string& configPath)
{
    noise::KeyPair keys;
    std::string error;
    if (!loadOrCreateKeyPair(besideConfig(configPath, ".key"), keys, error)) {
        std::fprintf(stderr, "messengerd: %s\n", error.c_str());
        return 2;
    }
    std::printf("%s\n", fingerprintText(keys.pub).c_str());
    return 0;
}

int trustKey(const std::string& configPath, const std::string& jid, const std::string& fingerprint)
{
    std::string compact;
    if (!isBareJid(jid)) {
        std::fprintf(stderr, "messengerd: --trust needs a bare JID, not '%s'\n", jid.c_str());
        return 2;
    }
    if (!parseFingerprint(fingerprint, compact)) {
        std::fprintf(stderr,
                     "messengerd: '%s' is not a fingerprint: expected 40 hex digits, as messengerd --fingerprint "
                     "shows them on the contact's PC\n",
                     fingerprint.c_str());
        return 2;
    }
    PinFile pins(besideConfig(configPath, ".pins"), nullptr);
    std::string error;
    if (!pins.trust(jid, compact, error)) {
        std::fprintf(stderr, "messengerd: %s\n", error.c_str());
        return 1;
    }
    std::printf("trusted the key of %s: fingerprint %s\n", jid.c_str(), groupFingerprint(compact).c_str());
    return 0;
}

int setup(const DaemonOptions& o)
{
    SetupOptions options;
    std::string error;
    if (!parseSetupOptions(o.setupArgs, options, error))
        return wrongCommandLine(error);
    options.configPath = configPathFor(o, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"), error);
    if (options.configPath.empty()) {
        std::fprintf(stderr, "messengerd: %s\n", error.c_str());
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    TerminalSetupInput input;
    StropheAccountServer server;
    return runSetup(options, input, server, std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv)
{
    DaemonOptions o;
    std::string error;
    if (!parseDaemonOptions(std::vector<std::string>(argv + 1, argv + argc), o, error))
        return wrongCommandLine(error);
    switch (o.mode) {
        case DaemonOptions::Mode::Help:
            std::fputs(daemonHelpText(), stdout);
            return 0;
        case DaemonOptions::Mode::Version:
            std::printf("messengerd %s\n", CORVANE_VERSION);
            return 0;
        case DaemonOptions::Mode::Setup:
            return setup(o);
        default:
            break;
    }
    const std::string configPath = configPathFor(o, std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"), error);
    if (configPath.empty()) {
        std::fprintf(stderr, "messengerd: %s\n", error.c_str());
        return 2;
    }

    MessengerConfig config;
    if (!loadEverything(configPath, config))
        return 2;
    if (o.mode == DaemonOptions::Mode::Fingerprint)
        return showFingerprint(configPath);
    if (o.mode == DaemonOptions::Mode::Trust)
        return trustKey(configPath, o.jid, o.fingerprint);

    const bool addingContact = o.mode == DaemonOptions::Mode::AddContact;
    if (!o.socketName.empty())
        config.apiSocket = o.socketName;
    if (addingContact && !isBareJid(o.jid)) {
        std::fprintf(stderr, "messengerd: --add-contact needs a bare JID, not '%s'\n", o.jid.c_str());
        return 2;
    }
    Log log;
    if (!log.open(config.logPath)) {
        std::fprintf(stderr, "messengerd: cannot open the log file %s: %s\n", config.logPath.c_str(),
                     std::strerror(errno));
        return 2;
    }
    // One daemon per user and network namespace: the socket is taken before
    // the key, the contacts file or the server are touched. A second start
    // of the same user (a systemd unit and a desktop's autostart) is no
    // failure and must not be restarted.
    int listenFd = -1;
    if (!addingContact) {
        const ListenOutcome outcome = listenOnName(config.apiSocket, listenFd, error);
        if (outcome != ListenOutcome::Listening) {
            // Said on standard error too, where whoever started the daemon
            // looks first.
            if (!log.toStderr())
                log.write(error);
            std::fprintf(stderr, "messengerd: %s\n", error.c_str());
            return outcome == ListenOutcome::HeldByThisUser ? 0 : 1;
        }
    }
    noise::KeyPair keys;
    if (!loadOrCreateKeyPair(besideConfig(configPath, ".key"), keys, error)) {
        std::fprintf(stderr, "messengerd: %s\n", error.c_str());
        return 2;
    }
    // Recorded before the login, so that the contact's request back is
    // accepted by this run and every later one.
    if (addingContact) {
        if (!addToContactsFile(besideConfig(configPath, ".contacts"), o.jid, error)) {
            std::fprintf(stderr, "messengerd: %s\n", error.c_str());
            return 2;
        }
        if (std::find(config.contacts.begin(), config.contacts.end(), o.jid) == config.contacts.end())
            config.contacts.push_back(o.jid);
    }
    for (const std::string& warning : transportWarnings(config))
        log.write(warning);
    PinFile pins(besideConfig(configPath, ".pins"), &log);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Daemon daemon(config, log, keys, pins);
    if (addingContact)
        return daemon.addContact(o.jid, stopRequested);
    return daemon.run(listenFd, stopRequested);
}
