#include "tests/support/spawned.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "tests/support/tcp_test_util.h"

extern char** environ;

bool Spawned::start(const std::vector<std::string>& argv, const std::string& outputFile)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    const int rc = posix_spawn(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        child = -1;
    return rc == 0;
}

bool Spawned::running()
{
    if (child >= 0 && ::waitpid(child, &status, WNOHANG) == child)
        child = -1;
    return child >= 0;
}

int Spawned::wait(std::chrono::milliseconds timeout)
{
    if (!tcptest::waitUntil([&] { return !running(); }, timeout))
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int Spawned::stop(std::chrono::milliseconds timeout)
{
    if (child >= 0)
        ::kill(child, SIGTERM);
    const int r = wait(timeout);
    if (child >= 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        child = -1;
    }
    return r;
}
