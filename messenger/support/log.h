// The daemon's log: timestamped lines to a file or to standard error.
// A log file is kept bounded: once a regular file reaches maxBytes it is
// renamed to "<path>.1" (replacing the one before) and a new file is
// started, so the log takes at most about twice that much. Every line is
// made printable (control characters and bytes outside ASCII written as
// \xNN) and cut at kMaxLine bytes. Owned by the daemon; used on its thread
// only.
#pragma once

#include <cstdio>
#include <string>

class Log {
public:
    // Where a log file is rotated by default.
    static constexpr size_t kDefaultMaxBytes = 1u << 20;
    // The longest line written; longer ones are cut with a marker.
    static constexpr size_t kMaxLine = 2000;

    Log() = default;
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    // Empty path: standard error. False when the file cannot be opened.
    bool open(const std::string& path);
    // The size at which the file is rotated (before open or at any time).
    void setMaxBytes(size_t bytes) { maxBytes = bytes; }
    bool toStderr() const { return file == stderr; }
    void write(const std::string& line);
    // Keeps the lines in memory too (for tests).
    void setCapture(bool on) { capture = on; }
    const std::string& captured() const { return lines; }

private:
    void rotate();

    FILE* file = nullptr;
    bool ownsFile = false;
    std::string path;
    size_t size = 0;
    bool rotating = false;  // a regular file
    size_t maxBytes = kDefaultMaxBytes;
    bool capture = false;
    std::string lines;
};

// A text chosen by someone else (a peer's JID, an application name, a
// command line) as it may stand in a log line: control characters and
// bytes outside ASCII escaped as \xNN, backslashes doubled, cut after `max`
// bytes with a marker that gives the full length.
std::string peerText(const std::string& text, size_t max = 200);
