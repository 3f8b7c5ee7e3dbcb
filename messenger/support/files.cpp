#include "messenger/support/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

bool readAll(int fd, std::string& text, size_t limit)
{
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > limit)
            return true;
    }
}

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool syncFolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::string configFileProblem(const std::string& path, unsigned mode, unsigned owner, unsigned user,
                              const std::string& holds)
{
    if (owner != user)
        return "the file belongs to user id " + std::to_string(owner) + ", not to this user (id "
               + std::to_string(user) + "), and holds " + holds + ": make it this user's own file "
               "(chown " + std::to_string(user) + " " + path + ") and run: chmod 600 " + path;
    if (mode & 077) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", mode & 07777);
        return std::string("permissions ") + octal + " are too open: the file holds " + holds + " and "
               "must not be accessible by group or others; run: chmod 600 " + path;
    }
    return std::string();
}

std::string besideConfig(const std::string& configPath, const std::string& suffix)
{
    size_t slash = configPath.rfind('/');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = configPath.rfind('.');
    // A dot that starts the name (".messengerd") is not an extension.
    if (dot == std::string::npos || dot <= nameStart)
        return configPath + suffix;
    return configPath.substr(0, dot) + suffix;
}

std::string trimmed(const std::string& s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

OwnFile readOwnFile(const std::string& path, const std::string& holds, bool absentIsFine, std::string& text,
                    std::vector<std::string>& errors)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (absentIsFine && errno == ENOENT)
            return OwnFile::Absent;
        errors.push_back(path + ":0: cannot open the file");
        return OwnFile::Failed;
    }
    // Checked on the open file, so that what is read is what was checked.
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        errors.push_back(path + ":0: cannot open the file");
        ::close(fd);
        return OwnFile::Failed;
    }
    std::string problem = configFileProblem(path, st.st_mode, st.st_uid, ::geteuid(), holds);
    if (!problem.empty()) {
        errors.push_back(path + ":0: " + problem);
        ::close(fd);
        return OwnFile::Failed;
    }
    if (!readAll(fd, text)) {
        errors.push_back(path + ":0: cannot read the file: " + std::strerror(errno));
        ::close(fd);
        return OwnFile::Failed;
    }
    ::close(fd);
    return OwnFile::Read;
}
