#include "messenger/log.h"

#include <ctime>
#include <sys/time.h>

Log::~Log()
{
    if (ownsFile && file)
        std::fclose(file);
}

bool Log::open(const std::string& path)
{
    if (path.empty()) {
        file = stderr;
        return true;
    }
    FILE* f = std::fopen(path.c_str(), "a");
    if (!f)
        return false;
    if (ownsFile && file)
        std::fclose(file);
    file = f;
    ownsFile = true;
    return true;
}

void Log::write(const std::string& line)
{
    if (capture)
        lines += line + "\n";
    if (!file)
        return;
    timeval now{};
    gettimeofday(&now, nullptr);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::fprintf(file, "%s.%03d %s\n", stamp, static_cast<int>(now.tv_usec / 1000), line.c_str());
    std::fflush(file);
}
