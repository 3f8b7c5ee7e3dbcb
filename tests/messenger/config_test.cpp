// The configuration file: accepted settings, and one exact message per
// mistake, naming file and line.
#include "messenger/support/config.h"
#include "messenger/support/contacts_file.h"
#include "messenger/support/files.h"
#include "messenger/support/jid.h"
#include "messenger/xmpp/server_connection.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>

namespace {

struct Parsed {
    bool ok;
    MessengerConfig config;
    std::vector<std::string> errors;
};

Parsed parse(const std::string& text)
{
    Parsed p;
    p.ok = parseConfig("m.conf", text, p.config, p.errors);
    return p;
}

const char* kMinimal = "jid = alice@example.org\npassword = pw\n";

}  // namespace

TEST(MessengerConfig, MinimalFileGivesDefaultsAndEveryKeyIsRead)
{
    Parsed p = parse(kMinimal);
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.errors.empty());
    EXPECT_EQ(p.config.apiSocket, "SkypeControlAPI");
    EXPECT_EQ(p.config.tls, TlsPolicy::Automatic);
    EXPECT_EQ(p.config.maxUnread, 64);
    EXPECT_EQ(p.config.answerTimeout, 30);
    // Full speed up to a 500 ms round trip between the PCs: 25 texts of 20 ms.
    EXPECT_GE(p.config.window, 25);
    EXPECT_TRUE(p.config.compact);
    EXPECT_EQ(serverHost(p.config), "example.org");

    p = parse(
        "# comment\n"
        "  jid =  bob@h.test  \r\n"
        "password = a b = c\n"
        "resource = pc1\n"
        "server = 127.0.0.1\n"
        "port = 15222\n"
        "tls = optional\n"
        "tls_verify = no\n"
        "tls_ca_file = /etc/corvane/ca.pem\n"
        "contact = alice@h.test\n"
        "contact = carol@h.test\n"
        "log = /tmp/x.log\n"
        "api_socket = TestSock\n"
        "max_unread = 8\n"
        "answer_timeout = 5\n"
        "window = 1\n"
        "compact = no\n"
        "direct_paths = no\n"
        "server_stun_turn = no\n"
        "stun = [2001:db8::1]:3479\n"
        "turn = u:p:w@turn.h.test\n");
    ASSERT_TRUE(p.ok) << (p.errors.empty() ? "" : p.errors[0]);
    EXPECT_EQ(p.config.jid, "bob@h.test");
    EXPECT_EQ(p.config.password, "a b = c");
    EXPECT_EQ(p.config.resource, "pc1");
    EXPECT_EQ(p.config.server, "127.0.0.1");
    EXPECT_EQ(p.config.port, 15222);
    EXPECT_EQ(p.config.tls, TlsPolicy::Optional);
    EXPECT_FALSE(p.config.tlsVerify);
    EXPECT_EQ(p.config.tlsCaFile, "/etc/corvane/ca.pem");
    EXPECT_EQ(p.config.contacts, (std::vector<std::string>{"alice@h.test", "carol@h.test"}));
    EXPECT_EQ(p.config.logPath, "/tmp/x.log");
    EXPECT_EQ(p.config.apiSocket, "TestSock");
    EXPECT_EQ(p.config.maxUnread, 8);
    EXPECT_EQ(p.config.answerTimeout, 5);
    EXPECT_EQ(p.config.window, 1);
    EXPECT_FALSE(p.config.compact);
    EXPECT_FALSE(p.config.directPaths);
    EXPECT_FALSE(p.config.serverIceServices);
    ASSERT_EQ(p.config.iceServers.size(), 2u);
    EXPECT_EQ(p.config.iceServers[0].host, "2001:db8::1");
    EXPECT_EQ(p.config.iceServers[0].port, 3479);
    EXPECT_TRUE(p.config.iceServers[1].turn);
    EXPECT_EQ(p.config.iceServers[1].host + " " + std::to_string(p.config.iceServers[1].port) + " "
                  + p.config.iceServers[1].username + " " + p.config.iceServers[1].password,
              "turn.h.test 3478 u p:w");
}

TEST(MessengerConfig, ErrorsNameFileLineAndReason)
{
    struct Case {
        std::string line;
        std::string message;
    } cases[] = {
        {"no equals sign", "m.conf:3: expected \"key = value\""},
        {"colour = red", "m.conf:3: unknown key 'colour'"},
        {"port = 70000", "m.conf:3: port must be a number from 1 to 65535, not '70000'"},
        {"port = 12x", "m.conf:3: port must be a number from 1 to 65535, not '12x'"},
        {"tls = maybe", "m.conf:3: tls must be auto, required, optional or disabled, not 'maybe'"},
        {"contact = nobody", "m.conf:3: contact must be a bare JID like user@example.org, not 'nobody'"},
        {"jid = x@y", "m.conf:3: 'jid' given twice"},
        {"resource =", "m.conf:3: empty value for 'resource'"},
        {"= value", "m.conf:3: missing key before '='"},
        {"max_unread = 0", "m.conf:3: max_unread must be a number from 1 to 100000, not '0'"},
        {"tls_verify = perhaps", "m.conf:3: tls_verify must be yes or no, not 'perhaps'"},
        {"answer_timeout = 0", "m.conf:3: answer_timeout must be a number of seconds from 1 to 3600, not '0'"},
        {"window = 1025", "m.conf:3: window must be a number of texts from 1 to 1024, not '1025'"},
        {"compact = hex", "m.conf:3: compact must be yes or no, not 'hex'"},
        {"turn = h.test:3478",
         "m.conf:3: turn must be user:password@host or user:password@host:port (an IPv6 "
         "address in brackets), not 'h.test:3478'"},
        {"stun = [::1:3478", "m.conf:3: stun must be host or host:port (an IPv6 address in brackets), not '[::1:3478'"},
        {"tls_ca_file = ca.pem", "m.conf:3: tls_ca_file must be an absolute path, not 'ca.pem'"},
    };
    for (const Case& c : cases) {
        Parsed p = parse(std::string(kMinimal) + c.line + "\n");
        EXPECT_FALSE(p.ok) << c.line;
        ASSERT_EQ(p.errors.size(), 1u) << c.line;
        EXPECT_EQ(p.errors[0], c.message);
    }
    // Every bad line is reported, missing keys at the end.
    Parsed p = parse("jid = not-a-jid\nfoo = 1\n\nport = 0\n");
    EXPECT_FALSE(p.ok);
    ASSERT_EQ(p.errors.size(), 4u);
    EXPECT_EQ(p.errors[0], "m.conf:1: jid must be a bare JID like user@example.org, not 'not-a-jid'");
    EXPECT_EQ(p.errors[1], "m.conf:2: unknown key 'foo'");
    EXPECT_EQ(p.errors[2], "m.conf:4: port must be a number from 1 to 65535, not '0'");
    EXPECT_EQ(p.errors[3], "m.conf:4: missing required key 'password'");
}

TEST(MessengerConfig, FilesThatCannotBeReadOrThatOthersMayReadAreRefused)
{
    TempDir dir;
    MessengerConfig c;
    std::vector<std::string> errors;
    EXPECT_FALSE(loadConfig(dir.file("absent.conf"), c, errors));
    EXPECT_EQ(errors, std::vector<std::string>{dir.file("absent.conf") + ":0: cannot open the file"});

    // A CA file named but missing would otherwise show only as a server
    // whose certificate does not verify.
    const std::string ca = dir.file("ca.conf");
    writeFile(ca, std::string(kMinimal) + "tls_ca_file = " + dir.file("absent.pem") + "\n");
    ::chmod(ca.c_str(), 0600);
    errors.clear();
    EXPECT_FALSE(loadConfig(ca, c, errors));
    EXPECT_EQ(errors, std::vector<std::string>{ca + ": tls_ca_file " + dir.file("absent.pem")
                                               + " cannot be read: No such file or directory"});
    writeFile(dir.file("absent.pem"), "-----BEGIN CERTIFICATE-----\n");
    errors.clear();
    EXPECT_TRUE(loadConfig(ca, c, errors));

    const std::string path = dir.file("messengerd.conf");
    writeFile(path, kMinimal);
    for (mode_t mode : {0644, 0620, 0602, 0601, 0600, 0400}) {
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        MessengerConfig m;
        errors.clear();
        const bool open = (mode & 077) != 0;
        EXPECT_EQ(loadConfig(path, m, errors), !open) << std::oct << mode;
        // Refused unread: the password is not taken from it.
        EXPECT_EQ(m.password, open ? "" : "pw");
        if (open) {
            char octal[16];
            std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
            EXPECT_EQ(errors, std::vector<std::string>{path + ":0: permissions " + octal
                                                       + " are too open: the file holds the password and must not "
                                                         "be accessible by group or others; run: chmod 600 "
                                                       + path});
        }
    }
    // Owner and mode messages name what the file holds.
    EXPECT_EQ(configFileProblem("/x/m.conf", 0100600, 1000, 1000), "");
    EXPECT_EQ(configFileProblem("/x/m.key", 0100600, 0, 1000, "the secret key"),
              "the file belongs to user id 0, not to this user (id 1000), and holds the secret key: make it "
              "this user's own file (chown 1000 /x/m.key) and run: chmod 600 /x/m.key");
}

TEST(MessengerConfig, TlsPolicyReachesTheConnectionFlagsAndWeakSettingsAreSaidOutLoud)
{
    // STARTTLS is demanded unless the server is on loopback or the policy
    // says otherwise; stream management stays off (a lost server is
    // reported, not resumed). Weak transport settings are said out loud,
    // except on loopback, where nothing goes over a network.
    struct Case {
        const char* server;
        TlsPolicy tls;
        bool verify;
        bool required;
        long flags;  // of MANDATORY_TLS, DISABLE_TLS, TRUST_TLS
        size_t warnings;
    } cases[] = {
        {"", TlsPolicy::Automatic, true, true, XMPP_CONN_FLAG_MANDATORY_TLS, 0},
        {"xmpp.example.org", TlsPolicy::Automatic, true, true, XMPP_CONN_FLAG_MANDATORY_TLS, 0},
        {"128.0.0.1", TlsPolicy::Automatic, true, true, XMPP_CONN_FLAG_MANDATORY_TLS, 0},
        {"127.0.0.1.example.org", TlsPolicy::Automatic, true, true, XMPP_CONN_FLAG_MANDATORY_TLS, 0},
        {"localhost.example.org", TlsPolicy::Automatic, true, true, XMPP_CONN_FLAG_MANDATORY_TLS, 0},
        {"127.0.0.1", TlsPolicy::Automatic, true, false, 0, 0},
        {"127.1.2.3", TlsPolicy::Automatic, true, false, 0, 0},
        {"localhost", TlsPolicy::Optional, true, false, 0, 0},
        {"::1", TlsPolicy::Disabled, false, false, XMPP_CONN_FLAG_DISABLE_TLS | XMPP_CONN_FLAG_TRUST_TLS, 0},
        {"127.0.0.1", TlsPolicy::Required, true, true, XMPP_CONN_FLAG_MANDATORY_TLS, 0},
        {"xmpp.example.org", TlsPolicy::Optional, true, false, 0, 1},
        {"xmpp.example.org", TlsPolicy::Optional, false, false, XMPP_CONN_FLAG_TRUST_TLS, 2},
        {"xmpp.example.org", TlsPolicy::Disabled, true, false, XMPP_CONN_FLAG_DISABLE_TLS, 1},
        // Without TLS there is no certificate: the line about that suffices.
        {"xmpp.example.org", TlsPolicy::Disabled, false, false, XMPP_CONN_FLAG_DISABLE_TLS | XMPP_CONN_FLAG_TRUST_TLS,
         1},
        {"xmpp.example.org", TlsPolicy::Automatic, false, true, XMPP_CONN_FLAG_MANDATORY_TLS | XMPP_CONN_FLAG_TRUST_TLS,
         1},
    };
    const long shown = XMPP_CONN_FLAG_MANDATORY_TLS | XMPP_CONN_FLAG_DISABLE_TLS | XMPP_CONN_FLAG_TRUST_TLS;
    for (const Case& k : cases) {
        MessengerConfig c;
        c.jid = "a@example.org";
        c.server = k.server;
        c.tls = k.tls;
        c.tlsVerify = k.verify;
        EXPECT_EQ(tlsRequired(c), k.required) << k.server;
        EXPECT_EQ(connectionFlags(c) & shown, k.flags) << k.server;
        EXPECT_NE(connectionFlags(c) & XMPP_CONN_FLAG_DISABLE_SM, 0) << k.server;
        EXPECT_EQ(transportWarnings(c).size(), k.warnings) << k.server;
    }

    // The warnings' texts.
    MessengerConfig c;
    c.jid = "a@example.org";
    c.tls = TlsPolicy::Optional;
    EXPECT_EQ(transportWarnings(c),
              std::vector<std::string>{"warning: tls = optional: the connection to example.org may run unencrypted if "
                                       "the server offers no STARTTLS; the password and everything sent can then be "
                                       "read on the way"});
    c.server = "xmpp.example.org";
    c.tls = TlsPolicy::Disabled;
    EXPECT_EQ(transportWarnings(c), std::vector<std::string>{"warning: tls = disabled: the connection to "
                                                             "xmpp.example.org is unencrypted; the password and "
                                                             "everything sent can be read on the way"});
    c.tls = TlsPolicy::Automatic;
    c.tlsVerify = false;
    EXPECT_EQ(transportWarnings(c), std::vector<std::string>{"warning: tls_verify = no: the certificate of "
                                                             "xmpp.example.org is not checked, so anyone on the path "
                                                             "can pose as the server"});
}

TEST(MessengerConfig, ContactsFileAddsToTheContactLinesAndAddedContactsAreAppendedOnce)
{
    TempDir dir;
    const std::string path = dir.file("m.contacts");
    MessengerConfig c;
    c.contacts = {"alice@h.test"};
    std::vector<std::string> errors;
    // No file: nothing added, no error.
    EXPECT_TRUE(loadContactsFile(path, c, errors));
    EXPECT_TRUE(errors.empty());

    // JIDs compare without regard to case, and are kept in lower case.
    writeFile(path, "# added\n  bob@h.test  \n\nAlice@h.test\nBOB@h.TEST\r\nCarol@H.test\n");
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    EXPECT_TRUE(loadContactsFile(path, c, errors));
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(c.contacts, (std::vector<std::string>{"alice@h.test", "bob@h.test", "carol@h.test"}));

    writeFile(path, "dave@h.test\nnobody\nerin@h.test/pc\n");
    c.contacts.clear();
    EXPECT_FALSE(loadContactsFile(path, c, errors));
    EXPECT_EQ(errors, (std::vector<std::string>{
                          path + ":2: contact must be a bare JID like user@example.org, not 'nobody'",
                          path + ":3: contact must be a bare JID like user@example.org, not 'erin@h.test/pc'"}));
    EXPECT_EQ(c.contacts, std::vector<std::string>{"dave@h.test"});

    // It decides who may become a contact: held to the configuration's rule.
    ASSERT_EQ(::chmod(path.c_str(), 0664), 0);
    errors.clear();
    EXPECT_FALSE(loadContactsFile(path, c, errors));
    EXPECT_EQ(errors, std::vector<std::string>{path
                                               + ":0: permissions 0664 are too open: the file holds the "
                                                 "contacts of the account and must not be accessible by group "
                                                 "or others; run: chmod 600 "
                                               + path});

    // Added contacts are appended once, to a file private from its first
    // moment, whatever the umask.
    ::unlink(path.c_str());
    std::string error;
    mode_t previous = ::umask(0);
    EXPECT_TRUE(addToContactsFile(path, "bob@h.test", error)) << error;
    ::umask(previous);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_TRUE(addToContactsFile(path, "carol@h.test", error)) << error;
    EXPECT_TRUE(addToContactsFile(path, "Bob@H.test", error)) << error;
    c.contacts.clear();
    errors.clear();
    EXPECT_TRUE(loadContactsFile(path, c, errors));
    EXPECT_EQ(c.contacts, (std::vector<std::string>{"bob@h.test", "carol@h.test"}));
    std::string text = readFile(path);
    EXPECT_EQ(text.substr(text.find("bob@")), "bob@h.test\ncarol@h.test\n");

    // What the user wrote stays, a last line without its newline included.
    writeFile(path, "# mine\ndave@h.test");
    EXPECT_TRUE(addToContactsFile(path, "erin@h.test", error)) << error;
    EXPECT_EQ(readFile(path), "# mine\ndave@h.test\nerin@h.test\n");
}

TEST(MessengerConfig, JidsAreStoredInTheFormTheyCompareIn)
{
    const std::pair<std::string, std::string> cases[] = {
        {"Bob@Example.ORG", "bob@example.org"},
        {"BOB@h.test/PC Home", "bob@h.test/PC Home"},  // the resource as it is
        {"\xc3\x84rger@B\xc3\xbc"
         "cher.Example",
         "\xc3\xa4rger@b\xc3\xbc"
         "cher.example"},
        {"H.test", "h.test"},
    };
    for (const auto& [jid, normal] : cases)
        EXPECT_EQ(normalizeJid(jid), normal) << jid;
}
