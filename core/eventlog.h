// QV_EVENTLOG: the events the user can look back on. Each event becomes one
// dated line, appended to LOG0.log or LOG1.log beside the INI file (cp932,
// CR LF) and handed to the listeners at once. The two files alternate every
// 2000 lines; the INI file's LOG section (INDEX, COUNT) says where writing
// resumes after a restart.
//
// Process-wide singleton. write() may be called from any thread; one mutex
// serialises the append, the INI update and the listener calls, and is held
// while listeners run (a listener must not write to the log in turn).
// Listeners are not owned and must outlive the log or remove themselves first.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class QV_EVENTLOGLISTENER {
public:
    // Text is UTF-8. From write(): the line without line end; from restore():
    // one piece of a stored line (at most 1023 bytes of the file), line end
    // included.
    virtual void notifyLogLine(const char* line) = 0;

protected:
    ~QV_EVENTLOGLISTENER() = default;
};

class QV_EVENTLOG {
public:
    static constexpr int32_t kMaxLines = 2000;
    // Event texts are built in buffers of this many bytes (cp932, NUL included).
    static constexpr size_t kTextBuffer = 100;

    static QV_EVENTLOG* getInstance();
    static void destroyInstance();

    void addListener(QV_EVENTLOGLISTENER* listener);
    // Not from inside notifyLogLine: the mutex is held there.
    void removeListener(QV_EVENTLOGLISTENER* listener);
    void write(int32_t level, const char* text);
    // printf-style write; the text is cut at a character boundary to fit the
    // 100-byte event buffer.
    void writef(int32_t level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void restore();

    void setEnabled(int32_t value) { enabled = value; }
    int32_t isEnabled() const { return enabled; }
    int32_t getIndex() const { return index; }
    int32_t getCount() const { return count; }

    // The file name of file number n in the log directory.
    std::string logPath(int32_t n) const;

private:
    QV_EVENTLOG();
    ~QV_EVENTLOG();

    void appendLine(const std::string& line);
    void replay(int32_t n);

    char name[12];
    std::mutex mutex;
    std::vector<QV_EVENTLOGLISTENER*> listeners;  // guarded by mutex in write()
    int32_t maxLevel = 3;
    int32_t count = 0;  // guarded by mutex
    int32_t index = 0;  // guarded by mutex
    int32_t maxLines = kMaxLines;
    std::atomic<int32_t> enabled{0};
    std::string directory;
    std::string iniPath;
};
