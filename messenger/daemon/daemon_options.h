// messengerd's command line: which mode, with which values, or what is
// wrong with it, and where the configuration file is when --config is not
// given. Plain functions over strings; main() acts on the outcome.
#pragma once

#include <string>
#include <vector>

struct DaemonOptions {
    enum class Mode { Run, Fingerprint, Trust, AddContact, Setup, Help, Version };
    Mode mode = Mode::Run;
    std::string configPath;  // empty: the default path (configPathFor)
    std::string socketName;  // --api-socket; empty: the configuration's
    std::string jid;         // of --trust and --add-contact
    std::string fingerprint;
    // --setup: the arguments other than "--setup", for parseSetupOptions.
    std::vector<std::string> setupArgs;
};

// Parses the arguments after the program's name. False with `error`, one
// line that names what is wrong: an unknown option, an option without its
// value, modes that cannot be combined, an option of --setup without it.
bool parseDaemonOptions(const std::vector<std::string>& args, DaemonOptions& options, std::string& error);

// --help: the usage with one line per option, and where the files live.
const char* daemonHelpText();

// The configuration file of `options`: --config when given, else the file
// --setup writes (setup.h's defaultSetupConfigPath), which must exist
// except for --setup itself. Empty with `error` when there is none.
std::string configPathFor(const DaemonOptions& options, const char* xdgConfigHome, const char* home,
                          std::string& error);
