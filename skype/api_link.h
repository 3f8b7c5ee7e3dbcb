// QV_APILINK: the transport between the program and the messenger, frame by
// frame: a discover step, one command text per frame in both directions, and
// the attach codes the messenger sends. QV_SKYPECOM owns one and is its only
// listener. The socket implementation is QV_APISOCKETLINK; tests may put in
// their own.
//
// Event-loop thread only; the listener is called from the event loop, never
// from inside discover() or sendCommand().
#pragma once

#include <cstdint>

class QV_APILINKLISTENER {
public:
    // An attach frame: `handle` stands for the messenger's window, `code` is
    // the attach code (0, 1, 2, 3, 0x8001).
    virtual void onAttachFrame(uint32_t code, uint32_t handle) = 0;
    // A command frame received after code 0 was seen on the current
    // connection. `data` holds cbData bytes, the last of them the zero byte.
    virtual void onCommandFrame(uint32_t dwData, const char* data, uint32_t cbData) = 0;
    // The connection has ended by itself: the messenger closed it (its
    // socket hung up) or broke the protocol. Not called for a close that a
    // failed write caused; sendCommand()'s 0 tells that one.
    virtual void onLinkClosed() = 0;

protected:
    ~QV_APILINKLISTENER() = default;
};

class QV_APILINK {
public:
    virtual ~QV_APILINK() = default;
    virtual void setListener(QV_APILINKLISTENER* listener) = 0;
    // Opens a connection when none is open and sends one discover frame.
    // 1 when the frame was written, 0 when no messenger listens.
    virtual int32_t discover() = 0;
    // Writes one whole command frame of cbData bytes (text and its zero
    // byte). Nonzero when written, 0 without a connection or when the write
    // failed (the connection is then closed).
    virtual int32_t sendCommand(const char* text, uint32_t cbData) = 0;
};
