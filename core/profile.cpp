#include "core/profile.h"

#define SI_NO_CONVERSION
#include <SimpleIni.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>
#include <mutex>

#include "core/cp932.h"

namespace profile {
namespace {

std::mutex& fileMutex()
{
    static std::mutex m;
    return m;
}

// Loads the file into `ini`; false when there is no readable file.
bool loadFile(CSimpleIniA& ini, const std::string& path)
{
    ini.SetUnicode(false);
    ini.SetMultiKey(false);
    ini.SetSpaces(false);
    return ini.LoadFile(path.c_str()) == SI_OK;
}

bool lookup(const char* section, const char* key, const std::string& path, std::string& raw)
{
    std::lock_guard<std::mutex> lock(fileMutex());
    CSimpleIniA ini;
    if (!loadFile(ini, path))
        return false;
    const char* v = ini.GetValue(section, key, nullptr);
    if (!v)
        return false;
    raw = v;
    return true;
}

}  // namespace

int getInt(const char* section, const char* key, int def, const std::string& path)
{
    std::string raw;
    if (!lookup(section, key, path, raw))
        return def;
    long long value = 0;
    for (char c : raw) {
        if (c < '0' || c > '9')
            break;
        value = value * 10 + (c - '0');
        if (value > 0x7fffffff)
            return 0x7fffffff;
    }
    return static_cast<int>(value);
}

std::string getString(const char* section, const char* key, const char* def, const std::string& path, size_t maxBytes)
{
    std::string raw;
    if (!lookup(section, key, path, raw))
        return def ? std::string(def) : std::string();
    raw.resize(cp932PrefixLength(raw, maxBytes));
    return cp932ToUtf8(raw);
}

bool writeStrings(const char* section, const std::vector<std::pair<std::string, std::string>>& keyValues,
                  const std::string& path)
{
    std::lock_guard<std::mutex> lock(fileMutex());
    CSimpleIniA ini;
    loadFile(ini, path);  // a missing file starts empty
    for (const auto& [k, v] : keyValues) {
        ini.SetValue(section, k.c_str(), utf8ToCp932(v).c_str());
    }
    // The file names contacts and hosts: the replacement is its owner's
    // alone, whatever the umask or the bits of the file it replaces.
    std::string temp = path + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    FILE* f = (::fchmod(fd, 0600) == 0) ? ::fdopen(fd, "wb") : nullptr;
    if (!f) {
        ::close(fd);
        std::remove(temp.c_str());
        return false;
    }
    bool saved = ini.SaveFile(f, false) == SI_OK;
    saved = (std::fclose(f) == 0) && saved;
    if (!saved) {
        std::remove(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

bool writeString(const char* section, const char* key, const std::string& value, const std::string& path)
{
    return writeStrings(section, {{key, value}}, path);
}

}  // namespace profile
