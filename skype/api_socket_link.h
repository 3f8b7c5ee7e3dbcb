// QV_APISOCKETLINK: the link to the messenger over a Unix stream socket in the
// abstract namespace (address: a zero byte and the socket name). One
// connection at a time; it is opened by a discover step and closed on a write
// failure, a protocol error or the messenger's close. Reading is driven by
// the event loop (watchReadable), which also wakes it when the messenger's
// end hangs up: the listener hears of that close at once (onLinkClosed).
// Writes are blocking with a time limit, so a messenger that stops reading
// fails the send instead of freezing the loop.
//
// Event-loop thread only.
#pragma once

#include <string>

#include "skype/api_frame.h"
#include "skype/api_link.h"

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
    FrameDecoder decoder;
    std::string outFrame;
};
