#include "core/profile.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "tests/support/temp_dir.h"

namespace {

int modeOf(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Every key of the INI file with a value unlike its default and unlike its
// neighbours', and how the configuration shows it.
struct Key {
    const char* section;
    std::string key, value;
    std::function<std::string(QV_CONFIGSTORE&)> shown;
};

std::vector<Key> everyKey()
{
    auto num = [](int (QV_CONFIGSTORE::*get)()) {
        return [get](QV_CONFIGSTORE& c) { return std::to_string((c.*get)()); };
    };
    std::vector<Key> keys = {
        {"SYSTEM", "APPMODE", "1", num(&QV_CONFIGSTORE::isClientMode)},
        {"SYSTEM", "ENABLEUSER", "1", num(&QV_CONFIGSTORE::getAcceptPolicy)},
        {"SYSTEM", "OPENWINDOW", "1", num(&QV_CONFIGSTORE::getOpenWindow)},
        {"SYSTEM", "SOUNDMODE", "0", num(&QV_CONFIGSTORE::getSoundMode)},
        {"CLIENT", "FTPPORT", "2021", num(&QV_CONFIGSTORE::getFtpPort)},
        {"CLIENT", "HTTPPORT", "2080", num(&QV_CONFIGSTORE::getHttpPort)},
        {"CLIENT", "CVSPORT", "3401", num(&QV_CONFIGSTORE::getCvsPort)},
        {"CLIENT", "GENPORT1", "6900", num(&QV_CONFIGSTORE::getGenPort1)},
        {"CLIENT", "GENPORT2", "10023", num(&QV_CONFIGSTORE::getGenPort2)},
        {"CLIENT", "AUTOCONNECT", "1", num(&QV_CONFIGSTORE::getAutoConnect)},
        {"CLIENT", "AUTOCONNECTUSER", "auto@pc.test",
         [](QV_CONFIGSTORE& c) { return std::string(c.getAutoConnectUser()); }},
        {"CLIENT", "LISTENADDRESS", "192.0.2.7", [](QV_CONFIGSTORE& c) { return std::string(c.getListenAddress()); }}};
    for (int k = 0; k < kServiceCount; ++k) {
        const std::string n = std::to_string(k + 1);
        keys.push_back({"SYSTEM", "ENABLEPORT" + n, std::to_string(k % 2),
                        [k](QV_CONFIGSTORE& c) { return std::to_string(c.isServiceEnabled(k)); }});
        keys.push_back({"SERVER", "FOWERDHOST" + n, "h" + n + ".test",
                        [k](QV_CONFIGSTORE& c) { return std::string(c.getForwardHost(k)); }});
        keys.push_back({"SERVER", "FOWERDPORT" + n, std::to_string(1001 + k),
                        [k](QV_CONFIGSTORE& c) { return std::to_string(c.getForwardPort(k)); }});
    }
    return keys;
}

class ProfileTest : public testing::Test {
protected:
    std::string ini() const { return dir.file("CorvaneForTcp.ini"); }
    // The file's text with its lines ended by LF alone.
    std::string lines() const
    {
        std::string text = readFile(ini());
        std::erase(text, '\r');
        return text;
    }
    TempDir dir;
};

}  // namespace

TEST_F(ProfileTest, DefaultsLeadingDigitsAndTheLengthCut)
{
    EXPECT_EQ(7, profile::getInt("SYSTEM", "APPMODE", 7, ini()));
    writeFile(ini(), "[SYSTEM]\r\nA=42abc\r\nB=abc\r\nC=-5\r\nD=\r\nE=0021\r\n[SERVER]\r\nFOWERDHOST1="
                         + std::string(300, 'h') + "\r\n");
    const std::pair<const char*, int> ints[] = {{"A", 42}, {"B", 0}, {"C", 0}, {"D", 0}, {"E", 21}, {"APPMODE", 7}};
    for (const auto& [key, value] : ints)
        EXPECT_EQ(value, profile::getInt("SYSTEM", key, 7, ini())) << key;
    EXPECT_EQ(9, profile::getInt("SERVER", "A", 9, ini())) << "a key of another section";
    EXPECT_EQ(std::string(260, 'h'), profile::getString("SERVER", "FOWERDHOST1", "", ini()));
}

// The INI file names contacts and hosts: it is the owner's alone, whatever
// the umask; a file someone left readable is closed up by the next write,
// which keeps the other keys and sections and stores Japanese in cp932.
TEST_F(ProfileTest, WritesKeepOtherKeysUseCp932AndLeaveTheFileTheOwnersAlone)
{
    mode_t saved = ::umask(022);
    ASSERT_TRUE(profile::writeString("CLIENT", "AUTOCONNECTUSER", "山田", dir.file("new.ini")));
    EXPECT_EQ(0600, modeOf(dir.file("new.ini")));
    writeFile(ini(), "[USER]\r\nNOTE=keep me\r\n[SYSTEM]\r\nAPPMODE=0\r\nMYKEY=mine\r\n");
    ::chmod(ini().c_str(), 0644);
    ASSERT_TRUE(profile::writeStrings("SYSTEM", {{"APPMODE", "1"}, {"SOUNDMODE", "0"}}, ini()));
    ASSERT_TRUE(profile::writeString("CLIENT", "AUTOCONNECTUSER", "山田", ini()));
    ::umask(saved);
    EXPECT_EQ(0600, modeOf(ini()));
    EXPECT_FALSE(fileExists(ini() + ".tmp"));
    EXPECT_EQ(1, profile::getInt("SYSTEM", "APPMODE", 9, ini()));
    EXPECT_EQ(0, profile::getInt("SYSTEM", "SOUNDMODE", 9, ini()));
    EXPECT_EQ("mine", profile::getString("SYSTEM", "MYKEY", "", ini()));
    EXPECT_EQ("keep me", profile::getString("USER", "NOTE", "", ini()));
    EXPECT_NE(std::string::npos, readFile(ini()).find("AUTOCONNECTUSER=\x8e\x52\x93\x63"));
    EXPECT_EQ("山田", profile::getString("CLIENT", "AUTOCONNECTUSER", "", ini()));
}

TEST_F(ProfileTest, AMissingFileLoadsTheDefaultsAndSavesLoopbackAsTheLastClientKey)
{
    QV_CONFIGSTORE config;
    config.load();
    const int values[] = {config.isClientMode(), config.getAcceptPolicy(), config.getSoundMode(),
                          config.getOpenWindow(), config.getAutoConnect()};
    EXPECT_EQ((std::vector<int>{0, 0, 1, 0, 0}), std::vector<int>(std::begin(values), std::end(values)));
    EXPECT_STREQ("", config.getAutoConnectUser());
    EXPECT_STREQ("127.0.0.1", config.getListenAddress());
    const int ports[] = {21, 80, 2401, 5900, 9023};
    const int local[] = {config.getFtpPort(), config.getHttpPort(), config.getCvsPort(), config.getGenPort1(),
                         config.getGenPort2()};
    for (int k = 0; k < kServiceCount; ++k) {
        EXPECT_EQ(1, config.isServiceEnabled(k)) << k;
        EXPECT_STREQ("127.0.0.1", config.getForwardHost(k)) << k;
        EXPECT_EQ(ports[k], config.getForwardPort(k)) << k;
        EXPECT_EQ(ports[k], local[k]) << k;
    }
    EXPECT_STREQ("CorvaneForFtp0000", config.getFtpApplicationName());
    EXPECT_STREQ("ＦＴＰ", getServiceName(0));
    EXPECT_STREQ("設定４", getServiceName(4));
    EXPECT_STREQ("", getServiceName(5));
    EXPECT_STREQ("", getServiceName(-1));

    config.save();
    const std::string raw = lines();
    const size_t listen = raw.find("AUTOCONNECTUSER=\nLISTENADDRESS=127.0.0.1\n");
    ASSERT_NE(std::string::npos, listen) << raw;
    EXPECT_EQ(std::string::npos, raw.find('[', listen)) << "CLIENT is the last section";
}

// Each setting is read from its own key of its own section, and saved to it
// in a file that had none of them; the keys of other sections stay.
TEST_F(ProfileTest, EveryKeyIsReadFromAndSavedToItsSection)
{
    const std::vector<Key> keys = everyKey();
    std::string text;
    for (const char* section : {"SYSTEM", "SERVER", "CLIENT"}) {
        text += std::string("[") + section + "]\r\n";
        for (const Key& k : keys)
            if (k.section == std::string(section))
                text += k.key + "=" + k.value + "\r\n";
    }
    writeFile(ini(), text);
    QV_CONFIGSTORE config;
    config.load();
    for (const Key& k : keys)
        EXPECT_EQ(k.value, k.shown(config)) << k.key;

    writeFile(ini(), "[LOG]\r\nINDEX=1\r\nCOUNT=17\r\n");
    config.save();
    for (const Key& k : keys)
        EXPECT_EQ(k.value, profile::getString(k.section, k.key.c_str(), "missing", ini())) << k.key;
    EXPECT_EQ(17, profile::getInt("LOG", "COUNT", 0, ini()));
    EXPECT_NE(std::string::npos, lines().find("[CLIENT]\nFTPPORT=2021\nHTTPPORT=2080\nCVSPORT=3401\nGENPORT1=6900\n"
                                              "GENPORT2=10023\nAUTOCONNECT=1\nAUTOCONNECTUSER=auto@pc.test\n"
                                              "LISTENADDRESS=192.0.2.7\n"))
        << lines();

    // Any APPMODE but 0 is the client and is saved as 1; a LISTENADDRESS that
    // names no address is kept as written (the listeners fall back to loopback).
    writeFile(ini(), "[SYSTEM]\r\nAPPMODE=2\r\n[CLIENT]\r\nLISTENADDRESS=192.168.1\r\n");
    QV_CONFIGSTORE odd;
    odd.load();
    EXPECT_EQ(1, odd.isClientMode());
    EXPECT_STREQ("192.168.1", odd.getListenAddress());
    odd.setAutoConnectUser("相手");
    odd.save();
    EXPECT_EQ(1, profile::getInt("SYSTEM", "APPMODE", 0, ini()));
    EXPECT_EQ("192.168.1", profile::getString("CLIENT", "LISTENADDRESS", "", ini()));
    QV_CONFIGSTORE again;
    again.load();
    EXPECT_STREQ("相手", again.getAutoConnectUser());
}

TEST(ListenAddress, OnlyTheFourPartFormNamesAnAddress)
{
    uint32_t address = 0;
    const std::pair<const char*, uint32_t> good[] = {
        {"127.0.0.1", INADDR_LOOPBACK}, {"0.0.0.0", INADDR_ANY}, {"192.0.2.7", 0xc0000207u}};
    for (const auto& [text, value] : good) {
        ASSERT_TRUE(parseListenAddress(text, &address)) << text;
        EXPECT_EQ(htonl(value), address) << text;
    }
    // Short, octal and hexadecimal forms read as other addresses elsewhere
    // ("0" as every address); names and blanks are not addresses.
    address = 12345;
    for (const char* bad : {"", "0", "127.1", "0x7f.0.0.1", "192.168.1", "256.0.0.1", "1.2.3.4.5", "localhost",
                            " 127.0.0.1", "127.0.0.1 x", "::1"})
        EXPECT_FALSE(parseListenAddress(bad, &address)) << "'" << bad << "'";
    EXPECT_FALSE(parseListenAddress(nullptr, &address));
    EXPECT_EQ(12345u, address);
}
