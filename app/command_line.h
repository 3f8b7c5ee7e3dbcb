// What the program's command line asks for before anything starts: the help
// or the version (the exact arguments "--help" and "--version"), or a run,
// to which every other argument belongs as before (listed in the trace,
// "-D119" the debug mode, Qt's own options).
#pragma once

enum class ProgramRequest { Run, Help, Version };

// The first "--help" or "--version" among the arguments decides; without
// either, a run.
ProgramRequest programRequest(int argc, const char* const* argv);

// The texts of --help and --version, each ending in a new line.
const char* programHelpText();
const char* programVersionText();
