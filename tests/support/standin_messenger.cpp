// A messenger stand-in for pictures and manual runs of the window: it serves
// the abstract socket "SkypeControlAPI" (run it in a network namespace of its
// own), attaches the program, lists one contact that runs every application,
// and brings tunnel streams up:
//   --mode server  streams of FTP and setting 1 come up two seconds after the
//                  program has created its applications, as if the peer had
//                  connected;
//   --mode client  each "ALTER APPLICATION ... CONNECT" is answered with a
//                  stream.
// Writes are acknowledged with an empty SENDING notice; disconnects end the
// stream. Every line is echoed to standard error. Runs until killed.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "wire/api_frame.h"

namespace {

std::string peer = "peer@pc-b.test";
bool clientMode = false;

void sendAll(int fd, const std::string& bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        ssize_t w = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w <= 0)
            return;
        done += static_cast<size_t>(w);
    }
}

void reply(int fd, const std::string& line)
{
    std::fprintf(stderr, "-> %s\n", line.c_str());
    sendAll(fd, encodeCommand(line));
}

// Word n (from 0) of s.
std::string word(const std::string& s, int n)
{
    size_t pos = 0;
    for (int i = 0; i < n && pos != std::string::npos; ++i)
        pos = s.find(' ', pos) == std::string::npos ? std::string::npos : s.find(' ', pos) + 1;
    return pos == std::string::npos ? "" : s.substr(pos, s.find(' ', pos) - pos);
}

// Serves one connection until the program goes away.
void serve(int fd)
{
    FrameDecoder decoder;
    int created = 0;
    int nextStream = 1;
    auto pushAt = std::chrono::steady_clock::time_point::max();
    char buffer[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 200) < 0)
            return;
        if (p.revents & (POLLIN | POLLHUP)) {
            ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0)
                return;
            decoder.feed(buffer, static_cast<size_t>(n));
        }
        Frame frame;
        FrameDecoder::Result r;
        while ((r = decoder.next(frame)) == FrameDecoder::Result::Frame) {
            if (frame.type == 'D') {
                sendAll(fd, encodeAttach(kAttachSuccess, 0x1234));
                continue;
            }
            if (frame.type != 'C')
                continue;
            const std::string& line = frame.text;
            const std::string verb = word(line, 0) + " " + word(line, 1);
            const std::string app = word(line, 2);
            std::fprintf(stderr, "<- %s\n", line.c_str());
            if (line == "SEARCH FRIENDS") {
                reply(fd, "USERS " + peer);
            } else if (verb == "GET USER") {
                reply(fd, "USER " + word(line, 2) + " ONLINESTATUS ONLINE");
            } else if (line == "GET CURRENTUSERHANDLE") {
                reply(fd, "CURRENTUSERHANDLE me@pc-a.test");
            } else if (verb == "CREATE APPLICATION") {
                reply(fd, "CREATE APPLICATION " + app);
                reply(fd, "APPLICATION " + app + " CONNECTABLE " + peer);
                if (++created == 5 && !clientMode)
                    pushAt = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            } else if (verb == "ALTER APPLICATION" && word(line, 3) == "CONNECT") {
                reply(fd, "APPLICATION " + app + " STREAMS " + peer + ":" + std::to_string(nextStream++));
            } else if (verb == "ALTER APPLICATION" && word(line, 3) == "WRITE") {
                reply(fd, "APPLICATION " + app + " SENDING");
            } else if (verb == "ALTER APPLICATION" && word(line, 3) == "DISCONNECT") {
                reply(fd, "APPLICATION " + app + " STREAMS ");
            } else if (verb == "GET APPLICATION" && word(line, 3) == "CONNECTABLE") {
                reply(fd, "APPLICATION " + app + " CONNECTABLE " + peer);
            }
        }
        if (r == FrameDecoder::Result::Error)
            return;
        if (std::chrono::steady_clock::now() >= pushAt) {
            pushAt = std::chrono::steady_clock::time_point::max();
            reply(fd, "APPLICATION CorvaneForFtp0000 STREAMS " + peer + ":" + std::to_string(nextStream++));
            reply(fd, "APPLICATION CorvaneForHttp000 STREAMS " + peer + ":" + std::to_string(nextStream++));
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--mode") == 0)
            clientMode = std::strcmp(argv[i + 1], "client") == 0;
        else if (std::strcmp(argv[i], "--peer") == 0)
            peer = argv[i + 1];
    }
    const std::string name = "SkypeControlAPI";
    int listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (listenFd < 0 || ::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listenFd, 4) != 0) {
        std::perror("standin_messenger: @SkypeControlAPI");
        return 1;
    }
    std::fprintf(stderr, "standin_messenger: serving @%s (%s)\n", name.c_str(), clientMode ? "client" : "server");
    for (;;) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        serve(fd);
        ::close(fd);
    }
}
