// messengerd: the messenger beside the program, over XMPP.
#include "messenger/config.h"
#include "messenger/daemon.h"
#include "messenger/identity.h"
#include "messenger/log.h"
#include "messenger/pin_file.h"
#include "messenger/setup.h"
#include "messenger/setup_terminal.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

// The usage on `out`; the exit status `status` (2: a wrong command line).
int usage(std::FILE* out = stderr, int status = 2)
{
    std::fprintf(out,
                 "usage: messengerd --config FILE [--api-socket NAME] [--add-contact JID]\n"
                 "       messengerd --config FILE --fingerprint\n"
                 "       messengerd --config FILE --trust JID FINGERPRINT\n"
                 "       messengerd --setup [--config FILE] [--jid JID] [--password-stdin] [--contact JID]...\n"
                 "                  [--server HOST] [--port N] [--tls-ca-file PATH] [--register] [--force]\n"
                 "       messengerd --help\n");
    return status;
}

struct Options {
    std::string configPath;
    std::string socketName;
    std::string addContact;
    bool fingerprint = false;
    bool trust = false;
    std::string trustJid;
    std::string trustFingerprint;
};

bool parseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--config" || a == "--api-socket" || a == "--add-contact") && i + 1 < argc) {
            std::string v = argv[++i];
            (a == "--config" ? o.configPath : a == "--api-socket" ? o.socketName : o.addContact) = v;
        } else if (a == "--fingerprint") {
            o.fingerprint = true;
        } else if (a == "--trust" && i + 2 < argc) {
            o.trust = true;
            o.trustJid = argv[++i];
            o.trustFingerprint = argv[++i];
        } else {
            return false;
        }
    }
    int modes = (o.fingerprint ? 1 : 0) + (o.trust ? 1 : 0) + (o.addContact.empty() ? 0 : 1);
    return !o.configPath.empty() && modes <= 1;
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

// messengerd --setup ...: "--setup" may stand anywhere among its options.
bool isSetup(int argc, char** argv)
{
    return std::any_of(argv + 1, argv + argc, [](const char* a) { return std::strcmp(a, "--setup") == 0; });
}

int setup(int argc, char** argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--setup") != 0)
            args.emplace_back(argv[i]);
    SetupOptions options;
    std::string error;
    if (!parseSetupOptions(args, options, error)) {
        std::fprintf(stderr, "messengerd: %s\n", error.c_str());
        return usage();
    }
    if (options.configPath.empty())
        options.configPath = defaultSetupConfigPath(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
    if (options.configPath.empty()) {
        std::fprintf(stderr, "messengerd: --setup needs --config FILE when neither HOME nor XDG_CONFIG_HOME is set\n");
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
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0)
        return usage(stdout, 0);
    if (isSetup(argc, argv))
        return setup(argc, argv);
    Options o;
    if (!parseOptions(argc, argv, o))
        return usage();

    MessengerConfig config;
    if (!loadEverything(o.configPath, config))
        return 2;
    if (o.fingerprint)
        return showFingerprint(o.configPath);
    if (o.trust)
        return trustKey(o.configPath, o.trustJid, o.trustFingerprint);

    if (!o.socketName.empty())
        config.apiSocket = o.socketName;
    if (!o.addContact.empty() && !isBareJid(o.addContact)) {
        std::fprintf(stderr, "messengerd: --add-contact needs a bare JID, not '%s'\n", o.addContact.c_str());
        return 2;
    }
    noise::KeyPair keys;
    std::string error;
    if (!loadOrCreateKeyPair(besideConfig(o.configPath, ".key"), keys, error)) {
        std::fprintf(stderr, "messengerd: %s\n", error.c_str());
        return 2;
    }
    // Recorded before the login, so that the contact's request back is
    // accepted by this run and every later one.
    if (!o.addContact.empty()) {
        if (!addToContactsFile(besideConfig(o.configPath, ".contacts"), o.addContact, error)) {
            std::fprintf(stderr, "messengerd: %s\n", error.c_str());
            return 2;
        }
        if (std::find(config.contacts.begin(), config.contacts.end(), o.addContact) == config.contacts.end())
            config.contacts.push_back(o.addContact);
    }
    Log log;
    if (!log.open(config.logPath)) {
        std::fprintf(stderr, "messengerd: cannot open the log file %s: %s\n", config.logPath.c_str(),
                     std::strerror(errno));
        return 2;
    }
    for (const std::string& warning : transportWarnings(config))
        log.write(warning);
    PinFile pins(besideConfig(o.configPath, ".pins"), &log);

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Daemon daemon(config, log, keys, pins);
    if (!o.addContact.empty())
        return daemon.addContact(o.addContact, stopRequested);
    return daemon.run(stopRequested);
}
