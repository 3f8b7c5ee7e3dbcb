#include "core/eventlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/configuration.h"
#include "core/cp932.h"
#include "core/profile.h"

namespace {

QV_EVENTLOG* instance = nullptr;

const char* tagOf(int32_t level)
{
    switch (level) {
        case 0:
            return "ER";
        case 1:
            return "WA";
        case 2:
            return "EV";
        case 3:
            return "DE";
        default:
            return "";
    }
}

}  // namespace

QV_EVENTLOG* QV_EVENTLOG::getInstance()
{
    if (!instance)
        instance = new QV_EVENTLOG();
    return instance;
}

void QV_EVENTLOG::destroyInstance()
{
    delete instance;
    instance = nullptr;
}

QV_EVENTLOG::QV_EVENTLOG()
{
    std::strcpy(name, "QV_EVENTLOG");
    // The log lies beside the INI file of the configuration; without one, in
    // the current directory.
    if (QV_CONFIGURATION* config = getConfiguration()) {
        directory = config->getDirectory();
        iniPath = config->getFilePath();
    } else {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)))
            directory = cwd;
        iniPath = directory + "/CorvaneForTcp.ini";
    }
    count = profile::getInt("LOG", "COUNT", 0, iniPath);
    index = profile::getInt("LOG", "INDEX", 0, iniPath);
}

QV_EVENTLOG::~QV_EVENTLOG()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        listeners.clear();
    }
    write(2, "END CorvaneForTcp -log close-");
}

void QV_EVENTLOG::addListener(QV_EVENTLOGLISTENER* listener)
{
    std::lock_guard<std::mutex> lock(mutex);
    listeners.push_back(listener);
}

void QV_EVENTLOG::removeListener(QV_EVENTLOGLISTENER* listener)
{
    std::lock_guard<std::mutex> lock(mutex);
    listeners.erase(std::remove(listeners.begin(), listeners.end(), listener), listeners.end());
}

std::string QV_EVENTLOG::logPath(int32_t n) const { return directory + "/LOG" + std::to_string(n) + ".log"; }

void QV_EVENTLOG::write(int32_t level, const char* text)
{
    if (enabled == 0 || level > maxLevel)
        return;
    std::lock_guard<std::mutex> lock(mutex);

    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof(stamp), "%4d/%02d/%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    std::string line = std::string(stamp) + ":" + tagOf(level) + ":" + (text ? text : "");

    appendLine(line);
    for (size_t i = 0; i < listeners.size(); ++i) {
        if (listeners[i])
            listeners[i]->notifyLogLine(line.c_str());
    }
}

void QV_EVENTLOG::writef(int32_t level, const char* format, ...)
{
    char buf[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    write(level, cutToCp932Bytes(buf, kTextBuffer - 1).c_str());
}

// The log names contacts and hosts: the file is created for its owner alone,
// and one that others may read is closed up before the line goes in.
static FILE* openPrivateForAppend(const std::string& path)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0)
        ::fchmod(fd, 0600);
    FILE* f = ::fdopen(fd, "ab");
    if (!f)
        ::close(fd);
    return f;
}

// Called with the mutex held.
void QV_EVENTLOG::appendLine(const std::string& line)
{
    std::string path = logPath(index);
    FILE* f = openPrivateForAppend(path);
    if (!f) {
        std::printf("LOG FILE OPEN ERROR! file=%s\n", path.c_str());
        return;
    }
    std::string stored = utf8ToCp932(line);
    stored += "\r\n";
    std::fwrite(stored.data(), 1, stored.size(), f);
    std::fclose(f);

    count += 1;
    if (count >= maxLines) {
        count = 0;
        index += 1;
        if (index == 2)
            index = 0;
        std::remove(logPath(index).c_str());
    }
    profile::writeStrings("LOG", {{"INDEX", std::to_string(index)}, {"COUNT", std::to_string(count)}}, iniPath);
}

void QV_EVENTLOG::restore()
{
    int32_t current;
    {
        std::lock_guard<std::mutex> lock(mutex);
        current = index;
    }
    replay(current == 0 ? 1 : 0);
    replay(current);
}

void QV_EVENTLOG::replay(int32_t n)
{
    std::string path = logPath(n);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        std::printf("LOG FILE RESTORE OPEN ERROR! name=%s", path.c_str());
        return;
    }
    // Pieces of at most 1023 bytes, as a 1024-byte line buffer would read them,
    // but never cut inside a double-byte character.
    std::string pending;
    char buf[1024];
    auto deliver = [&](const std::string& piece) {
        std::string text = cp932ToUtf8(piece);
        for (size_t i = 0; i < listeners.size(); ++i) {
            if (listeners[i])
                listeners[i]->notifyLogLine(text.c_str());
        }
    };
    while (std::fgets(buf, sizeof(buf), f)) {
        pending += buf;
        while (!pending.empty()) {
            size_t nl = pending.find('\n');
            if (nl == std::string::npos && pending.size() < 1023)
                break;
            size_t take = (nl != std::string::npos) ? nl + 1 : pending.size();
            if (take > 1023)
                take = cp932PrefixLength(pending, 1023);
            deliver(pending.substr(0, take));
            pending.erase(0, take);
        }
    }
    if (!pending.empty())
        deliver(pending);
    std::fclose(f);
}
