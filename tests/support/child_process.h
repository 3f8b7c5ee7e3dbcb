// A program started by a test: its standard output and error are collected
// through pipes, every wait has a deadline, and the destructor kills and reaps
// a child that is still running, so a failing test leaves no process behind.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <string>
#include <vector>

class ChildProcess {
public:
    // Starts `program` with `args` (argv[0] included) in directory `cwd`
    // (empty: the test's current directory).
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::string& cwd = std::string());
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return child; }
    bool running();

    // Reads output until `text` has appeared on standard output or the time is up.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);
    // Sends `signal` (0: none) and waits for the end; the exit status, or -1
    // when the child did not end in time or died of a signal.
    int finish(int signal, std::chrono::milliseconds timeout);

    const std::string& out() const { return stdoutText; }
    const std::string& err() const { return stderrText; }

private:
    void drain(int waitMs);

    pid_t child = -1;
    int outFd = -1;
    int errFd = -1;
    int status = -1;
    bool reaped = false;
    std::string stdoutText;
    std::string stderrText;
};
