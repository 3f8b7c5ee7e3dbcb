#include "messenger/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>

namespace {

std::string trim(const std::string& s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

bool parseInt(const std::string& s, int low, int high, int& out)
{
    if (s.empty() || s.size() > 9)
        return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    int v = std::stoi(s);
    if (v < low || v > high)
        return false;
    out = v;
    return true;
}

bool parseBool(const std::string& s, bool& out)
{
    if (s == "yes" || s == "true" || s == "on") {
        out = true;
        return true;
    }
    if (s == "no" || s == "false" || s == "off") {
        out = false;
        return true;
    }
    return false;
}

}  // namespace

bool isBareJid(const std::string& jid)
{
    size_t at = jid.find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= jid.size())
        return false;
    if (jid.find('@', at + 1) != std::string::npos)
        return false;
    for (char c : jid) {
        unsigned char u = static_cast<unsigned char>(c);
        if (std::isspace(u) || std::iscntrl(u) || c == '/' || c == ':' || c == '"' || c == '\'' || c == '<' || c == '>'
            || c == '&')
            return false;
    }
    return true;
}

std::string serverHost(const MessengerConfig& config)
{
    if (!config.server.empty())
        return config.server;
    size_t at = config.jid.find('@');
    return at == std::string::npos ? std::string() : config.jid.substr(at + 1);
}

bool isLoopbackHost(const std::string& host)
{
    if (host == "localhost" || host == "localhost." || host == "::1" || host == "[::1]")
        return true;
    // 127.0.0.0/8, written as a dotted quad.
    if (host.rfind("127.", 0) != 0)
        return false;
    int dots = 0;
    for (char c : host) {
        if (c == '.')
            ++dots;
        else if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return dots == 3;
}

bool tlsRequired(const MessengerConfig& config)
{
    switch (config.tls) {
        case TlsPolicy::Required:
            return true;
        case TlsPolicy::Automatic:
            return !isLoopbackHost(serverHost(config));
        case TlsPolicy::Optional:
        case TlsPolicy::Disabled:
            return false;
    }
    return true;
}

namespace {

// Splits a comment-free line into its key and value; false, with the reason
// in `problem`, when it has no '=', no key or no value.
bool splitKeyValue(const std::string& line, std::string& key, std::string& value, std::string& problem)
{
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
        problem = "expected \"key = value\"";
        return false;
    }
    key = trim(line.substr(0, eq));
    value = trim(line.substr(eq + 1));
    if (key.empty()) {
        problem = "missing key before '='";
        return false;
    }
    if (value.empty()) {
        problem = "empty value for '" + key + "'";
        return false;
    }
    return true;
}

// Each of the read...Key functions below takes the keys of one group and
// returns false for a key that is not one of them. A bad value leaves the
// setting as it was and its reason in `problem`.

// The account and who may become its contact.
bool readAccountKey(const std::string& key, const std::string& value, MessengerConfig& config, std::string& problem)
{
    if (key == "jid") {
        if (!isBareJid(value))
            problem = "jid must be a bare JID like user@example.org, not '" + value + "'";
        else
            config.jid = value;
    } else if (key == "password") {
        config.password = value;
    } else if (key == "resource") {
        if (value.find_first_of(" \t/") != std::string::npos)
            problem = "resource must not contain blanks or '/'";
        else
            config.resource = value;
    } else if (key == "contact") {
        if (!isBareJid(value))
            problem = "contact must be a bare JID like user@example.org, not '" + value + "'";
        else if (std::find(config.contacts.begin(), config.contacts.end(), value) != config.contacts.end())
            problem = "contact '" + value + "' listed twice";
        else
            config.contacts.push_back(value);
    } else {
        return false;
    }
    return true;
}

// Where the server is and how the connection to it is secured.
bool readServerKey(const std::string& key, const std::string& value, MessengerConfig& config, std::string& problem)
{
    if (key == "server") {
        if (value.find_first_of(" \t/@") != std::string::npos)
            problem = "server must be a host name or address";
        else
            config.server = value;
    } else if (key == "port") {
        if (!parseInt(value, 1, 65535, config.port))
            problem = "port must be a number from 1 to 65535, not '" + value + "'";
    } else if (key == "tls") {
        if (value == "auto")
            config.tls = TlsPolicy::Automatic;
        else if (value == "required")
            config.tls = TlsPolicy::Required;
        else if (value == "optional")
            config.tls = TlsPolicy::Optional;
        else if (value == "disabled")
            config.tls = TlsPolicy::Disabled;
        else
            problem = "tls must be auto, required, optional or disabled, not '" + value + "'";
    } else if (key == "tls_verify") {
        if (!parseBool(value, config.tlsVerify))
            problem = "tls_verify must be yes or no, not '" + value + "'";
    } else {
        return false;
    }
    return true;
}

// The daemon's own log and local socket.
bool readLocalKey(const std::string& key, const std::string& value, MessengerConfig& config, std::string& problem)
{
    if (key == "log") {
        config.logPath = value == "stderr" ? std::string() : value;
    } else if (key == "api_socket") {
        if (value.size() > 100)
            problem = "api_socket name longer than 100 characters";
        else
            config.apiSocket = value;
    } else {
        return false;
    }
    return true;
}

// How streams behave.
bool readStreamKey(const std::string& key, const std::string& value, MessengerConfig& config, std::string& problem)
{
    if (key == "max_unread") {
        if (!parseInt(value, 1, 100000, config.maxUnread))
            problem = "max_unread must be a number from 1 to 100000, not '" + value + "'";
    } else if (key == "answer_timeout") {
        if (!parseInt(value, 1, 3600, config.answerTimeout))
            problem = "answer_timeout must be a number of seconds from 1 to 3600, not '" + value + "'";
    } else if (key == "window") {
        if (!parseInt(value, 1, 1024, config.window))
            problem = "window must be a number of texts from 1 to 1024, not '" + value + "'";
    } else if (key == "compact") {
        if (!parseBool(value, config.compact))
            problem = "compact must be yes or no, not '" + value + "'";
    } else {
        return false;
    }
    return true;
}

}  // namespace

bool parseConfig(const std::string& fileName, const std::string& text, MessengerConfig& config,
                 std::vector<std::string>& errors)
{
    const size_t errorsBefore = errors.size();
    std::set<std::string> seen;
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    auto fail = [&](int line, const std::string& reason) {
        errors.push_back(fileName + ":" + std::to_string(line) + ": " + reason);
    };

    while (std::getline(in, raw)) {
        ++lineNo;
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        std::string line = trim(raw);
        if (line.empty() || line[0] == '#')
            continue;
        std::string key;
        std::string value;
        std::string problem;
        if (!splitKeyValue(line, key, value, problem)) {
            fail(lineNo, problem);
            continue;
        }
        if (key != "contact") {
            if (!seen.insert(key).second) {
                fail(lineNo, "'" + key + "' given twice");
                continue;
            }
        }
        if (!readAccountKey(key, value, config, problem) && !readServerKey(key, value, config, problem)
            && !readLocalKey(key, value, config, problem) && !readStreamKey(key, value, config, problem))
            problem = "unknown key '" + key + "'";
        if (!problem.empty())
            fail(lineNo, problem);
    }

    // Missing keys are reported against the end of the file.
    if (config.jid.empty() && !seen.count("jid"))
        fail(lineNo, "missing required key 'jid'");
    if (config.password.empty() && !seen.count("password"))
        fail(lineNo, "missing required key 'password'");
    return errors.size() == errorsBefore;
}

std::string configFileProblem(const std::string& path, unsigned mode, unsigned owner, unsigned user)
{
    if (owner != user)
        return "the file belongs to user id " + std::to_string(owner) + ", not to this user (id "
               + std::to_string(user) + "), and holds the password: make it this user's own file "
               "(chown " + std::to_string(user) + " " + path + ") and run: chmod 600 " + path;
    if (mode & 077) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", mode & 07777);
        return std::string("permissions ") + octal + " are too open: the file holds the password and "
               "must not be accessible by group or others; run: chmod 600 " + path;
    }
    return std::string();
}

bool loadConfig(const std::string& path, MessengerConfig& config, std::vector<std::string>& errors)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        errors.push_back(path + ":0: cannot open the file");
        return false;
    }
    // Checked on the open file, so that what is read is what was checked.
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        errors.push_back(path + ":0: cannot open the file");
        ::close(fd);
        return false;
    }
    std::string problem = configFileProblem(path, st.st_mode, st.st_uid, ::geteuid());
    if (!problem.empty()) {
        errors.push_back(path + ":0: " + problem);
        ::close(fd);
        return false;
    }
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            errors.push_back(path + ":0: cannot read the file: " + std::strerror(errno));
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return parseConfig(path, text, config, errors);
}
