// messengerd: the messenger beside the program, over XMPP.
#include "messenger/config.h"
#include "messenger/daemon.h"
#include "messenger/log.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

volatile std::sig_atomic_t stopRequested = 0;

void onSignal(int) { stopRequested = 1; }

int usage()
{
    std::fprintf(stderr, "usage: messengerd --config FILE [--api-socket NAME] [--add-contact JID]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string configPath;
    std::string socketName;
    std::string addContact;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--config" || a == "--api-socket" || a == "--add-contact") && i + 1 < argc) {
            std::string v = argv[++i];
            (a == "--config" ? configPath : a == "--api-socket" ? socketName : addContact) = v;
        } else {
            return usage();
        }
    }
    if (configPath.empty())
        return usage();

    MessengerConfig config;
    std::vector<std::string> errors;
    if (!loadConfig(configPath, config, errors)) {
        for (const std::string& e : errors)
            std::fprintf(stderr, "%s\n", e.c_str());
        std::fprintf(stderr, "messengerd: not started, the configuration has errors\n");
        return 2;
    }
    if (!socketName.empty())
        config.apiSocket = socketName;
    if (!addContact.empty() && !isBareJid(addContact)) {
        std::fprintf(stderr, "messengerd: --add-contact needs a bare JID, not '%s'\n", addContact.c_str());
        return 2;
    }
    Log log;
    if (!log.open(config.logPath)) {
        std::fprintf(stderr, "messengerd: cannot open the log file %s: %s\n", config.logPath.c_str(),
                     std::strerror(errno));
        return 2;
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Daemon daemon(config, log);
    if (!addContact.empty())
        return daemon.addContact(addContact, stopRequested);
    return daemon.run(stopRequested);
}
