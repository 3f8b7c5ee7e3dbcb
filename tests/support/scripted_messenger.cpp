#include "tests/support/scripted_messenger.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>

ScriptedMessenger::ScriptedMessenger()
{
    static std::atomic<int> serial{0};
    name = "CorvaneTestApi-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listenFd, 4) != 0) {
        ::close(listenFd);
        listenFd = -1;
    }
}

ScriptedMessenger::~ScriptedMessenger()
{
    dropConnection();
    if (listenFd >= 0)
        ::close(listenFd);
}

bool ScriptedMessenger::accept(int timeoutMs)
{
    if (listenFd < 0)
        return false;
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    dropConnection();
    connFd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    decoder = FrameDecoder();
    closedByPeer = false;
    return connFd >= 0;
}

void ScriptedMessenger::sendRaw(const std::string& bytes)
{
    for (size_t done = 0; connFd >= 0 && done < bytes.size();) {
        ssize_t w = ::send(connFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w <= 0)
            return;
        done += static_cast<size_t>(w);
    }
}

void ScriptedMessenger::dropConnection()
{
    if (connFd >= 0)
        ::close(connFd);
    connFd = -1;
}

void ScriptedMessenger::collect(int timeoutMs)
{
    // Bounded: stops at the first quiet period or after 200 reads.
    for (int round = 0; round < 200 && connFd >= 0; ++round) {
        pollfd p{connFd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return;
        char buf[65536];
        ssize_t r = ::recv(connFd, buf, sizeof(buf), 0);
        if (r <= 0) {
            closedByPeer = true;
            dropConnection();
            return;
        }
        decoder.feed(buf, static_cast<size_t>(r));
        for (Frame f; decoder.next(f) == FrameDecoder::Result::Frame;) {
            if (f.type == 'C')
                lines.push_back(f.text);
            discovers += f.type == 'D' ? 1 : 0;
        }
    }
}

std::vector<std::string> ScriptedMessenger::take(int timeoutMs)
{
    collect(timeoutMs);
    std::vector<std::string> out;
    out.swap(lines);
    return out;
}
