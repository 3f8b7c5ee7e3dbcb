#include "messenger/daemon/daemon_options.h"

#include "messenger/daemon/setup.h"

#include <sys/stat.h>
#include <algorithm>
#include <cerrno>

#ifndef CORVANE_DOCDIR
#define CORVANE_DOCDIR "/usr/share/doc/corvanefortcp"
#endif

namespace {

using Mode = DaemonOptions::Mode;

struct ModeWord {
    const char* name;
    Mode mode;
    int values;  // the words that follow it
    const char* needs;
};
const ModeWord kModes[] = {
    {"--fingerprint", Mode::Fingerprint, 0, ""},
    {"--trust", Mode::Trust, 2, "JID and FINGERPRINT"},
    {"--add-contact", Mode::AddContact, 1, "a JID"},
    {"--setup", Mode::Setup, 0, ""},
};

// The options of --setup and what their value is; parseSetupOptions reads them.
struct SetupWord {
    const char* name;
    const char* needs;  // null: no value
};
const SetupWord kSetupOptions[] = {
    {"--jid", "a JID"},          {"--contact", "a JID"},        {"--server", "a HOST"},  {"--port", "a number N"},
    {"--tls-ca-file", "a PATH"}, {"--password-stdin", nullptr}, {"--register", nullptr}, {"--force", nullptr},
};

// A value is missing at the end and where the next option begins.
bool hasValues(const std::vector<std::string>& args, size_t i, int count)
{
    for (int k = 1; k <= count; ++k)
        if (i + static_cast<size_t>(k) >= args.size() || args[i + static_cast<size_t>(k)].rfind("--", 0) == 0)
            return false;
    return true;
}

}  // namespace

bool parseDaemonOptions(const std::vector<std::string>& args, DaemonOptions& o, std::string& error)
{
    std::string modeName;    // the mode word given, if any
    std::string setupOnly;   // the first option of --setup given
    bool apiSocket = false;  // --api-socket given
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "--version") {
            o.mode = a == "--help" ? Mode::Help : Mode::Version;
            return true;
        }
        const auto mode =
            std::find_if(std::begin(kModes), std::end(kModes), [&](const ModeWord& m) { return a == m.name; });
        const auto setup = std::find_if(std::begin(kSetupOptions), std::end(kSetupOptions),
                                        [&](const SetupWord& s) { return a == s.name; });
        if (mode != std::end(kModes)) {
            if (!modeName.empty()) {
                error = modeName == a ? a + " is given twice" : modeName + " and " + a + " cannot be combined";
                return false;
            }
            if (!hasValues(args, i, mode->values)) {
                error = a + " needs " + mode->needs;
                return false;
            }
            modeName = a;
            o.mode = mode->mode;
            if (mode->values > 0)
                o.jid = args[++i];
            if (mode->values > 1)
                o.fingerprint = args[++i];
        } else if (a == "--config" || a == "--api-socket") {
            if (!hasValues(args, i, 1)) {
                error = a + (a == "--config" ? " needs a FILE" : " needs a NAME");
                return false;
            }
            (a == "--config" ? o.configPath : o.socketName) = args[++i];
            apiSocket = apiSocket || a == "--api-socket";
        } else if (setup != std::end(kSetupOptions)) {
            if (setup->needs && !hasValues(args, i, 1)) {
                error = a + " needs " + setup->needs;
                return false;
            }
            if (setupOnly.empty())
                setupOnly = a;
            o.setupArgs.push_back(a);
            if (setup->needs)
                o.setupArgs.push_back(args[++i]);
        } else if (a == "--password" || a.rfind("--password=", 0) == 0) {
            // Its own refusal: the password never on the command line.
            SetupOptions ignored;
            parseSetupOptions({a}, ignored, error);
            return false;
        } else {
            error = (a.rfind("-", 0) == 0 ? "unknown option '" : "unexpected argument '") + a + "'";
            return false;
        }
    }
    if (o.mode == Mode::Setup) {
        if (apiSocket) {
            error = "--setup and --api-socket cannot be combined";
            return false;
        }
        return true;
    }
    if (!setupOnly.empty()) {
        error = setupOnly + " works only with --setup";
        return false;
    }
    if (apiSocket && o.mode != Mode::Run) {
        error = modeName + " and --api-socket cannot be combined";
        return false;
    }
    return true;
}

const char* daemonHelpText()
{
    return "usage: messengerd [--config FILE] [--api-socket NAME]\n"
           "       messengerd [--config FILE] --fingerprint\n"
           "       messengerd [--config FILE] --trust JID FINGERPRINT\n"
           "       messengerd [--config FILE] --add-contact JID\n"
           "       messengerd --setup [--config FILE] [--jid JID] [--password-stdin]\n"
           "                  [--contact JID]... [--server HOST] [--port N]\n"
           "                  [--tls-ca-file PATH] [--register] [--force]\n"
           "       messengerd --help | --version\n"
           "\n"
           "The messenger daemon of CorvaneForTcp: it carries the program's streams over\n"
           "XMPP. Without a mode it runs as the daemon, one per user and network namespace.\n"
           "\n"
           "  --config FILE        the configuration file (default: the one --setup writes)\n"
           "  --api-socket NAME    the program's abstract socket (default SkypeControlAPI)\n"
           "  --fingerprint        print this installation's key fingerprint and exit\n"
           "  --trust JID FINGERPRINT\n"
           "                       pin the key of the contact JID to the fingerprint that\n"
           "                       its owner's --fingerprint printed, and exit\n"
           "  --add-contact JID    add JID to the contacts, ask it for a subscription, exit\n"
           "  --setup              write the configuration once the server took the login\n"
           "    --jid JID          the account (asked for on a terminal)\n"
           "    --password-stdin   read the password from standard input (else asked for)\n"
           "    --contact JID      a contact whose streams are taken; may be repeated\n"
           "    --server HOST      the XMPP server (default: found from the JID's domain)\n"
           "    --port N           the server's port (default 5222, or found with it)\n"
           "    --tls-ca-file PATH the CA of a server whose certificate a private CA signed\n"
           "    --register         create the account on the server first\n"
           "    --force            replace an existing configuration file\n"
           "  --help               show this help and exit\n"
           "  --version            show the version and exit\n"
           "\n"
           "The configuration is ~/.config/corvane/messengerd.conf unless --config names\n"
           "another ($XDG_CONFIG_HOME/corvane/messengerd.conf when XDG_CONFIG_HOME is set).\n"
           "Beside it and named after it: messengerd.key (this installation's key),\n"
           "messengerd.pins (the contacts' keys), messengerd.contacts (the contacts added\n"
           "with --add-contact). The log goes to standard error, under systemd into the\n"
           "journal (journalctl --user -u messengerd), unless the configuration's 'log'\n"
           "names a file. Exit status 2: a wrong command line, configuration or key file.\n"
           "More: man messengerd, " CORVANE_DOCDIR "/docs/messenger.md\n";
}

std::string configPathFor(const DaemonOptions& o, const char* xdgConfigHome, const char* home, std::string& error)
{
    if (!o.configPath.empty())
        return o.configPath;
    const std::string path = defaultSetupConfigPath(xdgConfigHome, home);
    if (path.empty()) {
        error = o.mode == Mode::Setup ? "--setup needs --config FILE when neither HOME nor XDG_CONFIG_HOME is set"
                                      : "--config FILE is needed when neither HOME nor XDG_CONFIG_HOME is set";
        return path;
    }
    struct stat st {};
    if (o.mode != Mode::Setup && ::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
        error = "no configuration at " + path + ": run 'messengerd --setup' first, or give --config FILE";
        return std::string();
    }
    return path;
}
