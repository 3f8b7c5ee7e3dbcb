#include "messenger/config.h"

#include <fcntl.h>
#include <stringprep.h>
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

namespace {

// Adds the bare JID `jid` to `contacts` in its normal form; false when it is
// listed there already.
bool appendContact(std::vector<std::string>& contacts, const std::string& jid)
{
    std::string normal = normalizeJid(jid);
    if (std::find(contacts.begin(), contacts.end(), normal) != contacts.end())
        return false;
    contacts.push_back(std::move(normal));
    return true;
}

}  // namespace

std::string normalizeJid(const std::string& jid)
{
    const size_t slash = jid.find('/');
    const std::string bare = jid.substr(0, slash);
    const std::string resource = slash == std::string::npos ? std::string() : jid.substr(slash);
    const size_t at = bare.find('@');
    auto asciiLower = [](std::string part) {
        std::transform(part.begin(), part.end(), part.begin(),
                       [](unsigned char c) { return static_cast<char>(c < 0x80 ? std::tolower(c) : c); });
        return part;
    };
    // Every JID the server sends goes through here: for ASCII, which is
    // what the profiles turn into lower case and nothing else, the tables
    // are not needed.
    if (std::all_of(bare.begin(), bare.end(), [](unsigned char c) { return c < 0x80; }))
        return asciiLower(bare) + resource;
    // Each part through its profile (nodeprep: case folding and NFKC for
    // the local part, nameprep for the domain); a part a profile refuses
    // keeps its text, with ASCII letters in lower case, so that it still
    // compares the same wherever it turns up.
    auto prep = [&asciiLower](const std::string& part, const Stringprep_profile* profile) {
        std::vector<char> buffer(part.size() * 4 + 16);
        std::copy(part.begin(), part.end(), buffer.begin());
        if (!part.empty()
            && stringprep(buffer.data(), buffer.size(), Stringprep_profile_flags(0), profile) == STRINGPREP_OK)
            return std::string(buffer.data());
        return asciiLower(part);
    };
    const std::string domain = prep(at == std::string::npos ? bare : bare.substr(at + 1), stringprep_nameprep);
    if (at == std::string::npos)
        return domain + resource;
    return prep(bare.substr(0, at), stringprep_xmpp_nodeprep) + "@" + domain + resource;
}

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

bool syncFolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::string configFileProblem(const std::string& path, unsigned mode, unsigned owner, unsigned user,
                              const std::string& holds)
{
    if (owner != user)
        return "the file belongs to user id " + std::to_string(owner) + ", not to this user (id "
               + std::to_string(user) + "), and holds " + holds + ": make it this user's own file "
               "(chown " + std::to_string(user) + " " + path + ") and run: chmod 600 " + path;
    if (mode & 077) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", mode & 07777);
        return std::string("permissions ") + octal + " are too open: the file holds " + holds + " and "
               "must not be accessible by group or others; run: chmod 600 " + path;
    }
    return std::string();
}

namespace {

enum class Read { Ok, Absent, Failed };

// Reads a file of this user that group and others have no permission on.
// Absent when it does not exist and `absentIsFine`; otherwise a problem is
// one error "<path>:0: <reason>".
Read readOwnFile(const std::string& path, const std::string& holds, bool absentIsFine, std::string& text,
                 std::vector<std::string>& errors)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (absentIsFine && errno == ENOENT)
            return Read::Absent;
        errors.push_back(path + ":0: cannot open the file");
        return Read::Failed;
    }
    // Checked on the open file, so that what is read is what was checked.
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        errors.push_back(path + ":0: cannot open the file");
        ::close(fd);
        return Read::Failed;
    }
    std::string problem = configFileProblem(path, st.st_mode, st.st_uid, ::geteuid(), holds);
    if (!problem.empty()) {
        errors.push_back(path + ":0: " + problem);
        ::close(fd);
        return Read::Failed;
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            errors.push_back(path + ":0: cannot read the file: " + std::strerror(errno));
            ::close(fd);
            return Read::Failed;
        }
        if (n == 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return Read::Ok;
}

const char* const kContactsHolds = "the contacts of the account";
const char* const kContactsHeader =
    "# messengerd contacts: added with messengerd --add-contact, besides the contact lines of the configuration.\n"
    "# One bare JID per line.\n";

// Calls `line(number, text)` for every line of a contacts file that is
// neither blank nor a comment, trimmed.
template <typename F>
void forEachContactLine(const std::string& text, F line)
{
    std::istringstream in(text);
    std::string raw;
    int lineNo = 0;
    while (std::getline(in, raw)) {
        ++lineNo;
        std::string jid = trim(raw);
        if (!jid.empty() && jid[0] != '#')
            line(lineNo, jid);
    }
}

}  // namespace

bool loadConfig(const std::string& path, MessengerConfig& config, std::vector<std::string>& errors)
{
    std::string text;
    if (readOwnFile(path, "the password", false, text, errors) != Read::Ok)
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

bool loadContactsFile(const std::string& path, MessengerConfig& config, std::vector<std::string>& errors)
{
    const size_t errorsBefore = errors.size();
    std::string text;
    Read read = readOwnFile(path, kContactsHolds, true, text, errors);
    if (read != Read::Ok)
        return read == Read::Absent;
    forEachContactLine(text, [&](int lineNo, const std::string& jid) {
        if (!isBareJid(jid))
            errors.push_back(path + ":" + std::to_string(lineNo)
                             + ": contact must be a bare JID like user@example.org, not '" + jid + "'");
        else
            appendContact(config.contacts, jid);
    });
    return errors.size() == errorsBefore;
}

bool addToContactsFile(const std::string& path, const std::string& jid, std::string& error)
{
    std::string text;
    std::vector<std::string> errors;
    Read read = readOwnFile(path, kContactsHolds, true, text, errors);
    if (read == Read::Failed) {
        error = errors.front();
        return false;
    }
    const std::string normal = normalizeJid(jid);
    bool listed = false;
    forEachContactLine(text, [&](int, const std::string& line) { listed = listed || normalizeJid(line) == normal; });
    if (listed)
        return true;

    std::string add = read == Read::Absent ? kContactsHeader : "";
    if (!text.empty() && text.back() != '\n')
        add += '\n';
    add += jid + "\n";
    // O_APPEND keeps what is there (comments included) as it is; a new file
    // gets mode 0600 from the start.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = path + ":0: cannot open the file for writing: " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < add.size()) {
        ssize_t n = ::write(fd, add.data() + done, add.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = path + ":0: cannot write the file: " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) {
        error = path + ":0: cannot write the file: " + std::strerror(errno);
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
