// The listening side of the local API: an abstract-namespace Unix stream
// socket, one connection per program. Peers of another user id get one
// Attach frame with code 2 and are closed. Frames are decoded here and handed
// to an ApiEvents implementation; protocol errors close the connection.
// Owned by the daemon and used on its thread only; events are called from
// handle() and may call send()/close() on this object. local/ uses the
// frames of wire/ and support/ only.
#pragma once

#include "wire/api_frame.h"

#include <poll.h>
#include <map>
#include <string>
#include <vector>

class ApiEvents {
public:
    virtual void onDiscover(int client, const std::string& programName) = 0;
    virtual void onCommand(int client, const std::string& text) = 0;
    virtual void onClientClosed(int client) = 0;

protected:
    ~ApiEvents() = default;
};

// Binds the abstract name `name` (without its leading zero byte) and
// listens on `fd`. Otherwise `error` says why; HeldByThisUser: a process of
// this user holds the name already (another messengerd of the user), and
// `error` names its pid.
enum class ListenOutcome { Listening, HeldByThisUser, Failed };
ListenOutcome listenOnName(const std::string& name, int& fd, std::string& error);

class ApiServer {
public:
    explicit ApiServer(ApiEvents& events);
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Serves the connections of `fd`, a socket of listenOnName(), which it
    // owns from now on.
    void adopt(int fd) { listenFd = fd; }
    // Appends the descriptors to poll; handle() takes the same vector back.
    void addPollFds(std::vector<pollfd>& fds) const;
    void handle(const std::vector<pollfd>& fds);

    // Queues one frame; false when the client is gone. Queued frames go out
    // at flushAll(), once per turn of the daemon's loop, or at once when a
    // program's queue grows past kFlushBytes: a write per turn rather than
    // per line wakes the program, and so interrupts the daemon, less often.
    bool send(int client, const std::string& frame);
    void flushAll();
    // Closes a connection without reporting it through onClientClosed.
    void close(int client);
    size_t clientCount() const { return clients.size(); }
    // Messages for the log (refused peers, protocol errors); taken and cleared.
    std::vector<std::string> takeNotes();

private:
    static constexpr size_t kFlushBytes = 64 * 1024;
    struct Client {
        int fd = -1;
        FrameDecoder decoder;
        std::string out;
        bool dead = false;  // failed while sending; reaped by handle()
        std::string why;
    };
    void reap();
    void acceptOne();
    bool readFrom(int id, Client& c);
    bool flush(Client& c);
    void drop(int id, const std::string& why);

    ApiEvents& events;
    int listenFd = -1;
    int nextId = 1;
    std::map<int, Client> clients;
    std::vector<std::string> notes;
};
