// The installation's key file and the fingerprints people compare.
#include "messenger/identity.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// RFC 7748, section 6.1: Alice's X25519 secret and public key.
const std::string kSecretHex = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
const noise::Key kPublic = {0x85, 0x20, 0xf0, 0x09, 0x89, 0x30, 0xa7, 0x54, 0x74, 0x8b, 0x7d,
                            0xdc, 0xb4, 0x3e, 0xf7, 0x5a, 0x0d, 0xbf, 0x3a, 0x0d, 0x26, 0x38,
                            0x1a, 0xf4, 0xeb, 0xa4, 0xa9, 0x8e, 0xaa, 0x9b, 0x4e, 0x6a};
// The first 20 bytes of SHA-256 over kPublic, from sha256sum:
// printf 8520f0...4e6a | xxd -r -p | sha256sum
//   300c9c9603b92a4b39ed3958bf9240114804db4fd373012c0ca47432d63425ae
const std::string kFingerprint = "300C9C9603B92A4B39ED3958BF9240114804DB4F";

unsigned modeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xffff;
}

// Sets the umask for the lifetime of the object.
struct Umask {
    explicit Umask(mode_t mask) : previous(::umask(mask)) {}
    ~Umask() { ::umask(previous); }
    mode_t previous;
};

}  // namespace

TEST(MessengerIdentity, FilesBesideTheConfiguration)
{
    EXPECT_EQ(besideConfig("/home/a/.config/corvane/messengerd.conf", ".key"),
              "/home/a/.config/corvane/messengerd.key");
    EXPECT_EQ(besideConfig("x", ".key"), "x.key");
    EXPECT_EQ(besideConfig("m.conf", ".pins"), "m.pins");
    // Only the last extension of the file's own name goes.
    EXPECT_EQ(besideConfig("/etc/m.conf.d/alice.conf.old", ".key"), "/etc/m.conf.d/alice.conf.key");
    EXPECT_EQ(besideConfig("/etc/m.d/alice", ".contacts"), "/etc/m.d/alice.contacts");
    EXPECT_EQ(besideConfig("/home/a/.messengerd", ".key"), "/home/a/.messengerd.key");
}

TEST(MessengerIdentity, KeyFileIsMadeAtFirstUseWithMode0600AndKept)
{
    TempDir dir;
    const std::string path = dir.file("m.key");
    noise::KeyPair first;
    std::string error;
    {
        // Even a umask that lets everything through gives the file mode 0600.
        Umask open(0);
        ASSERT_TRUE(loadOrCreateKeyPair(path, first, error)) << error;
    }
    EXPECT_EQ(modeOf(path), 0600u);
    EXPECT_EQ(noise::KeyPair::fromSecret(first.secret).pub, first.pub);
    EXPECT_NE(first.pub, noise::Key{});

    std::string text = readFile(path);
    EXPECT_EQ(text.rfind("# messengerd key: the secret key of this installation. Keep it private; do not copy it "
                         "to another PC.\nsecret ",
                         0),
              0u)
        << text;

    noise::KeyPair second;
    ASSERT_TRUE(loadOrCreateKeyPair(path, second, error)) << error;
    EXPECT_EQ(second.secret, first.secret);
    EXPECT_EQ(second.pub, first.pub);
    EXPECT_EQ(readFile(path), text);
}

TEST(MessengerIdentity, KeyFileOfAKnownSecretGivesItsPublicKeyAndABadOneIsRefusedUnchanged)
{
    TempDir dir;
    const std::string path = dir.file("m.key");
    const std::string good = "# a comment\n\nsecret " + kSecretHex + "\n";
    const std::string notAKey =
        ": not a key file of messengerd (expected a line \"secret\" and 64 hex digits): "
        "restore it from a backup, or remove it to make a new key (contacts must then "
        "trust the new fingerprint)";
    struct Case {
        std::string text;
        mode_t mode;
        std::string error;  // after the path; empty: loaded
    } cases[] = {
        {good, 0600, ""},
        {good, 0400, ""},
        {good, 0640, ": permissions 0640"},
        {good, 0604, ": permissions 0604"},
        {good, 0620, ": permissions 0620"},
        {good, 0602, ": permissions 0602"},
        {good, 0660, ": permissions 0660"},
        {"", 0600, notAKey},
        {"# only a comment\n", 0600, notAKey},
        {"secret " + kSecretHex.substr(1) + "\n", 0600, notAKey},
        {"secret " + kSecretHex + "0\n", 0600, notAKey},
        {"secret " + kSecretHex.substr(2) + "zz\n", 0600, notAKey},
        {"secret " + kSecretHex + " extra\n", 0600, notAKey},
        {"public " + kSecretHex + "\n", 0600, notAKey},
        {"secret " + kSecretHex + "\nsecret " + kSecretHex + "\n", 0600, notAKey},
    };
    for (const Case& c : cases) {
        writeFile(path, c.text);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        noise::KeyPair keys;
        std::string error;
        EXPECT_EQ(loadOrCreateKeyPair(path, keys, error), c.error.empty()) << c.text << error;
        if (c.error.empty()) {
            EXPECT_EQ(keys.pub, kPublic);
        } else if (c.error == notAKey) {
            EXPECT_EQ(error, path + notAKey) << c.text;
        } else {
            EXPECT_EQ(error, path + c.error
                                 + " are too open: the file holds the secret key and must not be accessible by "
                                   "group or others; run: chmod 600 " + path);
        }
        // Refused, never replaced.
        EXPECT_EQ(readFile(path), c.text);
    }
    const std::string absent = dir.file("absent/m.key");
    noise::KeyPair keys;
    std::string error;
    EXPECT_FALSE(loadOrCreateKeyPair(absent, keys, error));
    EXPECT_EQ(error, absent + ": cannot create the key file: No such file or directory");
}

TEST(MessengerIdentity, FingerprintIsTheTruncatedSha256InGroupsOfFourAndReadAsTyped)
{
    EXPECT_EQ(fingerprintCompact(kPublic), kFingerprint);
    EXPECT_EQ(fingerprintText(kPublic), "300C 9C96 03B9 2A4B 39ED 3958 BF92 4011 4804 DB4F");
    EXPECT_EQ(groupFingerprint(kFingerprint), fingerprintText(kPublic));
    for (const std::string& typed : {
             std::string("300C 9C96 03B9 2A4B 39ED 3958 BF92 4011 4804 DB4F"),
             std::string("300c9c9603b92a4b39ed3958bf9240114804db4f"),
             std::string("30:0c:9c:96:03:b9:2a:4b:39:ed:39:58:bf:92:40:11:48:04:db:4f"),
             std::string("300C-9C96-03B9-2A4B-39ED-3958-BF92-4011-4804-DB4F"),
             std::string("  300C9C9603B92A4B39ED3958BF9240114804DB4F\t"),
             std::string("3 00C9C9603B92A4B39ED3958BF9240114804DB4F"),
         }) {
        std::string compact;
        EXPECT_TRUE(parseFingerprint(typed, compact)) << typed;
        EXPECT_EQ(compact, kFingerprint) << typed;
    }
    for (const std::string& typed : {
             kFingerprint.substr(1),
             kFingerprint + "0",
             kFingerprint.substr(0, 39) + "G",
             kFingerprint.substr(0, 39) + ".",
             "0x" + kFingerprint.substr(2),
             std::string(""),
         }) {
        std::string compact = "unchanged";
        EXPECT_FALSE(parseFingerprint(typed, compact)) << typed;
        EXPECT_EQ(compact, "unchanged");
    }
}
