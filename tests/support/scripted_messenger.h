// A messenger stand-in on an abstract socket of its own name: it accepts one
// program, records its command lines and sends what the test says.
// Single-threaded: the test alternates between it and a ManualEventLoop.
#pragma once

#include <string>
#include <vector>

#include "skype/skype_com.h"
#include "tests/support/manual_event_loop.h"
#include "wire/api_frame.h"

class ScriptedMessenger {
public:
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

// What the window tests give the program: the contact, and INI files of a
// server application and of a client application with only setting 4 (on a
// port of the system's choice).
inline const std::string kRigPeer = "peer@pc-b.test";
inline const std::string kRigServerIni = "[SYSTEM]\r\nAPPMODE=0\r\n";
inline const std::string kRigClient4Ini =
    "[SYSTEM]\r\nAPPMODE=1\r\nENABLEPORT1=0\r\nENABLEPORT2=0\r\nENABLEPORT3=0\r\n"
    "ENABLEPORT4=0\r\n[CLIENT]\r\nGENPORT2=0\r\n";

// A hand-stepped loop and a scripted messenger that the program's link looks
// for while this object lives.
struct MessengerRig {
    MessengerRig() { QV_SKYPECOM::setSocketName(messenger.socketName()); }
    ~MessengerRig() { QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName); }
    // Accepts the program's connection and sends it the attach code.
    bool attach(uint32_t code = 0)
    {
        if (!messenger.accept())
            return false;
        messenger.sendAttach(code);
        loop.pump();
        return true;
    }
    void deliver(const std::string& line)
    {
        messenger.sendLine(line);
        loop.pump();
    }
    // The commands sent since the last call that contain `word`.
    std::vector<std::string> sent(const std::string& word)
    {
        std::vector<std::string> out = messenger.take();
        std::erase_if(out, [&word](const std::string& l) { return l.find(word) == std::string::npos; });
        return out;
    }
    ManualEventLoop loop;
    ScriptedMessenger messenger;
};
