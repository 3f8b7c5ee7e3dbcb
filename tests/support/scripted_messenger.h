// A messenger stand-in for tests of the program's side: it listens on an
// abstract socket of its own name, accepts one program, records the command
// lines that program sends and sends attach codes and lines on the test's
// word. Single-threaded: the test alternates between it and the program's
// ManualEventLoop.
#pragma once

#include <string>
#include <vector>

#include "wire/api_frame.h"

class ScriptedMessenger {
public:
    // Listens on a name unique to this process and object.
    ScriptedMessenger();
    ~ScriptedMessenger();
    const std::string& socketName() const { return name; }
    // Accepts the program's connection if it is waiting (up to timeoutMs).
    bool accept(int timeoutMs = 1000);
    void sendAttach(uint32_t code, uint32_t handle = 0x1234) { sendRaw(encodeAttach(code, handle)); }
    void sendLine(const std::string& text) { sendRaw(encodeCommand(text)); }
    void sendRaw(const std::string& bytes);
    // Closes the program's connection, as a messenger that went away.
    void dropConnection();
    void stopListening();

    // Reads what has arrived until a quiet period of timeoutMs.
    void collect(int timeoutMs = 50);
    int discoverCount() const { return discovers; }
    // Takes and returns the command lines collected so far.
    std::vector<std::string> take(int timeoutMs = 50);
    bool peerClosed() const { return closedByPeer; }

private:
    std::string name;
    int listenFd = -1;
    int connFd = -1;
    FrameDecoder decoder;
    std::vector<std::string> lines;
    int discovers = 0;
    bool closedByPeer = false;
};
