#include "messenger/daemon/setup_terminal.h"

#include <termios.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <iterator>

namespace {

// The terminal's settings while the echo is off, for a signal that ends the
// program in the middle of the question: the echo comes back first.
termios beforeQuiet{};

void restoreTerminalAndEnd(int sig)
{
    ::tcsetattr(STDIN_FILENO, TCSANOW, &beforeQuiet);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

}  // namespace

bool TerminalSetupInput::isTerminal() { return ::isatty(STDIN_FILENO) == 1; }

bool TerminalSetupInput::readLine(std::string& line)
{
    if (!std::getline(std::cin, line))
        return false;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

bool TerminalSetupInput::ask(const std::string& question, std::string& answer)
{
    std::fprintf(stderr, "%s", question.c_str());
    std::fflush(stderr);
    return readLine(answer);
}

bool TerminalSetupInput::askSecret(const std::string& question, std::string& answer)
{
    termios saved{};
    const bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    struct sigaction previous[std::size(kEndingSignals)] = {};
    if (terminal) {
        beforeQuiet = saved;
        struct sigaction restore = {};
        restore.sa_handler = restoreTerminalAndEnd;
        sigemptyset(&restore.sa_mask);
        for (size_t i = 0; i < std::size(kEndingSignals); ++i)
            ::sigaction(kEndingSignals[i], &restore, &previous[i]);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSADRAIN, &quiet);
    }
    bool ok = ask(question, answer);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
        for (size_t i = 0; i < std::size(kEndingSignals); ++i)
            ::sigaction(kEndingSignals[i], &previous[i], nullptr);
    }
    return ok;
}
