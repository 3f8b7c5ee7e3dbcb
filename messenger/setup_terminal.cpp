#include "messenger/setup_terminal.h"

#include <termios.h>
#include <unistd.h>
#include <cstdio>
#include <iostream>

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
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSADRAIN, &quiet);
    }
    bool ok = ask(question, answer);
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
    return ok;
}
