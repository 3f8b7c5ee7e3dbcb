#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& cwd)
{
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return;
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
    close(outFd);
    close(errFd);
}

bool ChildProcess::running()
{
    if (child > 0 && !reaped && waitpid(child, &status, WNOHANG) == child)
        reaped = true;
    return child > 0 && !reaped;
}

void ChildProcess::drain(int waitMs)
{
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    if (poll(fds, 2, waitMs) <= 0)
        return;
    char buf[4096];
    std::string* texts[2] = {&stdoutText, &stderrText};
    for (int i = 0; i < 2; ++i) {
        ssize_t n = (fds[i].revents & (POLLIN | POLLHUP)) ? read(fds[i].fd, buf, sizeof(buf)) : 0;
        if (n > 0)
            texts[i]->append(buf, static_cast<size_t>(n));
    }
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    for (auto deadline = std::chrono::steady_clock::now() + timeout; stdoutText.find(text) == std::string::npos;) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        const bool ended = !running();
        drain(ended ? 0 : 50);
        if (ended)
            return stdoutText.find(text) != std::string::npos;
    }
    return true;
}

int ChildProcess::finish(int signal, std::chrono::milliseconds timeout)
{
    if (child <= 0)
        return -1;
    if (signal != 0 && !reaped)
        kill(child, signal);
    for (auto deadline = std::chrono::steady_clock::now() + timeout; running(); drain(20))
        if (std::chrono::steady_clock::now() >= deadline)
            return -1;
    // What is left in the pipes (bounded: the writer has ended).
    for (int i = 0; i < 100; ++i) {
        const size_t before = stdoutText.size() + stderrText.size();
        drain(0);
        if (stdoutText.size() + stderrText.size() == before)
            break;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
