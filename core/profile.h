// Reading and writing one INI file with the rules of the classic private-
// profile functions: "[SECTION]" lines, "KEY=value" lines, a missing file or
// key gives the caller's default, and a write changes exactly one section's
// keys while every other key, section and comment of the file is kept.
//
// The file is held in cp932; these functions take and give UTF-8. All calls of
// the process are serialised by one mutex (the event log writes its keys from
// connection threads while the event-loop thread saves settings), and a write
// replaces the file atomically through a temporary file and rename.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace profile {

// Leading decimal digits of the value (0 when there are none, and 0 for a
// negative value); `def` when the file or the key is missing.
int getInt(const char* section, const char* key, int def, const std::string& path);

// The value, cut to maxBytes bytes of cp932 at a character boundary; `def`
// when the file or the key is missing.
std::string getString(const char* section, const char* key, const char* def, const std::string& path,
                      size_t maxBytes = 260);

// Sets the keys of one section in one read-modify-write of the file. Returns
// false when the file cannot be written (the caller's values stay in force).
bool writeStrings(const char* section, const std::vector<std::pair<std::string, std::string>>& keyValues,
                  const std::string& path);

bool writeString(const char* section, const char* key, const std::string& value, const std::string& path);

}  // namespace profile
