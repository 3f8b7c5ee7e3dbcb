// The installation's key file, the fingerprints people compare, and the
// pins of contacts' keys in their file: trust on first use, the explicit
// trust of messengerd --trust, and a file shared with other processes.
#include "messenger/crypto/fingerprint.h"
#include "messenger/support/files.h"
#include "messenger/trust/key_file.h"
#include "messenger/trust/pin_file.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>

namespace {

// RFC 7748, section 6.1: the secret and public key of Alice, the public key
// of Bob, with the first 20 bytes of their SHA-256 (sha256sum) and the keys
// in hex.
const std::string kSecretHex = "77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a";
const noise::Key kAlice = {0x85, 0x20, 0xf0, 0x09, 0x89, 0x30, 0xa7, 0x54, 0x74, 0x8b, 0x7d,
                           0xdc, 0xb4, 0x3e, 0xf7, 0x5a, 0x0d, 0xbf, 0x3a, 0x0d, 0x26, 0x38,
                           0x1a, 0xf4, 0xeb, 0xa4, 0xa9, 0x8e, 0xaa, 0x9b, 0x4e, 0x6a};
const std::string kAliceHex = "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a";
const std::string kAliceFingerprint = "300C9C9603B92A4B39ED3958BF9240114804DB4F";
const noise::Key kBob = {0xde, 0x9e, 0xdb, 0x7d, 0x7b, 0x7d, 0xc1, 0xb4, 0xd3, 0x5b, 0x61,
                         0xc2, 0xec, 0xe4, 0x35, 0x37, 0x3f, 0x83, 0x43, 0xc8, 0x5b, 0x78,
                         0x67, 0x4d, 0xad, 0xfc, 0x7e, 0x14, 0x6f, 0x88, 0x2b, 0x4f};
const std::string kBobFingerprint = "F35E5616160A30BF3C6E79FA73C576D40205E8FC";

// A scratch directory with the key file and the pin file of one installation.
class MessengerIdentity : public ::testing::Test {
protected:
    static unsigned modeOf(const std::string& path)
    {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0xffff;
    }
    TempDir dir;
    const std::string keyPath = dir.file("m.key");
    const std::string path = dir.file("m.pins");
    std::string error;
};
using MessengerPins = MessengerIdentity;

}  // namespace

TEST_F(MessengerIdentity, KeyFileIsMadeOnceWithMode0600AndABadOneIsRefusedUnchanged)
{
    noise::KeyPair first;
    // Even a umask that lets everything through gives the file mode 0600.
    const mode_t previous = ::umask(0);
    ASSERT_TRUE(loadOrCreateKeyPair(keyPath, first, error)) << error;
    ::umask(previous);
    EXPECT_EQ(modeOf(keyPath), 0600u);
    EXPECT_EQ(noise::KeyPair::fromSecret(first.secret).pub, first.pub);

    std::string text = readFile(keyPath);
    EXPECT_EQ(text.rfind("# messengerd key: the secret key of this installation. Keep it private; do not copy it "
                         "to another PC.\nsecret ",
                         0),
              0u)
        << text;

    noise::KeyPair second;
    ASSERT_TRUE(loadOrCreateKeyPair(keyPath, second, error)) << error;
    EXPECT_EQ(second.secret, first.secret);
    EXPECT_EQ(readFile(keyPath), text);

    // A known secret gives its public key; a bad file is refused unchanged.
    const std::string good = "# a comment\n\nsecret " + kSecretHex + "\n";
    const std::string notAKey =
        ": not a key file of messengerd (expected a line \"secret\" and 64 hex digits): "
        "restore it from a backup, or remove it to make a new key (contacts must then "
        "trust the new fingerprint)";
    struct Case {
        std::string text;
        mode_t mode;
        std::string error;  // after the keyPath; empty: loaded
    } cases[] = {
        {good, 0600, ""},
        {good, 0400, ""},
        {good, 0640, ": permissions 0640"},
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
        writeFile(keyPath, c.text);
        ASSERT_EQ(::chmod(keyPath.c_str(), c.mode), 0);
        noise::KeyPair keys;
        EXPECT_EQ(loadOrCreateKeyPair(keyPath, keys, error), c.error.empty()) << c.text << error;
        if (c.error.empty()) {
            EXPECT_EQ(keys.pub, kAlice);
        } else if (c.error == notAKey) {
            EXPECT_EQ(error, keyPath + notAKey) << c.text;
        } else {
            EXPECT_EQ(error, keyPath + c.error
                                 + " are too open: the file holds the secret key and must not be accessible by "
                                   "group or others; run: chmod 600 " + keyPath);
        }
        // Refused, never replaced.
        EXPECT_EQ(readFile(keyPath), c.text);
    }
    const std::string absent = dir.file("absent/m.key");
    noise::KeyPair keys;
    EXPECT_FALSE(loadOrCreateKeyPair(absent, keys, error));
    EXPECT_EQ(error, absent + ": cannot create the key file: No such file or directory");
}

TEST_F(MessengerIdentity, FingerprintIsTheTruncatedSha256InGroupsOfFourAndReadAsTyped)
{
    EXPECT_EQ(fingerprintCompact(kAlice), kAliceFingerprint);
    EXPECT_EQ(fingerprintText(kAlice), "300C 9C96 03B9 2A4B 39ED 3958 BF92 4011 4804 DB4F");
    EXPECT_EQ(groupFingerprint(kAliceFingerprint), fingerprintText(kAlice));
    // As typed: blanks, ':' and either case; anything but 40 hex digits
    // leaves `compact` as it was.
    const std::pair<std::string, bool> typed[] = {
        {"300C 9C96 03B9 2A4B 39ED 3958 BF92 4011 4804 DB4F", true},
        {"300c9c9603b92a4b39ed3958bf9240114804db4f", true},
        {"30:0c:9c:96:03:b9:2a:4b:39:ed:39:58:bf:92:40:11:48:04:db:4f", true},
        {"  300C9C9603B92A4B39ED3958BF9240114804DB4F\t", true},
        {kAliceFingerprint.substr(1), false},
        {kAliceFingerprint + "0", false},
        {kAliceFingerprint.substr(0, 39) + "G", false},
        {kAliceFingerprint.substr(0, 39) + ".", false},
        {"0x" + kAliceFingerprint.substr(2), false},
        {"", false},
    };
    for (const auto& [text, ok] : typed) {
        std::string compact = "unchanged";
        EXPECT_EQ(parseFingerprint(text, compact), ok) << text;
        EXPECT_EQ(compact, ok ? kAliceFingerprint : "unchanged") << text;
    }
}

TEST_F(MessengerPins, FirstUsePinsTheKeyTrustReplacesItAndAnotherKeyIsRefused)
{
    PinFile pins(path, nullptr);
    EXPECT_FALSE(pins.pinFor("alice@example.org"));
    EXPECT_FALSE(fileExists(path));
    ASSERT_TRUE(pins.check("alice@example.org", kAlice).accepted());
    EXPECT_EQ(modeOf(path), 0600u);
    std::optional<Pin> p = pins.pinFor("alice@example.org");
    ASSERT_TRUE(p && p->key);
    EXPECT_EQ(p->fingerprint, kAliceFingerprint);
    EXPECT_EQ(*p->key, kAlice);
    EXPECT_FALSE(pins.pinFor("bob@example.org"));
    EXPECT_NE(readFile(path).find("alice@example.org " + kAliceFingerprint + " " + kAliceHex + "\n"),
              std::string::npos);
    // The same key again is fine; another one is not stored.
    EXPECT_TRUE(pins.check("alice@example.org", kAlice).accepted());
    EXPECT_FALSE(pins.check("alice@example.org", kBob).accepted());
    EXPECT_EQ(*pins.pinFor("alice@example.org")->key, kAlice);

    // The contact's key changed: the user trusts the new fingerprint, from
    // another process; the daemon's next question sees it.
    PinFile command(path, nullptr);
    EXPECT_FALSE(command.trust("alice", kBobFingerprint, error));
    EXPECT_FALSE(command.trust("alice@example.org", kBobFingerprint.substr(1), error));
    // Written in another case, the JID is the same contact's.
    ASSERT_TRUE(command.trust("Alice@Example.ORG", kBobFingerprint, error)) << error;
    p = pins.pinFor("alice@example.org");
    ASSERT_TRUE(p);
    EXPECT_EQ(p->fingerprint, kBobFingerprint);
    EXPECT_FALSE(p->key);
    // A key of another fingerprint does not replace the trusted one; the
    // key that has it completes the pin.
    EXPECT_FALSE(pins.check("alice@example.org", kAlice).accepted());
    EXPECT_FALSE(pins.pinFor("alice@example.org")->key);
    EXPECT_TRUE(pins.check("alice@example.org", kBob).accepted());
    p = pins.pinFor("alice@example.org");
    ASSERT_TRUE(p && p->key);
    EXPECT_EQ(*p->key, kBob);
    EXPECT_EQ(p->fingerprint, kBobFingerprint);
}

TEST_F(MessengerPins, OtherLinesAndCommentsAreKeptAndTheFileStaysPrivate)
{
    const std::string before = "# my contacts\n"
                               "bob@example.org " + kBobFingerprint + "\n"
                               "\n"
                               "# the old PC of carol\n"
                               "carol@example.org " + kAliceFingerprint + " " + kAliceHex + "\n";
    writeFile(path, before);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    PinFile pins(path, nullptr);
    ASSERT_TRUE(pins.trust("alice@example.org", kAliceFingerprint, error)) << error;
    EXPECT_EQ(readFile(path), before + "alice@example.org " + kAliceFingerprint + "\n");
    EXPECT_EQ(modeOf(path), 0600u);

    // A pin is completed in its place.
    ASSERT_TRUE(pins.check("bob@example.org", kBob).accepted());
    EXPECT_EQ(readFile(path), "# my contacts\n"
                              "bob@example.org " + kBobFingerprint + " "
                                  + "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f\n"
                                    "\n"
                                    "# the old PC of carol\n"
                                    "carol@example.org " + kAliceFingerprint + " " + kAliceHex + "\n"
                                    "alice@example.org " + kAliceFingerprint + "\n");
    EXPECT_EQ(modeOf(path), 0600u);
    // No temporary file is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    // Whoever could write it could have pinned a key of their own: neither
    // a pin nor "no pin yet" can be taken from it.
    ASSERT_EQ(::chmod(path.c_str(), 0664), 0);
    std::optional<Pin> pin;
    EXPECT_FALSE(pins.lookup("bob@example.org", pin));
    EXPECT_FALSE(pins.lookup("dave@example.org", pin));
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    EXPECT_TRUE(pins.lookup("bob@example.org", pin));
    ASSERT_TRUE(pin);
}

TEST_F(MessengerPins, MalformedLinesAreSkippedAndReportedOncePerRead)
{
    writeFile(path, "alice@example.org\n"                                                  // no fingerprint
                    "bob@example.org " + kBobFingerprint.substr(1) + "\n"                 // 39 digits
                    "alice@example.org " + kBobFingerprint + " " + kAliceHex + "\n"       // key of another print
                    "carol " + kBobFingerprint + "\n"                                     // not a bare JID
                    "bob@example.org " + kBobFingerprint + " " + kAliceHex + " x\n"       // trailing word
                    "alice@example.org " + kAliceFingerprint + " " + kAliceHex + "\n");  // good
    Log log;
    log.setCapture(true);
    ASSERT_TRUE(log.open(dir.file("m.log")));
    PinFile pins(path, &log);
    std::optional<Pin> p = pins.pinFor("alice@example.org");
    ASSERT_TRUE(p && p->key);
    EXPECT_EQ(*p->key, kAlice);
    EXPECT_FALSE(pins.pinFor("bob@example.org"));
    EXPECT_FALSE(pins.pinFor("carol"));
    // Three reads, three lines: one each, naming the first bad line.
    const std::string note = path + ":1: ignored a line that is not \"JID FINGERPRINT [KEY]\" (and 4 more such lines)";
    std::istringstream lines(log.captured());
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_NE(line.find(note), std::string::npos) << line;
    EXPECT_EQ(count, 3);
}

TEST_F(MessengerPins, ADaemonPinningWaitsForATrustInProgress)
{
    PinFile cli(path, nullptr);
    ASSERT_TRUE(cli.trust("bob@example.org", kBobFingerprint, error)) << error;
    // Another process (here: this test) holds the file for a change of its own.
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    PinFile daemon(path, nullptr);
    std::thread first([&] { EXPECT_TRUE(daemon.check("alice@example.org", kAlice).accepted()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(cli.pinFor("alice@example.org")) << "pinned without the lock";
    // The other change: rename a new file over the old one, as --trust does.
    ASSERT_TRUE(PinFile(path + ".new", nullptr).trust("carol@example.org", kAliceFingerprint, error)) << error;
    ASSERT_TRUE(PinFile(path + ".new", nullptr).trust("bob@example.org", kBobFingerprint, error)) << error;
    ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
    ::close(fd);
    first.join();
    // Both changes are there: the daemon read the file after the rename.
    EXPECT_TRUE(cli.pinFor("carol@example.org"));
    EXPECT_TRUE(cli.pinFor("bob@example.org"));
    ASSERT_TRUE(cli.pinFor("alice@example.org"));
    EXPECT_EQ(*cli.pinFor("alice@example.org")->key, kAlice);
}

TEST_F(MessengerPins, AKeyThatCannotBePinnedIsNotAccepted)
{
    const std::string gone = dir.file("gone/m.pins");
    PinFile pins(gone, nullptr);
    const TrustVerdict v = pins.check("alice@example.org", kAlice);
    EXPECT_EQ(v.kind, TrustVerdict::Kind::Unavailable);
    EXPECT_EQ(v.problem, "cannot lock the pins file " + gone + ": No such file or directory");
}
