#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& cwd)
{
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return;
    }
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    child = fork();
    if (child == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    outFd = outPipe[0];
    errFd = errPipe[0];
}

ChildProcess::~ChildProcess()
{
    if (child > 0 && !reaped) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    if (outFd >= 0)
        close(outFd);
    if (errFd >= 0)
        close(errFd);
}

bool ChildProcess::running()
{
    if (child <= 0 || reaped)
        return false;
    int st = 0;
    pid_t r = waitpid(child, &st, WNOHANG);
    if (r == child) {
        reaped = true;
        status = st;
        return false;
    }
    return true;
}

void ChildProcess::drain(int waitMs)
{
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    if (poll(fds, 2, waitMs) <= 0)
        return;
    char buf[4096];
    if (fds[0].revents & (POLLIN | POLLHUP)) {
        ssize_t n = read(outFd, buf, sizeof(buf));
        if (n > 0)
            stdoutText.append(buf, static_cast<size_t>(n));
        if (n == 0)
            fds[0].fd = -1;
    }
    if (fds[1].revents & (POLLIN | POLLHUP)) {
        ssize_t n = read(errFd, buf, sizeof(buf));
        if (n > 0)
            stderrText.append(buf, static_cast<size_t>(n));
    }
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (stdoutText.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (!running()) {
            drain(0);
            return stdoutText.find(text) != std::string::npos;
        }
        drain(50);
    }
    return true;
}

int ChildProcess::finish(int signal, std::chrono::milliseconds timeout)
{
    if (child <= 0)
        return -1;
    if (signal != 0 && !reaped)
        kill(child, signal);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
        drain(20);
    }
    // Collect what is left in the pipes (bounded: the writer has ended).
    for (int i = 0; i < 100; ++i) {
        size_t before = stdoutText.size() + stderrText.size();
        drain(0);
        if (stdoutText.size() + stderrText.size() == before)
            break;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
