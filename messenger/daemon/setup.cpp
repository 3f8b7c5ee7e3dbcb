#include "messenger/daemon/setup.h"

#include "messenger/support/files.h"
#include "messenger/support/jid.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

bool parsePort(const std::string& s, int& port)
{
    if (s.empty() || s.size() > 5 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    int v = std::atoi(s.c_str());
    if (v < 1 || v > 65535)
        return false;
    port = v;
    return true;
}

std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// What the configuration file can hold as a value: parseConfig trims blanks
// around values and reads one line per key.
bool storableValue(const std::string& v)
{
    if (v.empty() || std::isspace(static_cast<unsigned char>(v.front()))
        || std::isspace(static_cast<unsigned char>(v.back())))
        return false;
    return std::none_of(v.begin(), v.end(), [](char c) { return std::iscntrl(static_cast<unsigned char>(c)); });
}

std::string hostText(const MessengerConfig& config)
{
    return serverHost(config) + (config.port ? ":" + std::to_string(config.port) : "");
}

// The reason of a failed registration or login, as one line.
std::string reasonText(const AccountResult& r, const MessengerConfig& config)
{
    const std::string host = hostText(config);
    switch (r.outcome) {
        case AccountOutcome::Done:
            return "done";
        case AccountOutcome::NotAuthorized:
            return host + " refused " + config.jid + " with this password (not authorized)";
        case AccountOutcome::NotOffered:
            return host + " does not offer the creation of accounts (" + r.detail + ")";
        case AccountOutcome::Taken:
            return "the name " + config.jid + " is taken on " + host + " (" + r.detail + ")";
        case AccountOutcome::Unreachable:
            return "the server " + host + " cannot be reached: " + r.detail;
        case AccountOutcome::CertificateRefused:
            return r.detail;
        case AccountOutcome::TimedOut:
            return "no answer from " + host + (r.detail.empty() ? " in time" : " within " + r.detail);
        case AccountOutcome::Failed:
            break;
    }
    return host + ": " + r.detail;
}

// Makes the missing directories of `dir` with mode 0700.
bool makeDirectories(const std::string& dir, std::string& error)
{
    for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot make the directory " + part + ": " + std::strerror(errno);
            return false;
        }
        if (slash == std::string::npos)
            return true;
    }
}

// The values gathered from options and questions, checked; 0 when they make
// a configuration, else the exit status (problems written to `err`).
int gather(const SetupOptions& o, SetupInput& input, MessengerConfig& config, std::ostream& err)
{
    config.jid = o.jid;
    if (config.jid.empty()) {
        if (!input.isTerminal() || !input.ask("JID of the account (user@example.org): ", config.jid)) {
            err << "messengerd: --setup needs --jid JID when standard input is not a terminal\n";
            return 2;
        }
        config.jid = words(config.jid).empty() ? std::string() : words(config.jid).front();
    }
    if (!isBareJid(config.jid)) {
        err << "messengerd: the JID must be a bare JID like user@example.org, not '" << config.jid << "'\n";
        return 2;
    }
    if (o.passwordStdin) {
        if (!input.readLine(config.password)) {
            err << "messengerd: --password-stdin: no password on standard input\n";
            return 2;
        }
    } else if (!input.isTerminal()) {
        err << "messengerd: standard input is not a terminal: give the password on it with --password-stdin\n";
        return 2;
    } else {
        std::string again;
        if (!input.askSecret("Password of " + config.jid + ": ", config.password)) {
            err << "messengerd: no password given; nothing done\n";
            return 2;
        }
        // A new account gets what was typed: a typing mistake would lock
        // the user out of it.
        if (o.registerAccount && (!input.askSecret("The same password again: ", again) || again != config.password)) {
            err << "messengerd: the two passwords differ; nothing done\n";
            return 2;
        }
    }
    if (!storableValue(config.password)) {
        err << "messengerd: the password must not be empty, begin or end with a blank, or hold control "
               "characters (the configuration file could not keep it)\n";
        return 2;
    }
    std::vector<std::string> contacts = o.contacts;
    std::string line;
    if (contacts.empty() && !o.passwordStdin && input.isTerminal()
        && input.ask("Contacts (bare JIDs separated by blanks; empty for none): ", line))
        contacts = words(line);
    for (const std::string& c : contacts) {
        if (!isBareJid(c)) {
            err << "messengerd: a contact must be a bare JID like user@example.org, not '" << c << "'\n";
            return 2;
        }
        if (std::find(config.contacts.begin(), config.contacts.end(), c) == config.contacts.end())
            config.contacts.push_back(c);
    }
    config.server = o.server;
    config.port = o.port;
    if (!config.server.empty()
        && (!storableValue(config.server) || config.server.find_first_of("/@") != std::string::npos)) {
        err << "messengerd: --server must be a host name or address, not '" << config.server << "'\n";
        return 2;
    }
    config.tlsCaFile = o.tlsCaFile;
    if (!config.tlsCaFile.empty()) {
        if (config.tlsCaFile.front() != '/' || !storableValue(config.tlsCaFile)) {
            err << "messengerd: --tls-ca-file must be an absolute path, not '" << config.tlsCaFile << "'\n";
            return 2;
        }
        if (::access(config.tlsCaFile.c_str(), R_OK) != 0) {
            err << "messengerd: --tls-ca-file " << config.tlsCaFile << " cannot be read: " << std::strerror(errno)
                << "\n";
            return 2;
        }
    }
    return 0;
}

}  // namespace

bool parseSetupOptions(const std::vector<std::string>& args, SetupOptions& o, std::string& error)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--password-stdin") {
            o.passwordStdin = true;
        } else if (a == "--force") {
            o.force = true;
        } else if (a == "--register") {
            o.registerAccount = true;
        } else if (a == "--password" || a.rfind("--password=", 0) == 0) {
            error =
                "--setup takes no password on the command line, where other users see it (ps): type it when "
                "asked, or give it on standard input with --password-stdin";
            return false;
        } else if (a == "--config" || a == "--jid" || a == "--contact" || a == "--server" || a == "--port"
                   || a == "--tls-ca-file") {
            if (!hasValue) {
                error = a + " needs a value";
                return false;
            }
            const std::string& v = args[++i];
            if (a == "--config")
                o.configPath = v;
            else if (a == "--jid")
                o.jid = v;
            else if (a == "--contact")
                o.contacts.push_back(v);
            else if (a == "--server")
                o.server = v;
            else if (a == "--tls-ca-file")
                o.tlsCaFile = v;
            else if (!parsePort(v, o.port)) {
                error = "--port must be a number from 1 to 65535, not '" + v + "'";
                return false;
            }
        } else {
            error = "--setup does not know the option '" + a + "'";
            return false;
        }
    }
    return true;
}

std::string defaultSetupConfigPath(const char* xdgConfigHome, const char* home)
{
    std::string base;
    // XDG: a relative XDG_CONFIG_HOME is invalid and ignored.
    if (xdgConfigHome && xdgConfigHome[0] == '/')
        base = xdgConfigHome;
    else if (home && home[0] == '/')
        base = std::string(home) + "/.config";
    else
        return std::string();
    return base + "/corvane/messengerd.conf";
}

std::string setupConfigText(const MessengerConfig& config)
{
    std::string t =
        "# messengerd configuration, written by messengerd --setup.\n"
        "# It holds the password: messengerd refuses it unless it is the user's own\n"
        "# and nobody else may read it (chmod 600). Every key, and the ones left at\n"
        "# their defaults here, is described in docs/messenger.md and in the example\n"
        "# configuration installed as messengerd.conf.example.\n"
        "jid = "
        + config.jid + "\npassword = " + config.password + "\n";
    if (!config.server.empty())
        t += "server = " + config.server + "\n";
    if (config.port)
        t += "port = " + std::to_string(config.port) + "\n";
    if (!config.tlsCaFile.empty())
        t += "# CA certificates trusted for the server's certificate besides the system's.\n"
             "tls_ca_file = "
             + config.tlsCaFile + "\n";
    t += "# Contacts whose subscription requests are accepted; one line per contact\n"
         "# (messengerd --add-contact JID adds one later).\n";
    for (const std::string& c : config.contacts)
        t += "contact = " + c + "\n";
    return t;
}

bool writeConfigAtomically(const std::string& path, const std::string& text, bool replace, std::string& error)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (dir != "." && !makeDirectories(dir, error))
        return false;
    std::string temp = dir + "/." + base + ".XXXXXX";
    // mkostemp makes the file with mode 0600: the password is never readable
    // by others, not even for a moment.
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot make a file in " + dir + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, text) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        error = "cannot write " + temp + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    // link() fails on an existing name, so a file that appeared meanwhile
    // is not replaced either.
    if (replace ? ::rename(temp.c_str(), path.c_str()) != 0 : ::link(temp.c_str(), path.c_str()) != 0) {
        error = errno == EEXIST ? path + " exists; nothing changed (--force replaces it)"
                                : "cannot write " + path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    if (!replace)
        ::unlink(temp.c_str());
    return true;
}

int runSetup(const SetupOptions& o, SetupInput& input, AccountServer& server, std::ostream& out, std::ostream& err)
{
    const std::string& path = o.configPath;
    struct stat st {};
    if (!o.force && ::lstat(path.c_str(), &st) == 0) {
        err << "messengerd: " << path << " exists; nothing changed (--force replaces it)\n";
        return 2;
    }
    MessengerConfig config;
    if (int status = gather(o, input, config, err))
        return status;
    // What is written must start the daemon as it is.
    std::vector<std::string> errors;
    MessengerConfig parsed;
    const std::string text = setupConfigText(config);
    if (!parseConfig(path, text, parsed, errors)) {
        for (const std::string& e : errors)
            err << "messengerd: " << e << "\n";
        return 2;
    }

    if (o.registerAccount) {
        AccountResult r = server.createAccount(config);
        if (r.outcome != AccountOutcome::Done) {
            err << "messengerd: cannot create the account " << config.jid << ": " << reasonText(r, config) << "\n";
            err << "messengerd: nothing written\n";
            return 1;
        }
        out << "created the account " << config.jid << " on " << hostText(config) << "\n";
    }
    AccountResult r = server.logIn(config);
    if (r.outcome != AccountOutcome::Done) {
        err << "messengerd: cannot log in: " << reasonText(r, config) << "\n";
        err << "messengerd: nothing written\n";
        return 1;
    }
    out << "logged in to " << hostText(config) << " as " << config.jid << "\n";

    std::string error;
    if (!writeConfigAtomically(path, text, o.force, error)) {
        err << "messengerd: " << error << "\n";
        return 1;
    }
    const char* home = std::getenv("HOME");
    const bool unitReadsIt = path == defaultSetupConfigPath(nullptr, home);
    out << "wrote " << path << "\n"
        << "Next:\n"
        << "  messengerd --config " << path << " --fingerprint\n"
        << "      shows this installation's fingerprint: read it to each contact, who runs\n"
        << "      messengerd --trust " << config.jid << " FINGERPRINT\n";
    if (unitReadsIt)
        out << "  systemctl --user enable --now messengerd\n"
            << "      starts the daemon now and at every login\n";
    else
        out << "  messengerd --config " << path << "\n"
            << "      starts the daemon (the systemd user unit reads ~/.config/corvane/messengerd.conf)\n";
    out << "  Each contact must add " << config.jid << " too (a contact line, or messengerd --add-contact "
        << config.jid << ").\n";
    return 0;
}
