// A throwaway Prosody for the integration tests: own config and data
// directory under `dir`, c2s on a free loopback port, no rate limits, short
// stream-management hibernation, accounts registered with prosodyctl.
#pragma once

#include "tests/support/spawned.h"

#include <string>

class ProsodyServer {
public:
    explicit ProsodyServer(std::string dir);
    ~ProsodyServer() { stop(); }

    // Empty when Prosody can be used here, else the reason it cannot.
    static std::string unavailableReason();
    bool writeConfig();
    bool registerUser(const std::string& user, const std::string& password);
    bool start();
    void stop();
    int port() const { return c2sPort; }
    const std::string& error() const { return why; }

private:
    std::string dir;
    std::string config;
    std::string log;
    std::string why;
    int c2sPort = 0;
    Spawned process;
};
