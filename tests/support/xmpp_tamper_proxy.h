// A server's view of one client, for the tests of the daemons' sealed
// streams: a relay on loopback between a daemon and the test server (plain
// XMPP, no TLS) that records every byte both ways, and the decoding of the
// in-band bytestream data blocks (XEP-0047) in such a recording.
#pragma once

#include <string>
#include <vector>

#include "tests/support/delay_proxy.h"

class XmppTamperProxy {
public:
    // Listens on a free port of 127.0.0.1 (see port()) and relays every
    // connection to 127.0.0.1:targetPort.
    explicit XmppTamperProxy(int targetPort);

    // Binds and starts the thread; false (and error()) when it cannot listen.
    bool start();
    void stop() { relay.stop(); }
    int port() const { return relay.port(); }
    const std::string& error() const { return relay.error(); }
    // Every byte the client sent and the server sent.
    std::string fromClient() const { return relay.recorded(true); }
    std::string fromServer() const { return relay.recorded(false); }

    // The decoded bytes of every IBB data block in the XML text `xml`;
    // `undecodable` counts the blocks whose base64 is not valid.
    static std::vector<std::string> ibbBlocks(const std::string& xml, int& undecodable);

private:
    DelayProxy relay;
};
