// QV_APISOCKETLINK: the link to the messenger over a Unix stream socket in the
// abstract namespace (address: a zero byte and the socket name). One
// connection at a time; it is opened by a discover step and closed on a write
// failure, a protocol error or the messenger's close. Reading is driven by
// the event loop (watchReadable), which also wakes it when the messenger's
// end hangs up: the listener hears of that close at once (onLinkClosed).
// Writes are blocking with a time limit, so a messenger that stops reading
// fails the send instead of freezing the loop. A socket held by a process of
// another user is closed before anything is sent and counts as no messenger;
// each such holder is reported once (trace and event log).
//
// Event-loop thread only.
#pragma once

#include <sys/types.h>

#include <string>

#include "skype/api_link.h"
#include "wire/api_frame.h"

class QV_APISOCKETLINK : public QV_APILINK {
public:
    static constexpr int kWriteTimeoutMs = 5000;

    explicit QV_APISOCKETLINK(std::string socketName);
    ~QV_APISOCKETLINK() override;

    void setListener(QV_APILINKLISTENER* l) override { listener = l; }
    int32_t discover() override;
    int32_t sendCommand(const char* text, uint32_t cbData) override;

    bool isOpen() const { return fd >= 0; }

private:
    int32_t openConnection();
    // The messenger at the other end of `s` runs under our own user id.
    bool isOwnUsersMessenger(int s);
    void closeConnection();
    int32_t writeAll(const std::string& bytes);
    void onReadable();
    // Closes the connection from the read side and tells the listener.
    void endConnection();

    std::string socketName;
    QV_APILINKLISTENER* listener = nullptr;
    int fd = -1;
    int32_t watchId = 0;
    bool attachSeen = false;  // code 0 arrived on the current connection
    // The last holder of the name refused as another user's (pid 0: none
    // since the last own messenger).
    pid_t refusedPid = 0;
    uid_t refusedUid = 0;
    FrameDecoder decoder;
    std::string outFrame;
};
