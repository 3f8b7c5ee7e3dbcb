// A child process for the integration tests: output goes to a file, every
// wait has a deadline, and the destructor kills and reaps a child still
// running.
#pragma once

#include <sys/types.h>
#include <chrono>
#include <string>
#include <vector>

class Spawned {
public:
    Spawned() = default;
    ~Spawned() { stop(std::chrono::milliseconds(3000)); }
    Spawned(const Spawned&) = delete;
    Spawned& operator=(const Spawned&) = delete;

    bool start(const std::vector<std::string>& argv, const std::string& outputFile);
    bool running();
    // SIGTERM, then SIGKILL when the time is up; the exit status or -1.
    int stop(std::chrono::milliseconds timeout);
    // Waits for the end without a signal; the exit status or -1.
    int wait(std::chrono::milliseconds timeout);

private:
    pid_t child = -1;
    int status = -1;
};
