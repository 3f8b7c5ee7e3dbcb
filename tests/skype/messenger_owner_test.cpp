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

constexpr uid_t kNobody = 65534;

int listenOn(const std::string& name)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 8) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

// One byte from fd within timeoutMs; 0 when none came.
char readByte(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    char c = 0;
    return ::poll(&p, 1, timeoutMs) == 1 && ::read(fd, &c, 1) == 1 ? c : 0;
}

// A process of user `uid` that listens on `name` and plays the messenger at
// once: every connection gets an attach-success frame. For each connection
// it reports one byte: 'q' when the program sent nothing before closing,
// 'x' when it sent something. It ends with the test, or when stopped.
class ForeignMessenger {
public:
    ForeignMessenger(const std::string& name, uid_t uid)
    {
        int ready[2], report[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(report, O_CLOEXEC) != 0)
            return;
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::setgid(uid) != 0 || ::setuid(uid) != 0)
                ::_exit(2);
            serve(name, ready[1], report[1]);
        }
        ::close(ready[1]);
        ::close(report[1]);
        reportFd = report[0];
        listening = readByte(ready[0], 5000) == 'L';
        ::close(ready[0]);
    }
    ~ForeignMessenger() { stop(); }

    bool isListening() const { return listening; }
    // The reports of the connections made so far (each waited for up to 2 s).
    std::string reports(size_t expected)
    {
        std::string out;
        for (char c; out.size() < expected && (c = readByte(reportFd, 2000)) != 0;)
            out += c;
        return out;
    }
    // Ends the process; its socket name is free afterwards.
    void stop()
    {
        if (pid <= 0)
            return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        ::close(reportFd);
        pid = -1;
    }

private:
    [[noreturn]] static void serve(const std::string& name, int readyFd, int reportFd)
    {
        const int lfd = listenOn(name);
        if (lfd < 0 || ::write(readyFd, "L", 1) != 1)
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
            if (::write(reportFd, sent ? "x" : "q", 1) != 1)
                ::_exit(4);
        }
    }

    pid_t pid = -1;
    int reportFd = -1;
    bool listening = false;
};

struct LogRecorder : QV_EVENTLOGLISTENER {
    std::vector<std::string> lines;
    void notifyLogLine(const char* line) override
    {
        std::string s = line;
        lines.push_back(s.size() > 23 ? s.substr(23) : s);
    }
};

struct StatusRecorder : QV_SKYPECOMLISTENER {
    std::vector<int> statuses;
    void notifyConnectStatsuChange(int s) override { statuses.push_back(s); }
};

class MessengerOwnerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        name = "CorvaneOwnerApi-" + std::to_string(::getpid());
        QV_SKYPECOM::setSocketName(name);
        QV_EVENTLOG* log = QV_EVENTLOG::getInstance();
        log->setEnabled(1);
        log->addListener(&logRecorder);
        com = QV_SKYPECOM::getInstance();
        com->addListener(&statusRecorder);
    }
    void TearDown() override
    {
        QV_SKYPECOM::destroyInstance();
        QV_SKYPECOM::setSocketName(QV_SKYPECOM::kDefaultSocketName);
        QV_EVENTLOG::destroyInstance();
    }

    TempDir dir;  // the event log writes here
    ManualEventLoop loop;
    std::string name;
    LogRecorder logRecorder;
    StatusRecorder statusRecorder;
    QV_SKYPECOM* com = nullptr;
};

TEST_F(MessengerOwnerTest, AnotherUsersMessengerIsRefusedOnceAndOursIsTakenWhenItComes)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a messenger under another user id";
    ForeignMessenger foreign(name, kNobody);
    ASSERT_TRUE(foreign.isListening());

    testing::internal::CaptureStdout();
    com->start();
    loop.pump();
    loop.fire(QV_SKYPECOM::kDiscoveryPeriodMs, 3);
    loop.pump();
    std::string trace = testing::internal::GetCapturedStdout();

    EXPECT_EQ(foreign.reports(4), "qqqq") << "every discover step connects, and sends nothing to that process";
    EXPECT_EQ(com->getStatus(), kSkypeNotAttached);
    EXPECT_FALSE(com->isAttached());
    EXPECT_TRUE(statusRecorder.statuses.empty()) << "its attach frame is never read";
    const std::string refusal = "messenger socket held by uid 65534, not ours (0); refused\n";
    size_t at = trace.find(refusal);
    EXPECT_NE(at, std::string::npos) << trace;
    EXPECT_EQ(trace.find(refusal, at + 1), std::string::npos) << "one trace line per holder";
    EXPECT_EQ(logRecorder.lines, (std::vector<std::string>{"Skype接続拒否: 別のユーザ(uid=65534)のメッセンジャー"}));

    // The holder goes; our own messenger takes the name and is attached at
    // the next discover step.
    foreign.stop();
    int own = listenOn(name);
    ASSERT_GE(own, 0);
    loop.fire(QV_SKYPECOM::kDiscoveryPeriodMs);
    pollfd p{own, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 2000), 1);
    const int conn = ::accept4(own, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(conn, 0);
    FrameDecoder decoder;
    Frame frame;
    char buf[256];
    pollfd q{conn, POLLIN, 0};
    ASSERT_EQ(::poll(&q, 1, 2000), 1);
    ssize_t r = ::recv(conn, buf, sizeof(buf), 0);
    ASSERT_GT(r, 0);
    decoder.feed(buf, static_cast<size_t>(r));
    ASSERT_EQ(decoder.next(frame), FrameDecoder::Result::Frame);
    EXPECT_EQ(frame.type, 'D');
    std::string attach = encodeAttach(kAttachSuccess, 0x77);
    ASSERT_EQ(::send(conn, attach.data(), attach.size(), MSG_NOSIGNAL), static_cast<ssize_t>(attach.size()));
    loop.pump();
    EXPECT_EQ(com->getStatus(), kSkypeAttached);
    EXPECT_EQ(statusRecorder.statuses, (std::vector<int>{kSkypeAttached}));
    EXPECT_EQ(logRecorder.lines.size(), 1u);

    QV_SKYPECOM::destroyInstance();
    ::close(conn);
    ::close(own);
}

}  // namespace
