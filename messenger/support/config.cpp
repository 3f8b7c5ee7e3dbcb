#include "messenger/support/config.h"

#include "messenger/support/files.h"
#include "messenger/support/jid.h"

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
#include <vector>

namespace {

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

// "host", "host:port" or "[v6]:port", after "user:password@" for TURN.
bool parseIceServer(std::string value, IceServerSetting& s)
{
    if (s.turn) {
        const size_t at = value.rfind('@');
        const size_t colon = value.find(':');
        if (at == std::string::npos || colon == std::string::npos || colon > at || colon == 0 || colon + 1 == at)
            return false;
        s.username = value.substr(0, colon);
        s.password = value.substr(colon + 1, at - colon - 1);
        value = value.substr(at + 1);
    }
    std::string port;
    if (!value.empty() && value[0] == '[') {
        const size_t close = value.find(']');
        if (close == std::string::npos || close == 1)
            return false;
        s.host = value.substr(1, close - 1);
        if (close + 1 < value.size()) {
            if (value[close + 1] != ':')
                return false;
            port = value.substr(close + 2);
        }
    } else {
        const size_t colon = value.find(':');
        s.host = value.substr(0, colon);
        if (colon != std::string::npos)
            port = value.substr(colon + 1);
    }
    if (s.host.empty() || s.host.find_first_of(" \t@/") != std::string::npos)
        return false;
    return port.empty() || parseInt(port, 1, 65535, s.port);
}

}  // namespace

std::string serverHost(const XmppAccount& account)
{
    if (!account.server.empty())
        return account.server;
    size_t at = account.jid.find('@');
    return at == std::string::npos ? std::string() : account.jid.substr(at + 1);
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

bool tlsRequired(const XmppAccount& account)
{
    switch (account.tls) {
        case TlsPolicy::Required:
            return true;
        case TlsPolicy::Automatic:
            return !isLoopbackHost(serverHost(account));
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
    key = trimmed(line.substr(0, eq));
    value = trimmed(line.substr(eq + 1));
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
            config.jid = normalizeJid(value);
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
        else if (!appendContact(config.contacts, value))
            problem = "contact '" + value + "' listed twice";
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
    } else if (key == "tls_ca_file") {
        if (value.empty() || value.front() != '/')
            problem = "tls_ca_file must be an absolute path, not '" + value + "'";
        else
            config.tlsCaFile = value;
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
    } else if (key == "direct_paths") {
        if (!parseBool(value, config.directPaths))
            problem = "direct_paths must be yes or no, not '" + value + "'";
    } else if (key == "server_stun_turn") {
        if (!parseBool(value, config.serverIceServices))
            problem = "server_stun_turn must be yes or no, not '" + value + "'";
    } else if (key == "stun" || key == "turn") {
        IceServerSetting s;
        s.turn = key == "turn";
        if (!parseIceServer(value, s))
            problem =
                key + (s.turn ? " must be user:password@host or user:password@host:port" : " must be host or host:port")
                + " (an IPv6 address in brackets), not '" + value + "'";
        else
            config.iceServers.push_back(s);
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
        std::string line = trimmed(raw);
        if (line.empty() || line[0] == '#')
            continue;
        std::string key;
        std::string value;
        std::string problem;
        if (!splitKeyValue(line, key, value, problem)) {
            fail(lineNo, problem);
            continue;
        }
        if (key != "contact" && key != "stun" && key != "turn") {
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

bool loadConfig(const std::string& path, MessengerConfig& config, std::vector<std::string>& errors)
{
    std::string text;
    if (readOwnFile(path, "the password", false, text, errors) != OwnFile::Read)
        return false;
    if (!parseConfig(path, text, config, errors))
        return false;
    // Found out now rather than as a certificate that "does not verify" at
    // every login.
    if (!config.tlsCaFile.empty() && access(config.tlsCaFile.c_str(), R_OK) != 0) {
        errors.push_back(path + ": tls_ca_file " + config.tlsCaFile + " cannot be read: " + std::strerror(errno));
        return false;
    }
    return true;
}

std::vector<std::string> transportWarnings(const MessengerConfig& config)
{
    std::vector<std::string> warnings;
    const std::string host = serverHost(config);
    if (isLoopbackHost(host))
        return warnings;
    if (config.tls == TlsPolicy::Optional)
        warnings.push_back("warning: tls = optional: the connection to " + host
                           + " may run unencrypted if the server offers no STARTTLS; the password and everything"
                             " sent can then be read on the way");
    if (config.tls == TlsPolicy::Disabled)
        warnings.push_back("warning: tls = disabled: the connection to " + host
                           + " is unencrypted; the password and everything sent can be read on the way");
    // Without TLS there is no certificate to check: the line above says more.
    if (!config.tlsVerify && config.tls != TlsPolicy::Disabled)
        warnings.push_back("warning: tls_verify = no: the certificate of " + host
                           + " is not checked, so anyone on the path can pose as the server");
    return warnings;
}
