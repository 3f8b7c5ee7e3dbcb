// The daemon's log: timestamped lines to a file or to standard error.
// Owned by the daemon; used on its thread only.
#pragma once

#include <cstdio>
#include <string>

class Log {
public:
    Log() = default;
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Empty path: standard error. False when the file cannot be opened.
    bool open(const std::string& path);
    void write(const std::string& line);
    // Keeps the lines in memory too (for tests).
    void setCapture(bool on) { capture = on; }
    const std::string& captured() const { return lines; }

private:
    FILE* file = nullptr;
    bool ownsFile = false;
    bool capture = false;
    std::string lines;
};
