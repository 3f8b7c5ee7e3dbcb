// QV_CONFIGSTORE: a QV_CONFIGURATION that keeps every setting in memory, with
// the defaults of a missing INI file. The headless program and tests use it as
// it is; the main window builds on it and adds its check boxes and sound.
// Event-loop thread only.
#pragma once

#include <string>

#include "core/configuration.h"

class QV_CONFIGSTORE : public QV_CONFIGURATION {
public:
    QV_CONFIGSTORE();

    int getAcceptPolicy() override { return acceptPolicy; }
    void setAcceptPolicy(int policy) override { acceptPolicy = policy; }
    int isServiceEnabled(int k) override;
    void setServiceEnabled(int k, int enabled) override;
    int getServicePort(int k) override;
    void setServicePort(int k, int port) override;
    int isClientMode() override { return clientMode; }
    void setClientMode(int mode) override { clientMode = mode; }
    const char* getForwardHost(int k) override;
    void setForwardHost(int k, const char* host) override;
    int getForwardPort(int k) override;
    void setForwardPort(int k, int port) override;
    int getAutoConnect() override { return autoConnect; }
    void setAutoConnect(int value) override { autoConnect = value; }
    const char* getAutoConnectUser() override { return autoConnectUser.c_str(); }
    void setAutoConnectUser(const char* user) override;
    int getOpenWindow() override { return openWindow; }
    void setOpenWindow(int value) override { openWindow = value; }
    void setSoundMode(int mode) override { soundMode = mode; }
    int getSoundMode() override { return soundMode; }
    int getFtpPort() override { return localPorts[0]; }
    void setFtpPort(int port) override { localPorts[0] = port; }
    int getHttpPort() override { return localPorts[1]; }
    void setHttpPort(int port) override { localPorts[1] = port; }
    int getCvsPort() override { return localPorts[2]; }
    void setCvsPort(int port) override { localPorts[2] = port; }
    int getGenPort1() override { return localPorts[3]; }
    void setGenPort1(int port) override { localPorts[3] = port; }
    int getGenPort2() override { return localPorts[4]; }
    void setGenPort2(int port) override { localPorts[4] = port; }
    const char* getFtpApplicationName() override { return "CorvaneForFtp0000"; }
    const char* getListenAddress() override { return listenAddress.c_str(); }
    void setListenAddress(const char* address) override;

private:
    static bool valid(int k) { return k >= 0 && k < kServiceCount; }

    int acceptPolicy = 0;
    int clientMode = 0;
    int enabled[kServiceCount];
    std::string forwardHosts[kServiceCount];
    int forwardPorts[kServiceCount];
    int localPorts[kServiceCount];
    int openWindow = 0;
    int soundMode = 1;
    int autoConnect = 0;
    std::string autoConnectUser;
    std::string listenAddress = kDefaultListenAddress;
};
