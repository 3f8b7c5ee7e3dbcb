// QV_CONFIGURATION: the settings interface of the program. One instance exists
// (the first one constructed registers itself); every other object reads the
// settings through getConfiguration(). The implementation holds the values;
// load() and save() move all of them between it and "CorvaneForTcp.ini" in the
// directory that was current at construction (the program directory).
//
// Called on the event-loop thread only. Texts are UTF-8.
#pragma once

#include <cstdint>
#include <string>

class QV_CONFIGURATION {
public:
    QV_CONFIGURATION();
    QV_CONFIGURATION(const QV_CONFIGURATION&) = delete;
    QV_CONFIGURATION& operator=(const QV_CONFIGURATION&) = delete;

    virtual int getAcceptPolicy();
    virtual void setAcceptPolicy(int policy);
    virtual int isServiceEnabled(int k);
    virtual void setServiceEnabled(int k, int enabled);
    virtual int getServicePort(int k);
    virtual void setServicePort(int k, int port);
    virtual int isClientMode();
    virtual void setClientMode(int mode);
    virtual const char* getForwardHost(int k);
    virtual void setForwardHost(int k, const char* host);
    virtual int getForwardPort(int k);
    virtual void setForwardPort(int k, int port);
    virtual int getAutoConnect() = 0;
    virtual void setAutoConnect(int value) = 0;
    virtual const char* getAutoConnectUser() = 0;
    virtual void setAutoConnectUser(const char* user) = 0;
    virtual int getOpenWindow() = 0;
    virtual void setOpenWindow(int value) = 0;
    virtual void setSoundMode(int mode) = 0;
    virtual int getSoundMode() = 0;
    virtual int getFtpPort() = 0;
    virtual void setFtpPort(int port) = 0;
    virtual int getHttpPort() = 0;
    virtual void setHttpPort(int port) = 0;
    virtual int getCvsPort() = 0;
    virtual void setCvsPort(int port) = 0;
    virtual int getGenPort1() = 0;
    virtual void setGenPort1(int port) = 0;
    virtual int getGenPort2() = 0;
    virtual void setGenPort2(int port) = 0;
    virtual ~QV_CONFIGURATION();
    virtual const char* getFtpApplicationName() = 0;
    // The address the client application's service ports listen on
    // (LISTENADDRESS), as text: "127.0.0.1" unless the user opened them on
    // purpose. parseListenAddress turns it into the address to bind.
    virtual const char* getListenAddress();
    virtual void setListenAddress(const char* address);

    void load();
    void save();

    // Full path of the INI file, and the directory it lies in.
    const std::string& getFilePath() const { return filePath; }
    const std::string& getDirectory() const { return directory; }

private:
    std::string directory;
    std::string filePath;
};

QV_CONFIGURATION* getConfiguration();

// "ＦＴＰ", "設定１" … "設定４" for 0 … 4; empty for any other index.
const char* getServiceName(int k);

// Default local and forward port of service k (21, 80, 2401, 5900, 9023); 0 otherwise.
int getDefaultServicePort(int k);

// The IPv4 address (network byte order) that a LISTENADDRESS text names:
// "0.0.0.0" is every address of the machine, anything else in dotted-quad
// form that one address. False for any other text (a name, a short form such
// as "127.1", blanks); the caller then listens on loopback.
bool parseListenAddress(const char* text, uint32_t* address);

inline constexpr const char* kDefaultListenAddress = "127.0.0.1";
inline constexpr int kServiceCount = 5;
inline constexpr size_t kMaxSettingText = 260;
