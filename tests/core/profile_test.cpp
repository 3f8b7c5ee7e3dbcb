#include "core/profile.h"
#include "core/config_store.h"
#include "core/cp932.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace {

const char* kIni = "CorvaneForTcp.ini";

int modeOf(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<int>(st.st_mode & 07777);
}

}  // namespace

TEST(ProfileValues, MissingFileAndKeyGiveTheDefault)
{
    TempDir dir;
    EXPECT_EQ(7, profile::getInt("SYSTEM", "APPMODE", 7, dir.file(kIni)));
    EXPECT_EQ("dflt", profile::getString("SERVER", "FOWERDHOST1", "dflt", dir.file(kIni)));

    writeFile(dir.file(kIni), "[SYSTEM]\r\nOTHER=3\r\n");
    EXPECT_EQ(7, profile::getInt("SYSTEM", "APPMODE", 7, dir.file(kIni)));
    EXPECT_EQ(3, profile::getInt("SYSTEM", "OTHER", 7, dir.file(kIni)));
}

TEST(ProfileValues, IntegersReadAsTheirLeadingDigits)
{
    TempDir dir;
    writeFile(dir.file(kIni), "[SYSTEM]\r\nA=42abc\r\nB=abc\r\nC=-5\r\nD=\r\nE=0021\r\n");
    EXPECT_EQ(42, profile::getInt("SYSTEM", "A", 9, dir.file(kIni)));
    EXPECT_EQ(0, profile::getInt("SYSTEM", "B", 9, dir.file(kIni)));
    EXPECT_EQ(0, profile::getInt("SYSTEM", "C", 9, dir.file(kIni)));
    EXPECT_EQ(0, profile::getInt("SYSTEM", "D", 9, dir.file(kIni)));
    EXPECT_EQ(21, profile::getInt("SYSTEM", "E", 9, dir.file(kIni)));
}

TEST(ProfileValues, TextIsCutTo260Bytes)
{
    TempDir dir;
    std::string longHost(300, 'h');
    writeFile(dir.file(kIni), "[SERVER]\r\nFOWERDHOST1=" + longHost + "\r\n");
    EXPECT_EQ(std::string(260, 'h'), profile::getString("SERVER", "FOWERDHOST1", "", dir.file(kIni)));
}

TEST(ProfileValues, JapaneseTextIsStoredInCp932)
{
    TempDir dir;
    ASSERT_TRUE(profile::writeString("CLIENT", "AUTOCONNECTUSER", "山田", dir.file(kIni)));
    std::string raw = readFile(dir.file(kIni));
    EXPECT_NE(std::string::npos, raw.find("AUTOCONNECTUSER=\x8e\x52\x93\x63"));
    EXPECT_EQ("山田", profile::getString("CLIENT", "AUTOCONNECTUSER", "", dir.file(kIni)));
}

TEST(ProfileWrite, KeepsOtherKeysAndSections)
{
    TempDir dir;
    writeFile(dir.file(kIni), "[USER]\r\nNOTE=keep me\r\n[SYSTEM]\r\nAPPMODE=0\r\nMYKEY=mine\r\n");
    ASSERT_TRUE(profile::writeStrings("SYSTEM", {{"APPMODE", "1"}, {"SOUNDMODE", "0"}}, dir.file(kIni)));
    EXPECT_EQ(1, profile::getInt("SYSTEM", "APPMODE", 9, dir.file(kIni)));
    EXPECT_EQ(0, profile::getInt("SYSTEM", "SOUNDMODE", 9, dir.file(kIni)));
    EXPECT_EQ("mine", profile::getString("SYSTEM", "MYKEY", "", dir.file(kIni)));
    EXPECT_EQ("keep me", profile::getString("USER", "NOTE", "", dir.file(kIni)));
}

// The INI file names contacts and hosts: it is the owner's alone, whatever
// the umask; a file someone left readable is closed up by the next write,
// its keys kept and still in cp932.
TEST(ProfileWrite, FileIsTheOwnersAlone)
{
    TempDir dir;
    mode_t saved = ::umask(022);
    ASSERT_TRUE(profile::writeString("CLIENT", "AUTOCONNECTUSER", "山田", dir.file(kIni)));
    EXPECT_EQ(0600, modeOf(dir.file(kIni)));

    std::string wide = dir.file("wide.ini");
    writeFile(wide, "[USER]\r\nNOTE=keep me\r\n");
    ::chmod(wide.c_str(), 0644);
    ASSERT_TRUE(profile::writeString("CLIENT", "AUTOCONNECTUSER", "山田", wide));
    ::umask(saved);
    EXPECT_EQ(0600, modeOf(wide));
    EXPECT_EQ("keep me", profile::getString("USER", "NOTE", "", wide));
    EXPECT_NE(std::string::npos, readFile(wide).find("AUTOCONNECTUSER=\x8e\x52\x93\x63"));
    EXPECT_FALSE(fileExists(wide + ".tmp"));
}

TEST(ConfigurationFile, MissingFileLoadsTheDefaults)
{
    TempDir dir;
    QV_CONFIGSTORE config;
    config.load();
    EXPECT_EQ(0, config.isClientMode());
    EXPECT_EQ(0, config.getAcceptPolicy());
    EXPECT_EQ(1, config.getSoundMode());
    EXPECT_EQ(0, config.getOpenWindow());
    EXPECT_EQ(0, config.getAutoConnect());
    EXPECT_STREQ("", config.getAutoConnectUser());
    const int ports[] = {21, 80, 2401, 5900, 9023};
    for (int k = 0; k < kServiceCount; ++k) {
        EXPECT_EQ(1, config.isServiceEnabled(k)) << k;
        EXPECT_STREQ("127.0.0.1", config.getForwardHost(k)) << k;
        EXPECT_EQ(ports[k], config.getForwardPort(k)) << k;
    }
    EXPECT_EQ(21, config.getFtpPort());
    EXPECT_EQ(80, config.getHttpPort());
    EXPECT_EQ(2401, config.getCvsPort());
    EXPECT_EQ(5900, config.getGenPort1());
    EXPECT_EQ(9023, config.getGenPort2());
}

TEST(ConfigurationFile, SaveThenLoadRoundTripsAndKeepsTheLogSection)
{
    TempDir dir;
    writeFile(dir.file(kIni), "[LOG]\r\nINDEX=1\r\nCOUNT=17\r\n[EXTRA]\r\nX=y\r\n");
    {
        QV_CONFIGSTORE config;
        config.load();
        config.setClientMode(1);
        config.setAcceptPolicy(1);
        config.setServiceEnabled(2, 0);
        config.setForwardHost(3, "192.0.2.7");
        config.setForwardPort(3, 5901);
        config.setHttpPort(8080);
        config.setAutoConnect(1);
        config.setAutoConnectUser("相手");
        config.setSoundMode(0);
        config.save();
    }
    EXPECT_EQ(1, profile::getInt("LOG", "INDEX", 0, dir.file(kIni)));
    EXPECT_EQ(17, profile::getInt("LOG", "COUNT", 0, dir.file(kIni)));
    EXPECT_EQ("y", profile::getString("EXTRA", "X", "", dir.file(kIni)));
    EXPECT_EQ(1, profile::getInt("SYSTEM", "APPMODE", 0, dir.file(kIni)));
    EXPECT_EQ(0, profile::getInt("SYSTEM", "ENABLEPORT3", 1, dir.file(kIni)));
    EXPECT_EQ("192.0.2.7", profile::getString("SERVER", "FOWERDHOST4", "", dir.file(kIni)));
    EXPECT_EQ(8080, profile::getInt("CLIENT", "HTTPPORT", 0, dir.file(kIni)));

    QV_CONFIGSTORE again;
    again.load();
    EXPECT_EQ(1, again.isClientMode());
    EXPECT_EQ(1, again.getAcceptPolicy());
    EXPECT_EQ(0, again.isServiceEnabled(2));
    EXPECT_EQ(1, again.isServiceEnabled(1));
    EXPECT_STREQ("192.0.2.7", again.getForwardHost(3));
    EXPECT_EQ(5901, again.getForwardPort(3));
    EXPECT_EQ(8080, again.getHttpPort());
    EXPECT_EQ(1, again.getAutoConnect());
    EXPECT_STREQ("相手", again.getAutoConnectUser());
    EXPECT_EQ(0, again.getSoundMode());
}

TEST(ConfigurationFile, AnAppModeOtherThanZeroOrOneIsTheClientEverywhereAndIsSavedAsOne)
{
    TempDir dir;
    writeFile(dir.file(kIni), "[SYSTEM]\r\nAPPMODE=2\r\n");
    QV_CONFIGSTORE config;
    config.load();
    EXPECT_EQ(1, config.isClientMode());
    config.save();
    EXPECT_EQ(1, profile::getInt("SYSTEM", "APPMODE", 0, dir.file(kIni)));
}

TEST(ConfigurationFile, ServiceNamesAndPortsFollowTheServiceTable)
{
    EXPECT_STREQ("ＦＴＰ", getServiceName(0));
    EXPECT_STREQ("設定４", getServiceName(4));
    EXPECT_STREQ("", getServiceName(5));
    EXPECT_STREQ("", getServiceName(-1));
    TempDir dir;
    QV_CONFIGSTORE config;
    config.load();
    EXPECT_EQ(21, config.getServicePort(0));
    EXPECT_EQ(80, config.getServicePort(1));
    EXPECT_EQ(2401, config.getServicePort(2));
    EXPECT_STREQ("CorvaneForFtp0000", config.getFtpApplicationName());
}

// LISTENADDRESS: where the client application's service ports listen.
TEST(ListenAddressSetting, AFileWithoutTheKeyListensOnLoopbackAndSaveAddsItAfterTheClientKeys)
{
    TempDir dir;
    writeFile(dir.file(kIni),
              "[CLIENT]\r\nFTPPORT=21\r\nHTTPPORT=8080\r\nCVSPORT=2401\r\nGENPORT1=5900\r\n"
              "GENPORT2=9023\r\nAUTOCONNECT=1\r\nAUTOCONNECTUSER=peer\r\n");
    QV_CONFIGSTORE config;
    config.load();
    EXPECT_STREQ("127.0.0.1", config.getListenAddress());
    EXPECT_EQ(8080, config.getHttpPort());
    config.save();

    EXPECT_EQ("127.0.0.1", profile::getString("CLIENT", "LISTENADDRESS", "", dir.file(kIni)));
    const std::string raw = readFile(dir.file(kIni));
    const char* order[] = {"[CLIENT]",      "FTPPORT=21",           "HTTPPORT=8080",
                           "CVSPORT=2401",  "GENPORT1=5900",        "GENPORT2=9023",
                           "AUTOCONNECT=1", "AUTOCONNECTUSER=peer", "LISTENADDRESS=127.0.0.1"};
    size_t at = 0;
    for (const char* key : order) {
        const size_t found = raw.find(key, at);
        ASSERT_NE(std::string::npos, found) << key << " in order in\n" << raw;
        at = found + 1;
    }
}

TEST(ListenAddressSetting, MissingFileSavesLoopbackAsTheLastClientKey)
{
    TempDir dir;
    QV_CONFIGSTORE config;
    config.load();
    EXPECT_STREQ("127.0.0.1", config.getListenAddress());
    config.save();
    const std::string raw = readFile(dir.file(kIni));
    const size_t user = raw.find("AUTOCONNECTUSER=");
    const size_t listen = raw.find("LISTENADDRESS=127.0.0.1");
    ASSERT_NE(std::string::npos, user);
    ASSERT_NE(std::string::npos, listen);
    EXPECT_LT(user, listen);
    EXPECT_EQ(std::string::npos, raw.find('[', listen)) << "CLIENT is the last section";
}

TEST(ListenAddressSetting, AnOpenedAddressRoundTrips)
{
    TempDir dir;
    for (const char* address : {"0.0.0.0", "192.0.2.7", "127.0.0.1"}) {
        {
            QV_CONFIGSTORE config;
            config.load();
            config.setListenAddress(address);
            config.save();
        }
        EXPECT_EQ(address, profile::getString("CLIENT", "LISTENADDRESS", "", dir.file(kIni)));
        QV_CONFIGSTORE again;
        again.load();
        EXPECT_STREQ(address, again.getListenAddress());
    }
}

// A value that names no address is kept as the user wrote it (to be seen and
// corrected in the file), and names no address to listen on: the listeners
// fall back to loopback.
TEST(ListenAddressSetting, ABadValueIsKeptAndNamesNoAddress)
{
    TempDir dir;
    writeFile(dir.file(kIni), "[CLIENT]\r\nHTTPPORT=8080\r\nLISTENADDRESS=192.168.1\r\n");
    QV_CONFIGSTORE config;
    config.load();
    EXPECT_STREQ("192.168.1", config.getListenAddress());
    uint32_t address = 12345;
    EXPECT_FALSE(parseListenAddress(config.getListenAddress(), &address));
    config.save();
    EXPECT_EQ("192.168.1", profile::getString("CLIENT", "LISTENADDRESS", "", dir.file(kIni)));
    EXPECT_EQ(8080, profile::getInt("CLIENT", "HTTPPORT", 0, dir.file(kIni)));
}

TEST(ListenAddressSetting, OnlyTheFourPartFormNamesAnAddress)
{
    uint32_t address = 0;
    ASSERT_TRUE(parseListenAddress("127.0.0.1", &address));
    EXPECT_EQ(htonl(INADDR_LOOPBACK), address);
    ASSERT_TRUE(parseListenAddress("0.0.0.0", &address));
    EXPECT_EQ(htonl(INADDR_ANY), address);
    ASSERT_TRUE(parseListenAddress("192.0.2.7", &address));
    EXPECT_EQ(htonl(0xc0000207u), address);
    // Short, octal and hexadecimal forms read as other addresses elsewhere
    // ("0" as every address); names and blanks are not addresses.
    for (const char* bad : {"", "0", "127.1", "0x7f.0.0.1", "192.168.1", "256.0.0.1", "1.2.3.4.5", "localhost",
                            " 127.0.0.1", "127.0.0.1 x", "::1"}) {
        EXPECT_FALSE(parseListenAddress(bad, &address)) << "'" << bad << "'";
    }
    EXPECT_FALSE(parseListenAddress(nullptr, &address));
}
