#include "tests/support/api_test_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

using Clock = std::chrono::steady_clock;

namespace {

std::chrono::milliseconds until(Clock::time_point deadline)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
}

}  // namespace

void ApiTestClient::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool ApiTestClient::connect(const std::string& name)
{
    close();
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0)
        close();
    eof = false;
    return fd >= 0;
}

bool ApiTestClient::sendRaw(const std::string& bytes)
{
    for (size_t done = 0; fd >= 0 && done < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return fd >= 0;
}

bool ApiTestClient::fill(std::chrono::milliseconds timeout)
{
    pollfd p{fd, POLLIN, 0};
    if (fd < 0 || eof || ::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return false;
    char buf[65536];
    ssize_t n = ::read(fd, buf, sizeof buf);
    eof = n <= 0;
    if (!eof)
        decoder.feed(buf, static_cast<size_t>(n));
    for (Frame f; !eof && decoder.next(f) == FrameDecoder::Result::Frame;)
        pending.push_back(f);
    return !eof;
}

bool ApiTestClient::next(Frame& frame, std::chrono::milliseconds timeout)
{
    for (auto deadline = Clock::now() + timeout; pending.empty(); fill(until(deadline)))
        if (until(deadline).count() <= 0 || eof || fd < 0)
            return false;
    frame = pending.front();
    pending.pop_front();
    return true;
}

bool ApiTestClient::waitLine(const std::function<bool(const std::string&)>& match, std::string& line,
                             std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (Frame f; next(f, until(deadline));)
        if (f.type != 'A' && match(f.text)) {
            line = f.text;
            return true;
        }
    return false;
}

bool ApiTestClient::waitLine(const std::string& exact, std::chrono::milliseconds timeout)
{
    std::string line;
    return waitLine([&](const std::string& l) { return l == exact; }, line, timeout);
}

bool ApiTestClient::waitAttach(uint32_t code, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    for (Frame f; next(f, until(deadline));)
        if (f.type == 'A' && f.code == code)
            return true;
    return false;
}

bool ApiTestClient::waitClosed(std::chrono::milliseconds timeout)
{
    for (auto deadline = Clock::now() + timeout; !eof && Clock::now() < deadline;)
        fill(until(deadline));
    return eof;
}
