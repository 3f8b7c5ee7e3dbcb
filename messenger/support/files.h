// The daemon's files on disk: reading and writing whole, the rule that a
// file holding a secret is the user's own and private, and the names of the
// files kept beside the configuration. Plain functions over POSIX calls.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

// Reads `fd` to its end into `text`, retrying after signals; stops early once
// `text` holds more than `limit` bytes. False on a read error (errno set).
bool readAll(int fd, std::string& text, size_t limit = std::numeric_limits<size_t>::max());

// Writes all of `text` to `fd`, retrying after signals and short writes.
// False on a write error (errno set).
bool writeAll(int fd, const std::string& text);

// Flushes the folder of the file `path` to disk, so that a file just made or
// renamed in it stays after a crash. False when it cannot.
bool syncFolderOf(const std::string& path);

// Why a file of this mode and owner, holding a secret, may not be used by
// `user` (the message names `path` and the command that fixes it), or empty
// when it may. `holds` names what the file keeps ("the secret key" for the
// key file).
std::string configFileProblem(const std::string& path, unsigned mode, unsigned owner, unsigned user,
                              const std::string& holds = "the password");

// The file beside the configuration `configPath` with this suffix: the
// configuration's name without its last extension, plus `suffix`
// ("/home/a/.config/corvane/messengerd.conf", ".key" gives
// "/home/a/.config/corvane/messengerd.key"; "x" gives "x.key").
std::string besideConfig(const std::string& configPath, const std::string& suffix);

// `s` without the blanks at either end.
std::string trimmed(const std::string& s);

enum class OwnFile { Read, Absent, Failed };
// Reads a file of this user that group and others have no permission on.
// Absent when it does not exist and `absentIsFine`; otherwise a problem is
// one error "<path>:0: <reason>". `holds` names what the file keeps.
OwnFile readOwnFile(const std::string& path, const std::string& holds, bool absentIsFine, std::string& text,
                    std::vector<std::string>& errors);
