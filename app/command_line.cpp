#include "app/command_line.h"

#include <cstring>

#ifndef CORVANE_VERSION
#define CORVANE_VERSION "0"
#endif
#ifndef CORVANE_DOCDIR
#define CORVANE_DOCDIR "/usr/share/doc/corvanefortcp"
#endif

ProgramRequest programRequest(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0)
            return ProgramRequest::Help;
        if (std::strcmp(argv[i], "--version") == 0)
            return ProgramRequest::Version;
    }
    return ProgramRequest::Run;
}

const char* programHelpText()
{
    return "usage: corvanefortcp [-D119] [-platform offscreen]\n"
           "       corvanefortcp --help | --version\n"
           "\n"
           "CorvaneForTcp carries TCP connections (FTP, HTTP, CVS, VNC and one more\n"
           "service) between two PCs through messengerd, the messenger daemon, which must\n"
           "run for the same user first (systemctl --user enable --now messengerd).\n"
           "With a display it opens its window; without one its trace (-D119) shows what\n"
           "the window would.\n"
           "\n"
           "  -D119               debug mode: the trace goes to the terminal\n"
           "  -platform offscreen the window without a display (Qt's option)\n"
           "  --help              show this help and exit\n"
           "  --version           show the version and exit\n"
           "\n"
           "The settings (CorvaneForTcp.ini) and the event logs (LOG0.log, LOG1.log) are\n"
           "kept in the directory of the path the program was started by; the installed\n"
           "command corvanefortcp starts it from ~/.local/share/corvanefortcp.\n"
           "One instance runs per network namespace.\n"
           "More: man corvanefortcp, " CORVANE_DOCDIR "\n";
}

const char* programVersionText() { return "CorvaneForTcp " CORVANE_VERSION "\n"; }
