#include "core/configuration.h"

#include <arpa/inet.h>

#include <unistd.h>
#include <climits>
#include <string>
#include <vector>

#include "core/profile.h"

namespace {

QV_CONFIGURATION* registered = nullptr;

const char* const kIniName = "CorvaneForTcp.ini";

std::string keyName(const char* stem, int k) { return stem + std::to_string(k + 1); }

}  // namespace

QV_CONFIGURATION::QV_CONFIGURATION()
{
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof(cwd)))
        directory = cwd;
    filePath = directory + "/" + kIniName;
    if (!registered)
        registered = this;
}

QV_CONFIGURATION::~QV_CONFIGURATION()
{
    if (registered == this)
        registered = nullptr;
}

int QV_CONFIGURATION::getAcceptPolicy() { return 0; }
void QV_CONFIGURATION::setAcceptPolicy(int) {}
int QV_CONFIGURATION::isServiceEnabled(int) { return 0; }
void QV_CONFIGURATION::setServiceEnabled(int, int) {}
int QV_CONFIGURATION::getServicePort(int k)
{
    switch (k) {
        case 0:
            return getFtpPort();
        case 1:
            return getHttpPort();
        case 2:
            return getCvsPort();
        default:
            return -1;
    }
}
void QV_CONFIGURATION::setServicePort(int, int) {}
int QV_CONFIGURATION::isClientMode() { return 0; }
void QV_CONFIGURATION::setClientMode(int) {}
const char* QV_CONFIGURATION::getForwardHost(int) { return "127.0.0.1"; }
void QV_CONFIGURATION::setForwardHost(int, const char*) {}
int QV_CONFIGURATION::getForwardPort(int k) { return getDefaultServicePort(k); }
void QV_CONFIGURATION::setForwardPort(int, int) {}
const char* QV_CONFIGURATION::getListenAddress() { return kDefaultListenAddress; }
void QV_CONFIGURATION::setListenAddress(const char*) {}

void QV_CONFIGURATION::load()
{
    const std::string& p = filePath;
    // 0 is the server application, any other value the client one (as the
    // settings dialog stores it): one reading for every part of the program.
    setClientMode(profile::getInt("SYSTEM", "APPMODE", 0, p) != 0 ? 1 : 0);
    setAcceptPolicy(profile::getInt("SYSTEM", "ENABLEUSER", 0, p));
    for (int k = 0; k < kServiceCount; ++k) {
        setServiceEnabled(k, profile::getInt("SYSTEM", keyName("ENABLEPORT", k).c_str(), 1, p));
    }
    setOpenWindow(profile::getInt("SYSTEM", "OPENWINDOW", 0, p));
    setSoundMode(profile::getInt("SYSTEM", "SOUNDMODE", 1, p));
    for (int k = 0; k < kServiceCount; ++k) {
        setForwardHost(
            k, profile::getString("SERVER", keyName("FOWERDHOST", k).c_str(), "127.0.0.1", p, kMaxSettingText).c_str());
    }
    for (int k = 0; k < kServiceCount; ++k) {
        setForwardPort(k, profile::getInt("SERVER", keyName("FOWERDPORT", k).c_str(), getDefaultServicePort(k), p));
    }
    setFtpPort(profile::getInt("CLIENT", "FTPPORT", 21, p));
    setHttpPort(profile::getInt("CLIENT", "HTTPPORT", 80, p));
    setCvsPort(profile::getInt("CLIENT", "CVSPORT", 2401, p));
    setGenPort1(profile::getInt("CLIENT", "GENPORT1", 5900, p));
    setGenPort2(profile::getInt("CLIENT", "GENPORT2", 9023, p));
    setAutoConnect(profile::getInt("CLIENT", "AUTOCONNECT", 0, p));
    setAutoConnectUser(profile::getString("CLIENT", "AUTOCONNECTUSER", "", p, kMaxSettingText).c_str());
    setListenAddress(profile::getString("CLIENT", "LISTENADDRESS", kDefaultListenAddress, p, kMaxSettingText).c_str());
}

void QV_CONFIGURATION::save()
{
    using KV = std::vector<std::pair<std::string, std::string>>;
    auto num = [](int v) { return std::to_string(v); };

    KV system{{"APPMODE", num(isClientMode())}, {"ENABLEUSER", num(getAcceptPolicy())}};
    for (int k = 0; k < kServiceCount; ++k) {
        system.emplace_back(keyName("ENABLEPORT", k), num(isServiceEnabled(k)));
    }
    system.emplace_back("OPENWINDOW", num(getOpenWindow()));
    system.emplace_back("SOUNDMODE", num(getSoundMode()));

    KV server;
    for (int k = 0; k < kServiceCount; ++k) {
        const char* host = getForwardHost(k);
        server.emplace_back(keyName("FOWERDHOST", k), host ? host : "");
    }
    for (int k = 0; k < kServiceCount; ++k) {
        server.emplace_back(keyName("FOWERDPORT", k), num(getForwardPort(k)));
    }

    const char* user = getAutoConnectUser();
    const char* listen = getListenAddress();
    KV client{{"FTPPORT", num(getFtpPort())},        {"HTTPPORT", num(getHttpPort())},
              {"CVSPORT", num(getCvsPort())},        {"GENPORT1", num(getGenPort1())},
              {"GENPORT2", num(getGenPort2())},      {"AUTOCONNECT", num(getAutoConnect())},
              {"AUTOCONNECTUSER", user ? user : ""}, {"LISTENADDRESS", listen ? listen : kDefaultListenAddress}};

    // A failed write leaves the settings in memory in force.
    profile::writeStrings("SYSTEM", system, filePath);
    profile::writeStrings("SERVER", server, filePath);
    profile::writeStrings("CLIENT", client, filePath);
}

QV_CONFIGURATION* getConfiguration() { return registered; }

bool parseListenAddress(const char* text, uint32_t* address)
{
    if (!text)
        return false;
    in_addr parsed{};
    // inet_pton takes the four decimal parts only, none of the short or
    // octal forms that inet_addr would read as some other address.
    if (inet_pton(AF_INET, text, &parsed) != 1)
        return false;
    *address = parsed.s_addr;
    return true;
}

const char* getServiceName(int k)
{
    static const char* const names[kServiceCount] = {"ＦＴＰ", "設定１", "設定２", "設定３", "設定４"};
    return (k >= 0 && k < kServiceCount) ? names[k] : "";
}

int getDefaultServicePort(int k)
{
    static const int ports[kServiceCount] = {21, 80, 2401, 5900, 9023};
    return (k >= 0 && k < kServiceCount) ? ports[k] : 0;
}
