#include "tests/support/temp_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

TempDir::TempDir() : previous(std::filesystem::current_path().string())
{
    char tmpl[] = "/tmp/corvane-test-XXXXXX";
    if (!mkdtemp(tmpl) || chdir(tmpl) != 0)
        std::abort();
    dir = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::current_path(previous, ec);
    std::filesystem::remove_all(dir, ec);
}

std::string readFile(const std::string& path)
{
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }
