// The program attaches only to a messenger of its own user: a process of
// another user holding the socket name is refused before anything is sent,
// reported once, and the program keeps looking until its own messenger
// listens there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "core/eventlog.h"
#include "skype/skype_com.h"
#include "tests/support/manual_event_loop.h"
#include "tests/support/temp_dir.h"
#include "wire/api_frame.h"

namespace {

int listenOn(const std::string& name)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (fd >= 0 && (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 8) != 0)) {
        ::close(fd);
        fd = -1;
    }
    return fd;
}

// What fd reads within 2 s (empty when nothing came).
std::string readWithin(int fd, size_t size)
{
    pollfd p{fd, POLLIN, 0};
    std::string out(size, '\0');
    const ssize_t n = ::poll(&p, 1, 2000) == 1 ? ::read(fd, out.data(), size) : 0;
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// A process of user 65534 listening on `name` that plays the messenger: each
// connection gets an attach-success frame at once, and its report is one
// byte, 'q' when the program sent nothing before closing, 'x' when it sent
// something. Its first byte on the report pipe is 'L' once it listens.
pid_t startForeignMessenger(const std::string& name, int* reportFd)
{
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int lfd = ::setgid(65534) == 0 && ::setuid(65534) == 0 ? listenOn(name) : -1;
        if (lfd < 0 || ::write(report[1], "L", 1) != 1)
            ::_exit(3);
        const std::string attach = encodeAttach(kAttachSuccess, 0x4242);
        for (;;) {
            const int conn = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn < 0)
                continue;
            (void)!::send(conn, attach.data(), attach.size(), MSG_NOSIGNAL);
            char buf[256];
            pollfd q{conn, POLLIN, 0};
            const bool sent = ::poll(&q, 1, 1000) == 1 && ::recv(conn, buf, sizeof(buf), 0) > 0;
            ::close(conn);
            if (::write(report[1], sent ? "x" : "q", 1) != 1)
                ::_exit(4);
        }
    }
    ::close(report[1]);
    *reportFd = report[0];
    return pid;
}

struct LogRecorder : QV_EVENTLOGLISTENER {
    std::vector<std::string> lines;
    void notifyLogLine(const char* line) override { lines.push_back(std::string(line).substr(23)); }
};

struct StatusRecorder : QV_SKYPECOMLISTENER {
    std::vector<int> statuses;
    void notifyConnectStatsuChange(int s) override { statuses.push_back(s); }
};

TEST(MessengerOwner, AnotherUsersMessengerIsRefusedOnceAndOursIsTakenWhenItComes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a messenger under another user id";
    TempDir dir;  // the event log writes here
    ManualEventLoop loop;
    const std::string name = "CorvaneOwnerApi-" + std::to_string(::getpid());
    QV_SKYPECOM::setSocketName(name);
    LogRecorder log;
    QV_EVENTLOG::getInstance()->setEnabled(1);
    QV_EVENTLOG::getInstance()->addListener(&log);
    StatusRecorder status;
    QV_SKYPECOM* com = QV_SKYPECOM::getInstance();
    com->addListener(&status);

    int reports = -1;
    const pid_t foreign = startForeignMessenger(name, &reports);
    ASSERT_GT(foreign, 0);
    EXPECT_EQ("L", readWithin(reports, 1));
    com->start();
    loop.pump();
    loop.fire(QV_SKYPECOM::kDiscoveryPeriodMs, 3);
    loop.pump();
    std::string got;
    for (std::string more; got.size() < 4 && !(more = readWithin(reports, 4 - got.size())).empty();)
        got += more;
    EXPECT_EQ("qqqq", got) << "every discover step connects, and sends nothing to that process";
    EXPECT_EQ(kSkypeNotAttached, com->getStatus());
    EXPECT_FALSE(com->isAttached());
    EXPECT_TRUE(status.statuses.empty()) << "its attach frame is never read";
    EXPECT_EQ(std::vector<std::string>{"Skype接続拒否: 別のユーザ(uid=65534)のメッセンジャー"}, log.lines);

    // The holder goes; our own messenger takes the name and is attached at
    // the next discover step.
    ::kill(foreign, SIGKILL);
    ::waitpid(foreign, nullptr, 0);
    ::close(reports);
    const int own = listenOn(name);
    ASSERT_GE(own, 0);
    loop.fire(QV_SKYPECOM::kDiscoveryPeriodMs);
    pollfd p{own, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&p, 1, 2000));
    const int conn = ::accept4(own, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(conn, 0);
    FrameDecoder decoder;
    Frame frame;
    const std::string first = readWithin(conn, 256);
    decoder.feed(first.data(), first.size());
    ASSERT_EQ(FrameDecoder::Result::Frame, decoder.next(frame));
    EXPECT_EQ('D', frame.type);
    const std::string attach = encodeAttach(kAttachSuccess, 0x77);
    ASSERT_EQ(static_cast<ssize_t>(attach.size()), ::send(conn, attach.data(), attach.size(), MSG_NOSIGNAL));
    loop.pump();
    EXPECT_EQ(kSkypeAttached, com->getStatus());
    EXPECT_EQ(std::vector<int>{kSkypeAttached}, status.statuses);
    EXPECT_EQ(1u, log.lines.size());

    QV_SKYPECOM::destroyInstance();
    QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName);
    QV_EVENTLOG::destroyInstance();
    ::close(conn);
    ::close(own);
}

}  // namespace
