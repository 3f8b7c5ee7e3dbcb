// A scripted program on the local socket, for the tests: connects to an
// abstract name, writes frames and waits (with a deadline) for frames.
#pragma once

#include "wire/api_frame.h"

#include <chrono>
#include <deque>
#include <functional>
#include <string>

class ApiTestClient {
public:
    ApiTestClient() = default;
    ~ApiTestClient() { close(); }
    ApiTestClient(const ApiTestClient&) = delete;
    ApiTestClient& operator=(const ApiTestClient&) = delete;

    bool connect(const std::string& name);
    bool sendRaw(const std::string& bytes);
    bool discover() { return sendRaw(encodeDiscover("test")); }
    bool command(const std::string& text) { return sendRaw(encodeCommand(text)); }

    // Skips frames until a command line satisfies `match`.
    bool waitLine(const std::function<bool(const std::string&)>& match, std::string& line,
                  std::chrono::milliseconds timeout);
    bool waitLine(const std::string& exact, std::chrono::milliseconds timeout);
    // Skips frames until an attach frame of `code`.
    bool waitAttach(uint32_t code, std::chrono::milliseconds timeout);
    // True when the daemon closed the connection within the time.
    bool waitClosed(std::chrono::milliseconds timeout);

    void close();

private:
    bool fill(std::chrono::milliseconds timeout);
    // Waits for the next frame; false on timeout or when the socket closed.
    bool next(Frame& frame, std::chrono::milliseconds timeout);
    int fd = -1;
    bool eof = false;
    FrameDecoder decoder;
    std::deque<Frame> pending;
};
