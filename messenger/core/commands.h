// The command language of the local socket: every command line a program
// sends, answered in the order it came. Application commands go to
// Programs, stream commands to Streams; what the daemon says of itself and
// its contacts is answered here. Owned by Messenger; every call on the
// daemon's thread.
#pragma once

#include "messenger/core/contacts.h"
#include "messenger/core/programs.h"
#include "messenger/core/streams.h"

#include <functional>
#include <string>

struct Command;

class Commands {
public:
    // `online`: whether the server connection is up, read at each command;
    // `appsChanged`: called when a program's applications change (presence
    // advertises them).
    Commands(Programs& programs, Streams& streams, const Contacts& contacts, std::string own, const bool& online,
             std::function<void()> appsChanged);

    // Answers one command line of an attached program.
    void answer(int client, const std::string& line);

private:
    // The command families; `line` is the command as sent. The first two
    // return false for a command that is not theirs.
    // Invalid commands and those that name no application of the program.
    bool answerGeneral(int client, const Command& cmd, const std::string& line);
    // Commands on the program's application, not on one of its streams.
    bool answerApplication(int client, const Command& cmd, const std::string& line);
    // Commands on the stream `s` of the program's application `app`.
    void answerStream(int client, Programs::App& app, Stream& s, const Command& cmd, const std::string& line);

    Programs& programs;
    Streams& streams;
    const Contacts& contacts;
    const std::string own;
    const bool& online;
    std::function<void()> appsChanged;
};
