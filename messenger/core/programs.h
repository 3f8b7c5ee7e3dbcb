// The programs attached through the local socket: their attach state, their
// applications, and the lines that tell them of their streams (STREAMS,
// SENDING, RECEIVED), each sent only when it says something new unless
// asked for. Lines and attach codes go out through ClientSink. Owned by
// Messenger; every call on the daemon's thread.
#pragma once

#include "messenger/core/stream.h"

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

class ClientSink {
public:
    virtual void sendAttach(int client, uint32_t code, uint32_t handle) = 0;
    virtual void sendLine(int client, const std::string& line) = 0;

protected:
    ~ClientSink() = default;
};

class Programs {
public:
    struct App {
        std::string name;
        std::string lastSending;      // last SENDING line sent
        std::string lastReceivedSet;  // streams named by the last RECEIVED line
        std::deque<int> readOrder;    // stream ids with unread texts, next first
    };

    // `list`: every stream, as Streams keeps them (read only).
    Programs(ClientSink& out, const StreamList& list) : sink(out), streams(list) {}

    // A program asks to attach: it is attached when the server connection is
    // up, else told that the messenger is not available (and attached once
    // it is, by attachWaiting).
    void discover(int client, bool online);
    // Forgets the program; true when it had applications.
    bool closed(int client);
    // Whether the program may send commands: it has had its attach code 0.
    bool mayCommand(int client) const;
    void attachWaiting();
    // The server connection is gone and every stream with it: every program
    // hears of its applications' state, then that it is detached.
    void detachAll();

    void send(int client, const std::string& line);
    // To every attached program.
    void broadcast(const std::string& line);
    // The application `name` of the program, else null; attachedApp only
    // while the program is attached.
    App* app(int client, const std::string& name);
    App* attachedApp(int client, const std::string& name);
    // Adds the application; false when the program has it already.
    bool createApp(int client, const std::string& name);
    void deleteApp(int client, const std::string& name);
    // The first attached program running `app`, else 0.
    int ownerOf(const std::string& app) const;
    // Application names of all attached programs (what presence advertises).
    std::set<std::string> applications() const;

    std::string streamsLine(int client, const std::string& app) const;
    void reportSending(int client, const std::string& app, bool always);
    void reportReceived(int client, const std::string& app, bool always);
    // The stream `id` of the program's application has ended; `tell`: the
    // program learns of it.
    void streamGone(int client, const std::string& app, int id, bool tell);
    // A text arrived on the open stream `id`.
    void textArrived(int client, const std::string& app, int id);
    // A text of stream `id` was read; `more`: the stream has unread texts
    // still. The stream goes to the back of the read order, so every stream
    // gets its turn with a program that reads the first one listed.
    void textRead(int client, App& app, int id, bool more);

private:
    enum class State { Connected, NotAvailable, Attached };
    struct Client {
        State state = State::Connected;
        bool sawCodeZero = false;  // C frames only after code 0 on this connection
        std::vector<App> apps;     // creation order
    };

    std::string sendingLine(int client, const std::string& app) const;
    std::string receivedLine(int client, const App& app) const;
    std::string receivedSet(int client, const App& app) const;

    ClientSink& sink;
    const StreamList& streams;
    std::map<int, Client> clients;
};
