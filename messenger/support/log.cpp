#include "messenger/support/log.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

void escapeInto(std::string& out, unsigned char c, bool backslash)
{
    if (c >= 0x20 && c < 0x7f && (c != '\\' || !backslash)) {
        out += static_cast<char>(c);
        return;
    }
    if (c == '\\') {
        out += "\\\\";
        return;
    }
    static const char digits[] = "0123456789abcdef";
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 15];
}

// Escapes `text` until the result would pass `max` bytes; then the marker.
// `backslash`: a backslash is doubled, so that no escape can be forged (a
// peer's text); a whole line leaves them, its peer texts are escaped already.
std::string printable(const std::string& text, size_t max, bool backslash)
{
    std::string out;
    out.reserve(std::min(text.size(), max) + 32);
    for (size_t i = 0; i < text.size(); ++i) {
        if (out.size() >= max) {
            out += "...[cut, " + std::to_string(text.size()) + " bytes]";
            return out;
        }
        escapeInto(out, static_cast<unsigned char>(text[i]), backslash);
    }
    return out;
}

}  // namespace

std::string peerText(const std::string& text, size_t max) { return printable(text, max, true); }

Log::~Log()
{
    if (ownsFile && file)
        std::fclose(file);
}

bool Log::open(const std::string& p)
{
    if (p.empty()) {
        if (ownsFile && file)
            std::fclose(file);
        file = stderr;
        ownsFile = false;
        rotating = false;
        path.clear();
        return true;
    }
    FILE* f = std::fopen(p.c_str(), "a");
    if (!f)
        return false;
    if (ownsFile && file)
        std::fclose(file);
    file = f;
    ownsFile = true;
    path = p;
    struct stat st {};
    bool known = ::fstat(fileno(f), &st) == 0;
    size = known ? static_cast<size_t>(st.st_size) : 0;
    // Only a regular file grows: /dev/null, a pipe or a terminal are
    // written to as they are and never renamed.
    rotating = known && S_ISREG(st.st_mode);
    return true;
}

void Log::rotate()
{
    std::fclose(file);
    file = nullptr;
    ownsFile = false;
    // Where the old file cannot be kept (no right to rename in its
    // directory), it is emptied: the log stays bounded either way.
    bool kept = std::rename(path.c_str(), (path + ".1").c_str()) == 0;
    FILE* f = std::fopen(path.c_str(), kept ? "a" : "w");
    if (!f)
        return;  // nothing more is logged rather than an unbounded file
    file = f;
    ownsFile = true;
    size = 0;
}

void Log::write(const std::string& raw)
{
    const std::string line = printable(raw, kMaxLine, false);
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
    int n = std::fprintf(file, "%s.%03d %s\n", stamp, static_cast<int>(now.tv_usec / 1000), line.c_str());
    std::fflush(file);
    if (ownsFile && rotating && n > 0) {
        size += static_cast<size_t>(n);
        if (size >= maxBytes)
            rotate();
    }
}
