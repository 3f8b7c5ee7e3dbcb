// SetupInput on the process's standard input: questions go to standard
// error, a secret is read with the terminal's echo off. One thread.
#pragma once

#include "messenger/daemon/setup.h"

class TerminalSetupInput final : public SetupInput {
public:
    bool isTerminal() override;
    bool ask(const std::string& question, std::string& answer) override;
    bool askSecret(const std::string& question, std::string& answer) override;
    bool readLine(std::string& line) override;
};
