#include "tests/support/temp_dir.h"

#include <unistd.h>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

TempDir::TempDir()
{
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof(cwd)))
        previous = cwd;
    char tmpl[] = "/tmp/corvane-test-XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (!made)
        std::abort();
    dir = made;
    if (chdir(dir.c_str()) != 0)
        std::abort();
}

TempDir::~TempDir()
{
    if (!previous.empty() && chdir(previous.c_str()) != 0) {
        // Nothing sensible to do in a destructor; the removal still runs.
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }
